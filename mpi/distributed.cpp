// The leading and following ranks (see distributed.h). Only the main thread of a
// rank calls MPI; it polls for messages every millisecond while the search threads
// work, so rank 0 computes as much as any other rank.
#include "distributed.h"

#include <mpi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "config.h"
#include "console.h"
#include "find_pelund.h"
#include "platform.h"
#include "rank_work.h"
#include "resume.h"
#include "run.h"
#include "sequence.h"
#include "status_line.h"
#include "subtree_list.h"
#include "wide_run.h"

namespace {

constexpr auto kPoll = std::chrono::milliseconds(1);
constexpr int kQuickLooks = 100;  // after a job, at a fifth of kPoll (see followRun)
// After a stop, how long rank 0 waits for the last reports before it releases the
// other ranks. mpirun hands a stop on to every rank at once and kills them all as soon
// as the first one ends (or a second later): so rank 0 writes everything first, and
// only then lets the others end.
constexpr auto kStopGrace = std::chrono::milliseconds(200);
// How long a rank on another machine, searching a job, has to answer a stop before it
// counts as ended. A rank on this machine is looked at instead (see answered()).
constexpr auto kRemoteAnswerWait = std::chrono::milliseconds(300);
// How often rank 0 looks at the processes of the ranks on its machine while they
// search. mpirun ends a job whose rank has died by continuing the others, sleeping a
// second, handing them a SIGTERM and, a second later, killing them: rank 0 that sees
// the death itself has both seconds for its last lines, not only the last one.
constexpr auto kLookEvery = std::chrono::milliseconds(20);
// A tree part is cut into subtrees of about this many seconds each, handed out one by
// one: their costs differ widely and cannot be told in advance, so only small jobs
// let the ranks finish together; a job's own cost (a message each way, the tables of
// the part) is a fraction of a millisecond.
constexpr double kJobSeconds = 0.01;
constexpr int64_t kMostTasksPerThread = 64;
constexpr auto kTellProgress = std::chrono::milliseconds(250);  // a tree part's progress, to the sink

// ---- rank 0 -----------------------------------------------------------------------

bool gb_broadcast = false;  // the start (or the fault) has gone out to the other ranks
bool gb_alone = false;      // rank 0 runs the search alone: the other ranks have ended
bool gb_finished = false;   // the run is over and MPI finalized
// Rank 0's stop handler: the acknowledgement once, whichever signal or worker raised it,
// even when a signal lands while the main thread acknowledges a worker's stop.
std::atomic_flag gb_acknowledged = ATOMIC_FLAG_INIT;

// Ends the other ranks when rank 0 ends through error(): before the start went out
// they are told of the fault and end with status 1; later the job is aborted.
void leaveOnExit() {
  if (gb_finished) return;
  // The red error is out: the SIGTERM with which mpirun ends the job once another rank
  // has ended with status 1 is not a stop to acknowledge.
  gb_acknowledged.test_and_set();
  if (!gb_broadcast || gb_alone) {
    if (!gb_broadcast) {
      int64_t words[kStartWords];
      encodeStart(true, pelund::SearchParams{}, words);
      MPI_Bcast(words, kStartWords, MPI_INT64_T, 0, MPI_COMM_WORLD);
    }
    MPI_Finalize();
    return;
  }
  MPI_Abort(MPI_COMM_WORLD, 1);
}

// While the ranks search, the acknowledgement waits until rank 0 knows what happened:
// mpirun ends a job whose rank has died exactly as it passes on a stop (SIGTERM to every
// rank), and only the silence of the dead rank tells the two apart.
std::atomic<bool> gb_walking{false};

void leadStop(int signal) {
  if (gb_walking) {
    gi_stopSignal = signal;
    gb_quitting = 1;
  } else if (!gb_acknowledged.test_and_set()) {
    setQuitting(signal);
  }
}

// Rank 0's standard output is a pipe whose reader has gone: a stop, as in pelund,
// unless one is under way (the acknowledgement of a Ctrl-C to that pipe raises it).
void leadOutputClosed(int signal) {
  if (gi_stopSignal == 0) leadStop(signal);
}

// The deferred acknowledgement: of the stop, or of the end of a rank (`lostRank` >= 1)
// that did not answer it.
void acknowledgeStop(int lostRank) {
  if (gb_acknowledged.test_and_set()) return;
  gi_endedRank = lostRank;
  char text[64];
  const int length = lostRank > 0 ? std::snprintf(text, sizeof text, "\nRank %d has ended. ", lostRank)
                                  : std::snprintf(text, sizeof text, "\nCtrl-C accepted. ");
  statusline::eraseFromSignal();
  platformWriteStdout(text, size_t(length));
}

// mpirun starts to end a job by continuing every rank (SIGCONT); then it reads nothing
// from the ranks for a second or two, hands the stop on and kills them. Progress lines
// written meanwhile would fill rank 0's pending output and block it before its last
// lines: they are held back meanwhile (and shown later if no stop follows).
constexpr int kHoldOnContinueMs = 3000;

void leadContinued(int) { holdProgress(kHoldOnContinueMs); }

// ---- jobs, on any rank --------------------------------------------------------------

// Computes one job into `report`; false when stopped.
bool execute(const pelund::Search& search, const Order& order, TaskCache& cache, Report& report) {
  report.index = uint64_t(order.word);
  if (order.kind == OrderKind::piece) {
    PieceCollector collector;
    if (!search.sieve(order.from, order.to, collector, stopToken())) return false;
    report.kind = ReportKind::finished;
    report.part = collector.take();
    return true;
  }
  // The lines of a batch's covered k are made where they are found: a sparse search's
  // lines cost about as much as finding them.
  const TaskCache::List tasks = cache.of(search, order.from, order.to, order.wanted);
  std::vector<int64_t> covered;
  report.kind = ReportKind::finished;
  return search.searchTreeTasks(order.from, order.to, *tasks, size_t(order.first), size_t(order.count), covered,
                                stopToken()) &&
         search.linesOf(order.from, order.to, covered, report.part, stopToken());
}

}  // namespace

TaskCache::List TaskCache::of(const pelund::Search& search, int64_t from, int64_t to, int64_t wanted) {
  std::lock_guard lock(mutex_);
  for (const Entry& entry : entries_)
    if (entry.tasks && entry.from == from && entry.to == to && entry.wanted == wanted) return entry.tasks;
  Entry& entry = entries_[next_++ % 2];
  entry = Entry{from, to, wanted, std::make_shared<const std::vector<pelund::TreeTask>>(
                                      search.treeTasks(from, to, size_t(wanted)))};
  return entry.tasks;
}

// ---- the jobs of one part -----------------------------------------------------------

// The work of one part of the walk, handed out job by job; guarded by the
// coordinator's mutex.
class Jobs {
 public:
  virtual ~Jobs() = default;
  virtual bool next(Order& order) = 0;  // a job that may be taken now
  virtual bool exhausted() const = 0;   // every job made
  virtual bool complete() const = 0;    // every job's result taken in (and handed on)
  virtual void take(Report& report) = 0;
  // The next finished piece in ascending k, for the writer; and that it went.
  virtual bool nextInOrder(PartResult&) { return false; }
  virtual void handedOn() {}
};

namespace {

// The pieces of a part of the sieve. No piece is made more than two per rank ahead of
// the one the writer waits for, which bounds the lines held.
class SieveJobs : public Jobs {
 public:
  SieveJobs(int64_t from, int64_t to, int ranks, int64_t lastWidth, size_t lastLines)
      : plan_(from, to, ranks), window_(2 * uint64_t(ranks) + 2) {
    plan_.observe(lastWidth, lastLines);
  }
  bool next(Order& order) override {
    Piece piece;
    if (plan_.exhausted() || plan_.made() >= written_ + window_ || !plan_.next(piece)) return false;
    order = Order{OrderKind::piece, int64_t(piece.index), piece.from, piece.to};
    return true;
  }
  bool exhausted() const override { return plan_.exhausted(); }
  bool complete() const override { return plan_.exhausted() && written_ == plan_.made(); }
  void take(Report& report) override {
    lastWidth_ = report.part.to - report.part.from + 1, lastLines_ = report.part.ks.size();
    plan_.observe(lastWidth_, lastLines_);
    pending_[report.index] = std::move(report.part);
  }
  bool nextInOrder(PartResult& part) override {
    auto next = pending_.find(written_);
    if (next == pending_.end()) return false;
    part = std::move(next->second);
    pending_.erase(next);
    return true;
  }
  void handedOn() override { ++written_; }
  int64_t lastWidth_ = 0;
  size_t lastLines_ = 0;

 private:
  PiecePlan plan_;
  const uint64_t window_;
  std::map<uint64_t, PartResult> pending_;
  uint64_t written_ = 0;
};

// The subtrees of a part of the residue tree, one job each, widest first. The covered
// k of the subtrees done from the first on make the part's progress, which a stopped
// run records and a resumed one goes on from.
class TreeJobs : public Jobs {
 public:
  TreeJobs(const std::vector<pelund::TreeTask>& tasks, int64_t from, int64_t to, int64_t wanted, bool last)
      : tasks_(tasks.size()), from_(from), to_(to), wanted_(wanted), last_(last), found_(tasks.size()),
        finished_(new std::atomic<bool>[tasks.size()]()),
        progress_{from, to, uint64_t(wanted),
                  subtree_list::hashOf(tasks, [](const pelund::TreeTask& task) -> const auto& { return task.path; }),
                  0, {}} {}
  int64_t from() const { return from_; }
  bool last() const { return last_; }  // the part ends the range
  // The covered k its subtrees held (a k of two subtrees counted twice).
  size_t covered() const { return covered_; }
  bool written = false;  // its lines have gone to the sink
  bool next(Order& order) override {
    if (next_ >= tasks_) return false;
    order = Order{OrderKind::tree, int64_t(next_), from_, to_, int64_t(next_), 1, wanted_};
    ++next_;
    return true;
  }
  bool exhausted() const override { return next_ >= tasks_; }
  bool complete() const override { return exhausted() && taken_ == next_; }
  size_t left() const { return tasks_ - next_; }  // jobs not handed out yet
  void take(Report& report) override {
    covered_ += report.part.ks.size();
    if (report.index < tasks_) {
      found_[report.index] = report.part.ks;
      finished_[report.index].store(true, std::memory_order_relaxed);
    }
    batches_.push_back(std::move(report.part));
    ++taken_;
  }
  // Takes the subtrees done from progress().done on into the progress; false when none.
  bool advance() {
    return subtree_list::takeInFinished(progress_.done, tasks_, finished_.get(), found_, progress_.covered);
  }
  const pelund::TreeProgress& progress() const { return progress_; }
  // The lines of the part in ascending k, each once; the batches are given up.
  void lines(PartResult& part) {
    part = mergeBatches(from_, to_, batches_);
    std::vector<PartResult>().swap(batches_);
  }

 private:
  const size_t tasks_;
  const int64_t from_, to_, wanted_;
  const bool last_;
  size_t next_ = 0, taken_ = 0, covered_ = 0;
  std::vector<PartResult> batches_;
  std::vector<std::vector<int64_t>> found_;  // a subtree's k, until the progress takes them in
  std::unique_ptr<std::atomic<bool>[]> finished_;
  pelund::TreeProgress progress_;
};

}  // namespace

// The tree parts in flight, in ascending k: the jobs of the first part with any left go
// out first, so that the next part's subtrees fill the ranks while the last ones of the
// part before still run. Closed, it takes no more parts.
class TreeQueue : public Jobs {
 public:
  bool next(Order& order) override {
    for (const auto& part : parts_)
      if (part->next(order)) return true;
    return false;
  }
  bool exhausted() const override {
    return closed && std::all_of(parts_.begin(), parts_.end(), [](const auto& part) { return part->exhausted(); });
  }
  bool complete() const override {
    return std::all_of(parts_.begin(), parts_.end(), [](const auto& part) { return part->written; });
  }
  void take(Report& report) override {
    for (const auto& part : parts_)
      if (part->from() == report.part.from) return part->take(report);
  }
  // The first part whose lines have not gone to the sink (null: none).
  TreeJobs* unwritten() const {
    for (const auto& part : parts_)
      if (!part->written) return part.get();
    return nullptr;
  }
  // Adds the next part; the written parts before the last are dropped.
  TreeJobs& add(std::unique_ptr<TreeJobs> part) {
    while (parts_.size() > 1 && parts_.front()->written) parts_.pop_front();
    parts_.push_back(std::move(part));
    return *parts_.back();
  }
  TreeJobs* last() const { return parts_.empty() ? nullptr : parts_.back().get(); }
  bool closed = false;

 private:
  std::deque<std::unique_ptr<TreeJobs>> parts_;
};

namespace {

// ---- the other ranks ------------------------------------------------------------

// The other ranks never print: a stop raises the flag without an acknowledgement, and
// the table phase, which polls the flag as well, ends without a console or log line.
void followStop(int signal) {
  gi_stopSignal = signal;
  gb_quitting = 1;
}

// The reports of this rank on their way to rank 0, which takes a report in only between
// its polls, a millisecond apart: a rank that waited for each job's report to be taken
// would idle that long after every job. It goes on to its next job instead, and the
// report's bytes stay here until rank 0 has them. Rank 0 sends no order beyond those a
// rank may hold, so no more reports wait here than that. Reports arrive in the order
// sent.
class Outbox {
 public:
  void send(Report report) {
    static const ProcessIdentity self = ownIdentity();
    report.sender = self;
    Letter& letter = letters_.emplace_back();
    letter.bytes = encodeReport(report);
    MPI_Isend(letter.bytes.data(), int(letter.bytes.size()), MPI_BYTE, 0, kTagReport, MPI_COMM_WORLD,
              &letter.request);
    collect();
  }
  // Lets go of the reports rank 0 has taken.
  void collect() {
    while (!letters_.empty()) {
      int done = 0;
      MPI_Test(&letters_.front().request, &done, MPI_STATUS_IGNORE);
      if (!done) return;
      letters_.pop_front();
    }
  }
  // Waits until rank 0 has taken every report. Rank 0 takes every report of a run that
  // ended well before it says so, but those of a stopped run only for a while: then
  // the wait is as long.
  void flush(bool stopped) {
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    for (collect(); !letters_.empty() && (!stopped || std::chrono::steady_clock::now() < deadline); collect())
      std::this_thread::sleep_for(kPoll);
  }

 private:
  struct Letter {
    std::string bytes;
    MPI_Request request = MPI_REQUEST_NULL;
  };
  std::deque<Letter> letters_;  // a deque: a letter's bytes stay where they are
};

Outbox gb_outbox;

void sendReport(Report report) { gb_outbox.send(std::move(report)); }

void sendStopped() {
  Report report;
  report.kind = ReportKind::stopped;
  report.signal = gi_stopSignal != 0 ? gi_stopSignal : SIGTERM;
  sendReport(report);
}

// Takes a stop order from rank 0 when there is one.
void takeStopOrder() {
  int waiting = 0;
  MPI_Iprobe(0, kTagStop, MPI_COMM_WORLD, &waiting, MPI_STATUS_IGNORE);
  if (!waiting) return;
  int64_t signal = 0;
  MPI_Recv(&signal, 1, MPI_INT64_T, 0, kTagStop, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  gi_stopSignal = int(signal);
  gb_quitting = 1;
}

// Computes one job on this rank's threads while the main thread listens for a stop,
// and reports it the moment it is done: jobs last milliseconds, so a poll's delay
// after each would idle the rank for a good share of its time.
void searchJob(const pelund::Search& search, const Order& order, TaskCache& cache) {
  Report report;
  // Without a thread to listen beside it, a stop order is taken after the job.
  const bool complete =
      workWhileListening([&] { return execute(search, order, cache, report); }, takeStopOrder, kPoll);
  if (!complete) return sendStopped();
  sendReport(report);
}


}  // namespace

// ---- Coordinator --------------------------------------------------------------------

// Orders a rank holds at once: the one it works on and the next, for a sieve piece.
// A tree job lasts milliseconds, about as long as rank 0, sharing its cores with the
// searching threads, may take to answer a report: a rank holds three more of them. The
// last part of the range goes in more, smaller jobs, and once few are left a rank
// holds only the next, so that the ranks finish it together.
constexpr int kOrdersAhead = 2;
constexpr int kTreeOrdersAhead = 4;
constexpr int64_t kLastPartTasksPerThread = 8;

Coordinator::Coordinator(int ranks)
    : ranks_(ranks),
      ready_(size_t(ranks)),
      outstanding_(size_t(ranks)),
      released_(size_t(ranks)),
      identities_(size_t(ranks)) {
  released_[0] = true;  // rank 0 searches on a thread of its own
}

// A walk that ended by an exception leaves its threads to end before the process.
Coordinator::~Coordinator() {
  halted_ = true;
  if (local_.joinable()) local_.join();
  if (writer_.joinable()) writer_.join();
}

bool Coordinator::stopping() const { return quitting() || halted_; }

void Coordinator::order(int rank, const Order& o) {
  int64_t words[kOrderWords];
  encodeOrder(o, words);
  MPI_Send(words, kOrderWords, MPI_INT64_T, rank, kTagOrder, MPI_COMM_WORLD);
  ++orders_;
  if (o.kind == OrderKind::done) released_[size_t(rank)] = true;
  else ++outstanding_[size_t(rank)];
}

void Coordinator::receiveReports(Jobs& jobs) {
  for (;;) {
    int waiting = 0;
    MPI_Status probe;
    MPI_Iprobe(MPI_ANY_SOURCE, kTagReport, MPI_COMM_WORLD, &waiting, &probe);
    if (!waiting) return;
    int size = 0;
    MPI_Get_count(&probe, MPI_BYTE, &size);
    std::string bytes(size_t(size), '\0');
    MPI_Recv(bytes.data(), size, MPI_BYTE, probe.MPI_SOURCE, kTagReport, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    ++reports_;
    reportBytes_ += uint64_t(size);
    Report report;
    if (!decodeReport(std::move(bytes), report)) error("rank %d sent a damaged report", probe.MPI_SOURCE);
    const size_t rank = size_t(probe.MPI_SOURCE);
    if (report.sender.machine != 0) identities_[rank] = report.sender;
    if (released_[rank] || report.kind == ReportKind::hello) continue;
    ready_[rank] = true;  // a rank stopped in its table phase answers no differently
    if (report.kind == ReportKind::ready) continue;
    if (outstanding_[rank] > 0) --outstanding_[rank];
    if (report.kind == ReportKind::stopped) {
      leadStop(int(report.signal));
    } else if (!quitting()) {
      std::lock_guard lock(mutex_);
      jobs.take(report);
    }
  }
}

void Coordinator::localWork(const pelund::Search& search, Jobs& jobs) {
  TaskCache& cache = tasks_;  // the lists made for the parts in hand
  for (;;) {
    Order job;
    {
      std::unique_lock lock(mutex_);
      while (stopping() || !jobs.next(job)) {
        if (jobs.exhausted() || stopping()) goto finished;
        changed_.wait_for(lock, kPoll);
      }
      ++jobs_;
    }
    Report report;
    if (!execute(search, job, cache, report)) break;
    std::lock_guard lock(mutex_);
    jobs.take(report);
    changed_.notify_all();
  }
finished:
  std::lock_guard lock(mutex_);
  localFinished_ = true;
  changed_.notify_all();
}

// mpirun ends a job whose rank has ended exactly as it passes on a stop, and on a
// loaded machine a live rank may take any time to answer: so a rank on this machine is
// looked at. One whose process is gone (mpirun has reaped it before it ends the others)
// has ended; one that lives has not, however long its answer takes. Only a silent rank
// on another machine is judged by the time it has taken to answer. Ranks that hold no
// job are looked at as well, so that a rank that ended between two jobs is named too.
bool Coordinator::answered(std::chrono::steady_clock::time_point stoppedAt, const std::vector<bool>& awaited) {
  int ended = 0;
  bool waiting = false;
  for (int rank = ranks_ - 1; rank >= 1; --rank) {
    const Liveness liveness = livenessOf(identities_[size_t(rank)]);
    const bool silent = awaited[size_t(rank)] && holding(rank);
    if (liveness == Liveness::ended) ended = rank;
    else if (liveness == Liveness::unknown && silent) {
      if (std::chrono::steady_clock::now() - stoppedAt <= kRemoteAnswerWait) waiting = true;
      else ended = rank;
    }
  }
  if (ended == 0 && waiting) return false;
  acknowledgeStop(ended);
  return true;
}

bool Coordinator::anyRankEnded() const {
  for (int rank = 1; rank < ranks_; ++rank)
    if (livenessOf(identities_[size_t(rank)]) == Liveness::ended) return true;
  return false;
}

bool Coordinator::serve(Jobs& jobs, pelund::Sink* sink, const pelund::StopToken& stop,
                        const std::function<bool()>& done) {
  gb_walking = true;
  bool stopSent = false, acknowledged = false;
  std::chrono::steady_clock::time_point stoppedAt, nextLook = std::chrono::steady_clock::now() + kLookEvery;
  std::vector<bool> awaited;
  for (;;) {
    receiveReports(jobs);
    if (!quitting() && std::chrono::steady_clock::now() >= nextLook) {
      nextLook = std::chrono::steady_clock::now() + kLookEvery;
      if (anyRankEnded()) leadStop(SIGTERM);  // named by answered() below
    }
    if (!quitting() && stop.stopRequested()) halted_ = true;  // the walk's own end (its lines are all out)
    for (PartResult part; sink != nullptr && !quitting();) {
      {
        std::lock_guard lock(mutex_);
        if (!jobs.nextInOrder(part)) break;
      }
      sink->partDone(part);
      std::lock_guard lock(mutex_);
      jobs.handedOn();
      changed_.notify_all();
    }
    if (quitting() && !stopSent) {
      const int64_t signal = gi_stopSignal;
      awaited.assign(size_t(ranks_), false);
      for (int rank = 1; rank < ranks_; ++rank)
        if (holding(rank)) {
          MPI_Send(&signal, 1, MPI_INT64_T, rank, kTagStop, MPI_COMM_WORLD);
          awaited[size_t(rank)] = true;
        }
      stoppedAt = std::chrono::steady_clock::now();
      stopSent = true;
    }
    if (stopSent && !acknowledged) acknowledged = answered(stoppedAt, awaited);
    int ahead = kOrdersAhead;
    if (queue_ != nullptr) {  // tree parts in flight
      std::lock_guard lock(mutex_);
      const TreeJobs* newest = queue_->last();
      if (newest == nullptr || !newest->last() || newest->left() >= size_t(ranks_) * kTreeOrdersAhead)
        ahead = kTreeOrdersAhead;
    }
    for (int rank = 1; rank < ranks_ && !stopping(); ++rank) {
      while (ready_[size_t(rank)] && !released_[size_t(rank)] && outstanding_[size_t(rank)] < ahead) {
        Order job;
        {
          std::lock_guard lock(mutex_);
          if (!jobs.next(job)) break;
          ++jobs_;
        }
        order(rank, job);
      }
    }
    std::unique_lock lock(mutex_);
    if (writeFault_ || ((quitting() ? acknowledged : halted_.load()) && localFinished_ && writerFinished_)) break;
    if (!stopping() && done()) {
      lock.unlock();
      gb_walking = queue_ != nullptr;  // the overlapped parts run on
      return true;
    }
    changed_.wait_for(lock, kPoll);
  }
  gb_walking = false;
  if (quitting()) acknowledgeStop(0);  // a stop seen only as the walk ended
  return false;
}

// The stop token given is the run's own flag, which serve() polls as quitting(), or
// the walk's own end.
bool Coordinator::sieve(const pelund::Search& search, int64_t from, int64_t to, pelund::Sink& sink,
                        const pelund::StopToken& stop) {
  SieveJobs jobs(from, to, ranks_, lastWidth_, lastLines_);
  localFinished_ = false;
  std::thread local;
  try {
    local = std::thread([&] { localWork(search, jobs); });
  } catch (const std::system_error&) {
    localFinished_ = true;  // no thread for rank 0's own jobs: the other ranks take them all
  }
  const bool complete = serve(jobs, &sink, stop, [&] { return jobs.complete() && localFinished_; });
  if (local.joinable()) local.join();
  lastWidth_ = jobs.lastWidth_, lastLines_ = jobs.lastLines_;
  return complete;
}

bool Coordinator::tree(const pelund::Search& search, int64_t from, int64_t to, PartResult& lines,
                       const pelund::StopToken& stop) {
  PieceCollector collector;
  size_t before = 0;
  if (!treeAhead(search, from, to, collector, stop, before) || !settle(collector, stop)) return false;
  lines = collector.take();
  return true;
}

bool Coordinator::treeAhead(const pelund::Search& search, int64_t from, int64_t to, pelund::Sink& sink,
                            const pelund::StopToken& stop, size_t& before) {
  const int threads = std::max(1, search.params().threads > 0 ? search.params().threads
                                                              : int(std::thread::hardware_concurrency()));
  const double pieces = search.treeCost(from, to) / kJobSeconds;
  const bool last = to == search.params().maxK;
  const int64_t wanted = std::clamp<int64_t>(int64_t(pieces), (last ? kLastPartTasksPerThread * threads : 2) * ranks_,
                                             kMostTasksPerThread * ranks_ * threads);
  auto part = std::make_unique<TreeJobs>(*tasks_.of(search, from, to, wanted), from, to, wanted, last);
  if (queue_ == nullptr) {
    // The first of consecutive tree parts: rank 0's threads for them start.
    queue_ = std::make_unique<TreeQueue>();
    treeSink_ = &sink;
    localFinished_ = writerFinished_ = false;
    try {
      writer_ = std::thread([this] { writeTreeParts(); });
    } catch (const std::system_error&) {
      writerFinished_ = true;
      queue_.reset();
      error("no thread can be started for the lines of the residue tree");
    }
    try {
      local_ = std::thread([this, &search] { localWork(search, *queue_); });
    } catch (const std::system_error&) {
      localFinished_ = true;  // the other ranks take every job
    }
  }
  TreeJobs* previous = nullptr;
  TreeJobs* added = nullptr;
  {
    std::lock_guard lock(mutex_);
    previous = queue_->last();
    added = &queue_->add(std::move(part));
  }
  changed_.notify_all();  // rank 0's own thread may wait for a job
  // Once this part's jobs are all out, the walk may choose the next while the ranks
  // work: it needs the covered k of the one before.
  const bool going = serve(*queue_, nullptr, stop, [&] {
    return added->exhausted() && (previous == nullptr || previous->complete());
  });
  if (!going) {
    closeTreeParts();
    return false;
  }
  before = previous == nullptr ? 0 : previous->covered();
  return true;
}

bool Coordinator::settle(pelund::Sink&, const pelund::StopToken& stop) {
  if (queue_ == nullptr) return true;
  {
    std::lock_guard lock(mutex_);
    queue_->closed = true;
  }
  const bool settled = serve(*queue_, nullptr, stop, [&] { return queue_->complete() && localFinished_; });
  closeTreeParts();
  return settled;
}

// Merges each finished tree part's lines and hands them to the sink, in ascending k:
// the parts complete when their stop came are handed over too, the sink keeping what a
// stop leaves of them. While the first part not written is searched, the sink hears
// how far it has come about every quarter of a second, and once more at a stop.
void Coordinator::writeTreeParts() {
  auto told = std::chrono::steady_clock::now();
  const auto tell = [&](std::unique_lock<std::mutex>& lock, TreeJobs& part) {
    if (!part.advance()) return;
    const pelund::TreeProgress progress = part.progress();
    lock.unlock();
    treeSink_->treeProgress(progress);
    lock.lock();
    told = std::chrono::steady_clock::now();
  };
  try {
    for (;;) {
      TreeJobs* part = nullptr;
      {
        std::unique_lock lock(mutex_);
        for (;;) {
          part = queue_->unwritten();
          if (part != nullptr && part->complete()) break;
          if (part != nullptr && (stopping() || std::chrono::steady_clock::now() - told >= kTellProgress))
            tell(lock, *part);
          if ((part == nullptr && queue_->closed) || stopping()) goto finished;
          changed_.wait_for(lock, kPoll);
        }
      }
      PartResult lines;
      part->lines(lines);
      if (!halted_) treeSink_->partDone(lines);
      std::lock_guard lock(mutex_);
      part->written = true;
      changed_.notify_all();
    }
  } catch (...) {
    std::lock_guard lock(mutex_);
    writeFault_ = std::current_exception();
  }
finished:
  std::lock_guard lock(mutex_);
  writerFinished_ = true;
  changed_.notify_all();
}

void Coordinator::closeTreeParts() {
  {
    std::lock_guard lock(mutex_);
    queue_->closed = true;
    if (writeFault_) halted_ = true;
  }
  if (local_.joinable()) local_.join();
  if (writer_.joinable()) writer_.join();
  queue_.reset();
  treeSink_ = nullptr;
  gb_walking = false;
  if (writeFault_) std::rethrow_exception(std::exchange(writeFault_, nullptr));
}

void Coordinator::showTraffic(double seconds) const {
  std::fprintf(stderr,
               "pelund-mpi: %d ranks, %" PRIu64 " jobs in %.3f s (%.1f jobs/s); %" PRIu64 " reports, %" PRIu64
               " bytes (%.0f per report); %" PRIu64 " orders, %zu bytes each\n",
               ranks_, jobs_, seconds, seconds > 0 ? double(jobs_) / seconds : 0.0, reports_, reportBytes_,
               reports_ > 0 ? double(reportBytes_) / double(reports_) : 0.0, orders_, kOrderWords * sizeof(int64_t));
}

void Coordinator::release(int status) {
  // A stopped run takes the last reports for a short while; a worker still silent then
  // gets its order all the same and takes it when its job has stopped.
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  for (int rank = 1; rank < ranks_; ++rank) {
    while (!released_[size_t(rank)] && (!ready_[size_t(rank)] || holding(rank))) {
      MPI_Status probe;
      int waiting = 0;
      MPI_Iprobe(rank, kTagReport, MPI_COMM_WORLD, &waiting, &probe);
      if (!waiting && status != 0 && std::chrono::steady_clock::now() > deadline) break;
      if (!waiting) {
        std::this_thread::sleep_for(kPoll);
        continue;
      }
      int size = 0;
      MPI_Get_count(&probe, MPI_BYTE, &size);
      std::string bytes(size_t(size), '\0');
      MPI_Recv(bytes.data(), size, MPI_BYTE, rank, kTagReport, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      ready_[size_t(rank)] = true;
      Report report;
      if (decodeReport(std::move(bytes), report) && report.kind != ReportKind::ready && holding(rank))
        --outstanding_[size_t(rank)];
    }
    if (!released_[size_t(rank)]) order(rank, Order{OrderKind::done, status});
  }
}

// ---- the runs ---------------------------------------------------------------------

int leadRun(int ranks) {
  std::atexit(leaveOnExit);
  statusline::forbid();
  const PreparedRun run = prepareRun(StopHandlers{leadStop, leadOutputClosed, leadContinued});
  if (run.wide) {
    // A wide search runs on rank 0's threads, as pelund runs it; the other ranks end.
    int64_t words[kStartWords] = {kStartAlone};
    MPI_Bcast(words, kStartWords, MPI_INT64_T, 0, MPI_COMM_WORLD);
    gb_broadcast = gb_alone = true;
    int status = 0;
    try {
      status = runWideSearch(run.resume);
    } catch (const pelund::Error& fault) {
      error("%s", fault.what());
    }
    if (status != 0) closeConsoleStreams();
    return status;
  }
  int64_t words[kStartWords];
  encodeStart(false, run.params, words);
  MPI_Bcast(words, kStartWords, MPI_INT64_T, 0, MPI_COMM_WORLD);
  gb_broadcast = true;
  showRunBanner(run.start, run.resumed);

  Coordinator coordinator(ranks);
  const auto begun = std::chrono::steady_clock::now();
  SearchOutcome outcome;
  try {
    // One rank searches every part itself, as pelund does.
    outcome = runSearch(run.params, displayFromConfig(), run.start, run.resume ? kStatePath : nullptr,
                        ranks > 1 ? &coordinator : nullptr);
  } catch (const pelund::Error& fault) {
    error("%s", fault.what());
  }
  if (std::getenv("PELUND_MPI_STATS") != nullptr)
    coordinator.showTraffic(std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
  const int status = outcome.interrupted ? interruptedStatus() : 0;
  // After a stop, the first rank to end makes mpirun kill the others: rank 0's output
  // is complete before any worker may end.
  if (status != 0) closeConsoleStreams();
  coordinator.release(status);
  return status;
}

int followRun() {
  platformInstallStopHandlers(followStop);
  int64_t words[kStartWords];
  MPI_Bcast(words, kStartWords, MPI_INT64_T, 0, MPI_COMM_WORLD);
  if (words[0] == kStartAlone) return 0;
  pelund::SearchParams params;
  if (!decodeStart(words, params)) return 1;
  Report hello;
  hello.kind = ReportKind::hello;
  sendReport(hello);
  pelund::Observer silent;
  const std::optional<pelund::CandidateTable> table = pelund::candidates(params, silent, stopToken());
  std::optional<pelund::Search> search;
  if (table) search.emplace(params, *table);

  Report ready;
  if (quitting()) sendStopped();
  else sendReport(ready);
  bool toldStop = quitting();
  TaskCache cache;
  // A stopped worker waits for rank 0's last order, however long rank 0 takes to write
  // its last lines: were it to end first, mpirun would end rank 0 before them. Should
  // rank 0 end without the order, mpirun ends this rank.
  // Between the jobs of a tree part the next order is due within a millisecond or so:
  // it is looked for five times as often for a while after each job.
  int quickLooks = 0;
  for (;;) {
    int waiting = 0;
    MPI_Iprobe(0, kTagOrder, MPI_COMM_WORLD, &waiting, MPI_STATUS_IGNORE);
    gb_outbox.collect();
    if (!waiting) {
      if (quitting() && !toldStop) {
        sendStopped();
        toldStop = true;
      }
      if (quickLooks > 0) {
        --quickLooks;
        std::this_thread::sleep_for(std::chrono::microseconds(kPoll) / 5);
      } else {
        std::this_thread::sleep_for(kPoll);
      }
      continue;
    }
    MPI_Recv(words, kOrderWords, MPI_INT64_T, 0, kTagOrder, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    const Order order = decodeOrder(words);
    if (order.kind == OrderKind::done) {
      int waitingStop = 0;
      do {  // a stop order that crossed the last report
        MPI_Iprobe(0, kTagStop, MPI_COMM_WORLD, &waitingStop, MPI_STATUS_IGNORE);
        if (waitingStop) takeStopOrder();
      } while (waitingStop);
      gb_outbox.flush(order.word != 0);
      return int(order.word);
    }
    if (!search || quitting()) {
      sendStopped();
      toldStop = true;
      continue;
    }
    searchJob(*search, order, cache);
    toldStop = quitting();
    quickLooks = kQuickLooks;
  }
}

void markFinished() { gb_finished = true; }

void closeConsoleStreams() {
  static bool closed = false;
  if (closed) return;
  closed = true;
  std::fclose(stdout);
  std::fclose(stderr);
}

bool stoppedRun(int status) { return quitting() || status > 128; }
