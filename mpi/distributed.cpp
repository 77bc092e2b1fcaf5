// The leading and following ranks (see distributed.h). Only the main thread of a
// rank calls MPI; it polls for messages every millisecond while the search threads
// work, so rank 0 computes as much as any other rank.
#include "distributed.h"

#include <mpi.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "config.h"
#include "console.h"
#include "fast_table.h"
#include "find_pelund.h"
#include "platform.h"
#include "range_walk.h"
#include "resume.h"
#include "run.h"
#include "sequence.h"

namespace {

constexpr auto kPoll = std::chrono::milliseconds(1);
// After a stop, how long rank 0 waits for the last reports before it releases the
// other ranks. mpirun hands a stop on to every rank at once and kills them all as soon
// as the first one ends (or a second later): so rank 0 writes everything first, and
// only then lets the others end.
constexpr auto kStopGrace = std::chrono::milliseconds(200);
// How long a rank searching a piece has to answer a stop before it counts as ended.
constexpr auto kAnswerWait = std::chrono::milliseconds(300);

// ---- rank 0 -----------------------------------------------------------------------

bool gb_broadcast = false;  // the start (or the fault) has gone out to the other ranks
bool gb_finished = false;   // the run is over and MPI finalized

// Ends the other ranks when rank 0 ends through error(): before the start went out
// they are told of the fault and end with status 1; later the job is aborted.
void leaveOnExit() {
  if (gb_finished) return;
  if (!gb_broadcast) {
    int64_t words[kStartWords];
    encodeStart(true, SearchParams{}, words);
    MPI_Bcast(words, kStartWords, MPI_INT64_T, 0, MPI_COMM_WORLD);
    MPI_Finalize();
    return;
  }
  MPI_Abort(MPI_COMM_WORLD, 1);
}

// Rank 0's stop handler: the acknowledgement once, whichever signal or worker raised it,
// even when a signal lands while the main thread acknowledges a worker's stop.
std::atomic_flag gb_acknowledged = ATOMIC_FLAG_INIT;
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

// The deferred acknowledgement: of the stop, or of the end of a rank (`lostRank` >= 1)
// that did not answer it.
void acknowledgeStop(int lostRank) {
  if (gb_acknowledged.test_and_set()) return;
  char text[64];
  const int length = lostRank > 0 ? std::snprintf(text, sizeof text, "\nRank %d has ended. ", lostRank)
                                  : std::snprintf(text, sizeof text, "\nCtrl-C accepted. ");
  platformWriteStdout(text, size_t(length));
}

// mpirun starts to end a job by continuing every rank (SIGCONT); then it reads nothing
// from the ranks for a second or two, hands the stop on and kills them. Progress lines
// written meanwhile would fill rank 0's pending output and block it before its last
// lines: they are held back meanwhile (and shown later if no stop follows).
constexpr int kHoldOnContinueMs = 3000;

void leadContinued(int) { holdProgress(kHoldOnContinueMs); }

// ---- the other ranks ------------------------------------------------------------

// The other ranks never print: a stop raises the flag without an acknowledgement, and
// the table phase, which polls the flag as well, ends without a console or log line.
void followStop(int signal) {
  gi_stopSignal = signal;
  gb_quitting = 1;
}

void sendReport(const Report& report) {
  const std::string bytes = encodeReport(report);
  MPI_Send(bytes.data(), int(bytes.size()), MPI_BYTE, 0, kTagReport, MPI_COMM_WORLD);
}

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

// Searches one piece on this rank's threads while the main thread listens for a stop.
void searchPiece(const SieveTables& tables, const SearchParams& params, const Piece& piece) {
  PieceCollector collector;
  bool complete = false;
  std::atomic<bool> over{false};
  auto walk = [&] {
    complete = walkRange(tables, params, piece.from, piece.to, collector);
    over = true;
  };
  std::thread search;
  try {
    search = std::thread(walk);
  } catch (const std::system_error&) {
    walk();  // no thread to listen beside it: a stop order is taken after the piece
  }
  while (!over) {
    takeStopOrder();
    std::this_thread::sleep_for(kPoll);
  }
  if (search.joinable()) search.join();
  if (!complete) return sendStopped();
  Report report;
  report.kind = ReportKind::finished;
  report.index = piece.index;
  report.part = collector.take();
  sendReport(report);
}

}  // namespace

// ---- Coordinator --------------------------------------------------------------------

Coordinator::Coordinator(int ranks) : ranks_(ranks), states_(size_t(ranks), State::expecting), holding_(size_t(ranks)) {
  states_[0] = State::released;  // rank 0 searches on a thread of its own
}

void Coordinator::order(int rank, OrderKind kind, int64_t word, int64_t from, int64_t to) {
  const int64_t words[kOrderWords] = {static_cast<int64_t>(kind), word, from, to};
  MPI_Send(words, kOrderWords, MPI_INT64_T, rank, kTagOrder, MPI_COMM_WORLD);
  ++orders_;
  states_[size_t(rank)] = kind == OrderKind::done ? State::released : State::expecting;
  holding_[size_t(rank)] = kind == OrderKind::piece;
}

void Coordinator::handle(int rank, Report& report) {
  states_[size_t(rank)] = State::idle;
  holding_[size_t(rank)] = false;
  if (report.kind == ReportKind::stopped) {
    leadStop(int(report.signal));
  } else if (report.kind == ReportKind::finished && !quitting()) {
    std::lock_guard lock(mutex_);
    plan_.observe(report.part.to - report.part.from + 1, report.part.ks.size());
    pending_[report.index] = std::move(report.part);
  }
}

void Coordinator::receiveReports() {
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
    if (!decodeReport(bytes.data(), bytes.size(), report)) error("rank %d sent a damaged report", probe.MPI_SOURCE);
    if (states_[size_t(probe.MPI_SOURCE)] == State::released) continue;
    handle(probe.MPI_SOURCE, report);
  }
}

bool Coordinator::claimable() const { return !plan_.exhausted() && plan_.made() < written_ + window_; }

void Coordinator::localWork(const SieveTables& tables, const SearchParams& params) {
  for (;;) {
    Piece piece;
    {
      std::unique_lock lock(mutex_);
      while (!claimable() && !plan_.exhausted() && !quitting()) changed_.wait_for(lock, kPoll);
      if (plan_.exhausted() || quitting()) break;
      plan_.next(piece);
    }
    PieceCollector collector;
    if (!walkRange(tables, params, piece.from, piece.to, collector)) break;
    std::lock_guard lock(mutex_);
    PartResult& result = pending_[piece.index] = collector.take();
    plan_.observe(result.to - result.from + 1, result.ks.size());
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  localFinished_ = true;
  changed_.notify_all();
}

bool Coordinator::walk(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to,
                       PartSink& sink) {
  {
    std::lock_guard lock(mutex_);
    plan_ = PiecePlan(from, to, ranks_);
    pending_.clear();
    written_ = 0;
    window_ = 2 * uint64_t(ranks_) + 2;
    localFinished_ = false;
  }
  gb_walking = true;
  std::thread local;
  try {
    local = std::thread([&] { localWork(tables, params); });
  } catch (const std::system_error&) {
    // No thread for rank 0's own pieces: the other ranks search them all, or, alone,
    // rank 0 searches the range itself.
    if (ranks_ == 1) {
      gb_walking = false;
      return walkRange(tables, params, from, to, sink);
    }
    std::lock_guard lock(mutex_);
    localFinished_ = true;
  }
  bool stopSent = false, answered = false;
  std::chrono::steady_clock::time_point stoppedAt;
  std::vector<bool> awaited;
  for (;;) {
    receiveReports();
    // Write what is next in order.
    for (;;) {
      PartResult part;
      {
        std::lock_guard lock(mutex_);
        auto next = pending_.find(written_);
        if (quitting() || next == pending_.end()) break;
        part = std::move(next->second);
        pending_.erase(next);
      }
      sink.partDone(part);
      std::lock_guard lock(mutex_);
      ++written_;
      changed_.notify_all();
    }
    if (quitting() && !stopSent) {
      const int64_t signal = gi_stopSignal;
      for (int rank = 1; rank < ranks_; ++rank) {
        if (holding_[size_t(rank)]) MPI_Send(&signal, 1, MPI_INT64_T, rank, kTagStop, MPI_COMM_WORLD);
      }
      awaited = holding_;
      stoppedAt = std::chrono::steady_clock::now();
      stopSent = true;
    }
    // Every rank that was searching answers a stop within milliseconds, unless it has ended.
    if (stopSent && !answered) {
      int silent = 0;
      for (int rank = ranks_ - 1; rank >= 1; --rank)
        if (awaited[size_t(rank)] && holding_[size_t(rank)]) silent = rank;
      if (silent == 0 || std::chrono::steady_clock::now() - stoppedAt > kAnswerWait) {
        acknowledgeStop(silent);
        answered = true;
      }
    }
    // Orders for the ranks that wait for one.
    bool allReleased = true;
    for (int rank = 1; rank < ranks_; ++rank) {
      // After a stop the workers wait for release(), which comes after rank 0's last word.
      if (states_[size_t(rank)] == State::idle && !quitting()) {
        Piece piece;
        bool give = false, end = false;
        {
          std::lock_guard lock(mutex_);
          if (claimable()) give = plan_.next(piece);
          end = plan_.exhausted();
        }
        if (give) order(rank, OrderKind::piece, int64_t(piece.index), piece.from, piece.to);
        else if (end) order(rank, OrderKind::done, 0);
      }
      allReleased = allReleased && states_[size_t(rank)] == State::released;
    }
    std::unique_lock lock(mutex_);
    const bool complete = plan_.exhausted() && written_ == plan_.made();
    if (((complete && allReleased) || (quitting() && answered)) && localFinished_) break;
    changed_.wait_for(lock, kPoll);
  }
  if (local.joinable()) local.join();
  gb_walking = false;
  if (quitting()) acknowledgeStop(0);  // a stop seen only as the walk ended
  std::lock_guard lock(mutex_);
  return plan_.exhausted() && written_ == plan_.made();
}

void Coordinator::showTraffic(double seconds) const {
  const uint64_t pieces = plan_.made();
  std::fprintf(stderr,
               "pelund-mpi: %d ranks, %" PRIu64 " pieces in %.3f s (%.1f pieces/s); %" PRIu64 " reports, %" PRIu64
               " bytes (%.0f per report); %" PRIu64 " orders, %zu bytes each\n",
               ranks_, pieces, seconds, seconds > 0 ? double(pieces) / seconds : 0.0, reports_, reportBytes_,
               reports_ > 0 ? double(reportBytes_) / double(reports_) : 0.0, orders_, kOrderWords * sizeof(int64_t));
}

void Coordinator::release(int status) {
  // A stopped run takes the last reports for a short while; a worker still silent then
  // gets its order all the same and takes it when its piece has stopped.
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  for (int rank = 1; rank < ranks_; ++rank) {
    if (states_[size_t(rank)] == State::expecting) {
      MPI_Status probe;
      int waiting = 0;
      for (;;) {
        MPI_Iprobe(rank, kTagReport, MPI_COMM_WORLD, &waiting, &probe);
        if (waiting || (status != 0 && std::chrono::steady_clock::now() > deadline)) break;
        std::this_thread::sleep_for(kPoll);
      }
      if (waiting) {
        int size = 0;
        MPI_Get_count(&probe, MPI_BYTE, &size);
        std::string bytes(size_t(size), '\0');
        MPI_Recv(bytes.data(), size, MPI_BYTE, rank, kTagReport, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      }
    }
    if (states_[size_t(rank)] != State::released) order(rank, OrderKind::done, status);
  }
}

// ---- the runs ---------------------------------------------------------------------

int leadRun(int ranks) {
  std::atexit(leaveOnExit);
  platformGuardStandardStreams();
  platformIgnoreFileSizeSignal();
  getInputs();
  lockRunDirectory();
  refuseLinkedLog();
  platformInstallStopHandlers(leadStop);
  platformBoundWaitsOnStop([] { return quitting(); });
  platformInstallContinueHandler(leadContinued);
  const SearchParams params = searchParamsFromConfig();
  const bool resume = gi_resume == 1;
  bool resumed = false;
  const SearchState start = prepareResults(params, resume, resumed);
  int64_t words[kStartWords];
  encodeStart(false, params, words);
  MPI_Bcast(words, kStartWords, MPI_INT64_T, 0, MPI_COMM_WORLD);
  gb_broadcast = true;
  showRunBanner(start, resumed);

  Coordinator coordinator(ranks);
  const RangeWalker walker = [&](const SieveTables& tables, const SearchParams& p, int64_t from, int64_t to,
                                 PartSink& sink) { return coordinator.walk(tables, p, from, to, sink); };
  const auto begun = std::chrono::steady_clock::now();
  const SearchOutcome outcome = runSearch(params, start, resume ? kStatePath : nullptr, walker);
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
  SearchParams params;
  if (!decodeStart(words, params)) return 1;
  params.facDisp = 0;
  const std::optional<CandidateTable> table = buildFactorTableFast(params, nullptr, false);
  std::optional<SieveTables> tables;
  if (table && (table->factorPeriodList.size() >= 2 || params.algebraic)) tables.emplace(params, *table);

  Report ready;
  if (quitting()) sendStopped();
  else sendReport(ready);
  bool toldStop = quitting();
  // A stopped worker waits for rank 0's last order, however long rank 0 takes to write
  // its last lines: were it to end first, mpirun would end rank 0 before them. Should
  // rank 0 end without the order, mpirun ends this rank.
  for (;;) {
    int waiting = 0;
    MPI_Iprobe(0, kTagOrder, MPI_COMM_WORLD, &waiting, MPI_STATUS_IGNORE);
    if (!waiting) {
      if (quitting() && !toldStop) {
        sendStopped();
        toldStop = true;
      }
      std::this_thread::sleep_for(kPoll);
      continue;
    }
    int64_t order[kOrderWords];
    MPI_Recv(order, kOrderWords, MPI_INT64_T, 0, kTagOrder, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    if (static_cast<OrderKind>(order[0]) == OrderKind::done) {
      int waitingStop = 0;
      do {  // a stop order that crossed the last report
        MPI_Iprobe(0, kTagStop, MPI_COMM_WORLD, &waitingStop, MPI_STATUS_IGNORE);
        if (waitingStop) takeStopOrder();
      } while (waitingStop);
      return int(order[1]);
    }
    const Piece piece{uint64_t(order[1]), order[2], order[3]};
    if (!tables || quitting()) {
      sendStopped();
      toldStop = true;
      continue;
    }
    searchPiece(*tables, params, piece);
    toldStop = quitting();
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
