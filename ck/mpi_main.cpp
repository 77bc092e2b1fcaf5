// pelund-ck-mpi: pelund-ck over the ranks of an MPI job, started with mpirun in the
// directory of ck.txt (on rank 0's machine), with the arguments of pelund-ck. Rank 0
// runs the table as pelund-ck does (the lock, ck.txt, the console) and hands the bases
// out one at a time on demand, to the other ranks and to a thread of its own; each
// rank searches its base on all of its threads (with --wide, beyond the caps, by the
// wide engine too) and sends the line back. The lines go through the same ordered
// writer, so ck.txt is byte for byte pelund-ck's.
//
// A stop (Ctrl-C or SIGTERM to mpirun, which hands it to every rank) ends the bases in
// hand; rank 0 writes the lines that are in order and ends like pelund-ck, and only
// then lets the other ranks end, since mpirun kills the job once the first rank has
// ended. A rank that dies makes mpirun stop the job the same way: its base was not
// written and is searched again when the command is started again.
#include <mpi.h>

#include <pelund/pelund.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "console.h"
#include "first_line.h"
#include "joint_table.h"
#include "options.h"
#include "platform.h"
#include "progress.h"
#include "rank_work.h"
#include "run.h"
#include "table_run.h"

namespace {

constexpr int kTagOrder = 1, kTagReport = 2, kTagStop = 3;
constexpr auto kPoll = std::chrono::milliseconds(1);
// After a stop, how long rank 0 waits for the ranks to hand back their bases: mpirun
// kills every rank a second after it passes the stop on.
constexpr auto kStopGrace = std::chrono::milliseconds(300);
// Orders a rank holds at once: the base it searches and the next, so that it never
// waits for one between two tiny bases.
constexpr int kOrdersAhead = 2;

// The start that rank 0 broadcasts: go (with the first item still to do), a fault
// (every rank ends with status 1), or nothing to search (--help, --version).
enum StartKind : int64_t { kGo = 0, kFault = 1, kNothing = 2 };

// A report of a rank: the item and what came of it, then the line's text and, after a
// NUL (no line holds one), the Phi_d(b) of a wide search not factored completely.
enum ReportKind : char { kReady = 'r', kLine = 'l', kNone = 'n', kStopped = 's' };

std::string encodeReport(int64_t item, ReportKind kind, const std::string& line = {}) {
  std::string bytes(sizeof item + 1, '\0');
  std::memcpy(bytes.data(), &item, sizeof item);
  bytes[sizeof item] = char(kind);
  return bytes + line;
}

void sendReport(int64_t item, ReportKind kind, const std::string& line = {}) {
  const std::string bytes = encodeReport(item, kind, line);
  MPI_Send(bytes.data(), int(bytes.size()), MPI_BYTE, 0, kTagReport, MPI_COMM_WORLD);
}

// ---- rank 0 ---------------------------------------------------------------------------

bool gb_started = false;   // the start has gone out to the other ranks
bool gb_finished = false;  // the run is over

void broadcastStart(int64_t kind, int64_t first) {
  int64_t words[2] = {kind, first};
  MPI_Bcast(words, 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
  gb_started = true;
}

// Rank 0 ends through error(): before the start the other ranks are told and end with
// status 1; later the job is aborted.
void leaveOnExit() {
  if (gb_finished) return;
  // The red error is out: the SIGTERM with which mpirun ends the job once another rank
  // has ended with status 1 is not a stop to acknowledge.
  ignoreLateStops();
  if (!gb_started) {
    broadcastStart(kFault, 0);
    MPI_Finalize();
    return;
  }
  MPI_Abort(MPI_COMM_WORLD, 1);
}

class RankFinder : public CkFinder {
 public:
  explicit RankFinder(int ranks) : ranks_(ranks), outstanding_(size_t(ranks)), ready_(size_t(ranks)) {}

  void starting(size_t first) override { broadcastStart(kGo, int64_t(first)); }

  bool find(const CkWork& work, const CkFound& found) override {
    next_ = work.first;
    std::atomic<bool> localDone{false};
    std::thread local;
    try {
      local = std::thread([&] {
        searchHere(work, found);
        localDone = true;
      });
    } catch (const std::system_error&) {
      localDone = true;  // no thread for rank 0's own share: the other ranks take it all
    }
    bool stopSent = false;
    std::chrono::steady_clock::time_point stoppedAt;
    for (;;) {
      receiveReports(found);
      if (quitting() && !stopSent) {
        const int64_t signal = gi_stopSignal;
        for (int rank = 1; rank < ranks_; ++rank)
          if (outstanding_[size_t(rank)] > 0) MPI_Send(&signal, 1, MPI_INT64_T, rank, kTagStop, MPI_COMM_WORLD);
        stopSent = true;
        stoppedAt = std::chrono::steady_clock::now();
      }
      bool holding = false;
      for (int rank = 1; rank < ranks_; ++rank) {
        while (!quitting() && ready_[size_t(rank)] && outstanding_[size_t(rank)] < kOrdersAhead) {
          const std::optional<size_t> item = take(work);
          if (!item) break;
          int64_t word = int64_t(*item);
          MPI_Send(&word, 1, MPI_INT64_T, rank, kTagOrder, MPI_COMM_WORLD);
          ++outstanding_[size_t(rank)];
        }
        holding = holding || outstanding_[size_t(rank)] > 0;
      }
      if (localDone && (!holding || (stopSent && std::chrono::steady_clock::now() - stoppedAt > kStopGrace))) break;
      std::this_thread::sleep_for(kPoll);
    }
    if (local.joinable()) local.join();
    return !quitting();
  }

  // Ends every other rank with `status`.
  void release(int status) {
    const int64_t word = -1 - int64_t(status);
    for (int rank = 1; rank < ranks_; ++rank) MPI_Send(&word, 1, MPI_INT64_T, rank, kTagOrder, MPI_COMM_WORLD);
  }

 private:
  std::optional<size_t> take(const CkWork& work) {
    std::lock_guard lock(mutex_);
    if (next_ >= work.items.size()) return std::nullopt;
    return next_++;
  }

  // Rank 0's own share, on a thread beside the one that talks to the other ranks.
  void searchHere(const CkWork& work, const CkFound& found) {
    while (!quitting()) {
      const std::optional<size_t> item = take(work);
      if (!item) return;
      std::optional<std::string> line;
      std::string unfactored;
      int64_t from = work.options.minK;
      if (!work.lineOf(work.items[*item], work.threads, stopToken(), line, unfactored, from)) return;
      found(*item, line, unfactored);
    }
  }

  void receiveReports(const CkFound& found) {
    for (;;) {
      int waiting = 0;
      MPI_Status probe;
      MPI_Iprobe(MPI_ANY_SOURCE, kTagReport, MPI_COMM_WORLD, &waiting, &probe);
      if (!waiting) return;
      int size = 0;
      MPI_Get_count(&probe, MPI_BYTE, &size);
      std::string bytes(size_t(size), '\0');
      MPI_Recv(bytes.data(), size, MPI_BYTE, probe.MPI_SOURCE, kTagReport, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      const size_t rank = size_t(probe.MPI_SOURCE);
      int64_t item = 0;
      if (bytes.size() < sizeof item + 1) error("rank %d sent a damaged report", probe.MPI_SOURCE);
      std::memcpy(&item, bytes.data(), sizeof item);
      const char kind = bytes[sizeof item];
      ready_[rank] = true;
      if (kind == kReady) continue;
      if (outstanding_[rank] > 0) --outstanding_[rank];
      if (kind == kStopped) {
        if (!quitting()) ckStopRequested(SIGTERM);  // a rank stopped by a signal that rank 0 missed
      } else if (kind == kLine || kind == kNone) {
        const std::string text = bytes.substr(sizeof item + 1);
        const size_t nul = std::min(text.find('\0'), text.size());
        found(size_t(item), kind == kLine ? std::optional<std::string>(text.substr(0, nul)) : std::nullopt,
              nul < text.size() ? text.substr(nul + 1) : std::string());
      }
    }
  }

  const int ranks_;
  std::vector<int> outstanding_;  // orders sent to each rank and not answered yet
  std::vector<bool> ready_;       // each rank has built its tables
  std::mutex mutex_;
  size_t next_ = 0;  // the first item not handed out
};

// ---- the other ranks -----------------------------------------------------------------

// The other ranks never print: a stop raises the flag without an acknowledgement.
void followStop(int signal) {
  gi_stopSignal = signal;
  gb_quitting = 1;
}

void takeStopOrder() {
  int waiting = 0;
  MPI_Iprobe(0, kTagStop, MPI_COMM_WORLD, &waiting, MPI_STATUS_IGNORE);
  if (!waiting) return;
  int64_t signal = 0;
  MPI_Recv(&signal, 1, MPI_INT64_T, 0, kTagStop, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  followStop(int(signal));
}

// Searches one base on this rank's threads while the main thread listens for a stop.
void searchItem(const CkWork& work, int64_t item) {
  std::optional<std::string> line;
  std::string unfactored;
  int64_t from = work.options.minK;
  // Without a thread to listen beside it, a stop order is taken after the base.
  const bool complete = workWhileListening(
      [&] { return work.lineOf(work.items[size_t(item)], work.threads, stopToken(), line, unfactored, from); },
      takeStopOrder, kPoll);
  if (!complete) return sendReport(item, kStopped);
  sendReport(item, line ? kLine : kNone,
             (line ? *line : std::string()) + (unfactored.empty() ? std::string() : '\0' + unfactored));
}

int followRun(const CkOptions& options) {
  platformInstallStopHandlers(followStop);
  int64_t words[2];
  MPI_Bcast(words, 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
  if (words[0] != kGo) return words[0] == kFault ? 1 : 0;
  const size_t first = size_t(words[1]);
  const std::vector<CkItem> items = ckItems(options);
  std::optional<std::vector<pelund::CandidateTable>> tables;
  size_t firstTable = options.bases.size();
  if (first < items.size()) {
    const auto firstBase = std::lower_bound(options.bases.begin(), options.bases.end(), items[first].base);
    firstTable = size_t(firstBase - options.bases.begin());
    // A search wide from its start has no ordinary part, and no tables.
    if (options.ordinary)
      tables = jointCandidateTables(std::vector<int32_t>(firstBase, options.bases.end()), int32_t(options.period),
                                    int32_t(options.maxFact), stopToken());
    else
      tables.emplace();
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  const int threads = options.threads > 0 ? int(options.threads) : int(hardware > 0 ? hardware : 1);
  const std::vector<pelund::CandidateTable> none;
  const CkWork work{options, items, first, tables ? *tables : none, firstTable, threads};
  sendReport(-1, quitting() ? kStopped : kReady);
  // A stopped rank waits for rank 0's last order, however long rank 0 takes to write its
  // last lines: were it to end first, mpirun would end rank 0 before them.
  for (;;) {
    int waiting = 0;
    MPI_Iprobe(0, kTagOrder, MPI_COMM_WORLD, &waiting, MPI_STATUS_IGNORE);
    if (!waiting) {
      takeStopOrder();
      std::this_thread::sleep_for(kPoll);
      continue;
    }
    int64_t item = 0;
    MPI_Recv(&item, 1, MPI_INT64_T, 0, kTagOrder, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    if (item < 0) return int(-1 - item);
    if (quitting() || !tables) sendReport(item, kStopped);
    else searchItem(work, item);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  CkOptions options;
  const char* fault = parseCkOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  int status = 1;
  bool stopped = false;
  try {
    if (rank != 0) {
      status = followRun(options);  // a fault is rank 0's to show: the start says so
      stopped = quitting() || status > 128;
    } else {
      std::atexit(leaveOnExit);
      ckprogress::forbid();
      if (options.help || options.version) {
        broadcastStart(kNothing, 0);
        std::printf(options.help ? "pelund-ck-mpi runs pelund-ck under mpirun; see pelund-ck --help.\n"
                                 : "pelund-ck-mpi %s\n",
                    pelund::kVersion);
        status = 0;
      } else {
        if (fault != nullptr) error("%s", fault);
        RankFinder finder(ranks);
        try {
          status = runCkTable(options, &finder);
        } catch (const std::bad_alloc&) {
          error("not enough memory");
        } catch (const pelund::Error& failure) {
          error("%s", failure.what());
        }
        // The table is written, or its stop acknowledged: another stop (mpirun passing
        // one on as the run ends) is not.
        ignoreLateStops();
        stopped = status != 0;
        // After a stop the first rank to end makes mpirun kill the others: rank 0's
        // output is complete before any other rank may end.
        std::fflush(stdout);
        finder.release(status);
      }
    }
  } catch (const std::bad_alloc&) {
    if (rank == 0) error("not enough memory");
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  gb_finished = true;
  if (stopped) {
    // MPI_Finalize waits for mpirun, which does not answer while it ends a stopped job:
    // everything has been written, so a rank whose finalization hangs ends without it.
    std::fflush(stdout);
    endStoppedRankSoon(status);
  }
  MPI_Finalize();
  return status;
}
