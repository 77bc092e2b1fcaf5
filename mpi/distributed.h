// The ranks of a distributed search. Rank 0 leads: it holds the configuration, the
// results and the console, and runs the library's walk, which cuts the range into
// parts and chooses the engine of each. A part of the block sieve goes out in pieces
// of k, a part of the residue tree in batches of its subtrees, to whichever rank asks
// next; a thread of rank 0 takes them too. Sieve pieces come back with their lines and
// are handed to the writer in ascending k; the lines of a tree part are merged once all
// its subtrees are done, and written as one part, while the ranks already search the
// next part (meanwhile the writer tells the sink the subtrees done from the first on).
// The other ranks follow: they build the same candidate table and search what they are
// given.
#pragma once

#include <pelund/pelund.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pieces.h"

// Message tags.
inline constexpr int kTagReport = 1;  // worker -> rank 0: encodeReport bytes
inline constexpr int kTagOrder = 2;   // rank 0 -> worker: kOrderWords int64
inline constexpr int kTagStop = 3;    // rank 0 -> worker: the stop signal, one int64

class Jobs;
class TreeQueue;

// The subtrees of the last two tree parts a rank worked on (consecutive parts overlap):
// every rank makes the same list for the same part, once. Shared by rank 0's threads.
class TaskCache {
 public:
  using List = std::shared_ptr<const std::vector<pelund::TreeTask>>;
  List of(const pelund::Search& search, int64_t from, int64_t to, int64_t wanted);

 private:
  struct Entry {
    int64_t from = 1, to = 0, wanted = 0;
    List tasks;
  };
  std::mutex mutex_;
  Entry entries_[2];
  size_t next_ = 0;
};

class Coordinator : public pelund::Runner {
 public:
  explicit Coordinator(int ranks);
  ~Coordinator() override;

  // The parts of the library's walk, searched on every rank. False when stopped (also
  // when a worker stopped, or ended). Tree parts overlap: the subtrees of the next part
  // go out while the last of the one before run and its lines are merged and written,
  // on a thread of rank 0, in ascending k.
  bool sieve(const pelund::Search& search, int64_t from, int64_t to, pelund::Sink& sink,
             const pelund::StopToken& stop) override;
  bool tree(const pelund::Search& search, int64_t from, int64_t to, PartResult& lines,
            const pelund::StopToken& stop) override;
  bool overlaps() const override { return true; }
  bool treeAhead(const pelund::Search& search, int64_t from, int64_t to, pelund::Sink& sink,
                 const pelund::StopToken& stop, size_t& before) override;
  bool settle(pelund::Sink& sink, const pelund::StopToken& stop) override;

  // Ends every worker with `status`, waiting for those that have not reported yet.
  void release(int status);

  // One line on standard error with the jobs and messages of the walk and its time.
  void showTraffic(double seconds) const;

 private:
  // Serves the ranks (their reports in, orders out, a sieve part's pieces to `sink`)
  // until `done` holds (asked under the mutex), or a stop has been answered and rank
  // 0's own threads have ended. False when stopped.
  bool serve(Jobs& jobs, pelund::Sink* sink, const pelund::StopToken& stop, const std::function<bool()>& done);
  void receiveReports(Jobs& jobs);
  void order(int rank, const Order& order);
  void localWork(const pelund::Search& search, Jobs& jobs);
  void writeTreeParts();
  // Ends rank 0's threads of the overlapped tree parts; rethrows what the writer threw.
  void closeTreeParts();
  bool stopping() const;
  bool answered(std::chrono::steady_clock::time_point stoppedAt, const std::vector<bool>& awaited);
  bool holding(int rank) const { return outstanding_[size_t(rank)] > 0; }
  // Whether the process of a rank on this machine has ended (gone or a zombie).
  bool anyRankEnded() const;

  const int ranks_;
  // Per rank: its table is built (it reported ready); orders sent and not answered yet
  // (a rank holds the next order while it works on one, so that it never waits for
  // it); it has been told the end.
  std::vector<bool> ready_;
  std::vector<int> outstanding_;
  std::vector<bool> released_;
  std::vector<ProcessIdentity> identities_;  // the process of each rank, from its reports
  // Shared with rank 0's own search thread and the writer of tree parts.
  std::mutex mutex_;
  std::condition_variable changed_;
  bool localFinished_ = true;
  std::atomic<bool> halted_{false};  // the walk's own stop (not the run's) ends the parts in flight
  int64_t lastWidth_ = 0;  // the last sieve piece's width and lines, for the next part's plan
  size_t lastLines_ = 0;
  TaskCache tasks_;  // the subtrees of the tree parts in hand, for rank 0's own jobs too
  // The overlapped tree parts in flight, rank 0's thread that searches their subtrees
  // and the one that merges and writes them.
  std::unique_ptr<TreeQueue> queue_;
  std::thread local_, writer_;
  pelund::Sink* treeSink_ = nullptr;
  bool writerFinished_ = true;
  std::exception_ptr writeFault_;
  // Traffic, for PELUND_MPI_STATS.
  uint64_t jobs_ = 0, reports_ = 0, reportBytes_ = 0, orders_ = 0;
};

// The run of rank 0 and of the other ranks; each returns its exit status.
int leadRun(int ranks);
int followRun();
// Marks the run as over, so that ending the process does not end the job as well.
void markFinished();
// Closes standard output and error (once), so that mpirun has all of this rank's output.
void closeConsoleStreams();
// Whether a run that ended with `status` was stopped (by a signal or by rank 0).
bool stoppedRun(int status);
