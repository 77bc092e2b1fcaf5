// The ranks of a distributed search. Rank 0 leads: it holds the configuration, the
// results and the console, and runs the library's walk, which cuts the range into
// parts and chooses the engine of each. A part of the block sieve goes out in pieces
// of k, a part of the residue tree in batches of its subtrees, to whichever rank asks
// next; a thread of rank 0 takes them too. Sieve pieces come back with their lines and
// are handed to the writer in ascending k; the covered k of a tree part are merged
// once all its subtrees are done, and its lines are written as one part. The other
// ranks follow: they build the same candidate table and search what they are given.
#pragma once

#include <pelund/pelund.hpp>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "pieces.h"

// Message tags.
inline constexpr int kTagReport = 1;  // worker -> rank 0: encodeReport bytes
inline constexpr int kTagOrder = 2;   // rank 0 -> worker: kOrderWords int64
inline constexpr int kTagStop = 3;    // rank 0 -> worker: the stop signal, one int64

class Jobs;

// The subtrees of the last tree part a rank worked on: every rank makes the same list
// for the same part, once.
struct TaskCache {
  int64_t from = 1, to = 0, wanted = 0;
  std::vector<pelund::TreeTask> tasks;

  const std::vector<pelund::TreeTask>& of(const pelund::Search& search, int64_t f, int64_t t, int64_t w) {
    if (f != from || t != to || w != wanted) tasks = search.treeTasks(f, t, size_t(w)), from = f, to = t, wanted = w;
    return tasks;
  }
};

class Coordinator : public pelund::Runner {
 public:
  explicit Coordinator(int ranks);

  // The parts of the library's walk, searched on every rank. False when stopped (also
  // when a worker stopped, or ended).
  bool sieve(const pelund::Search& search, int64_t from, int64_t to, pelund::Sink& sink,
             const pelund::StopToken& stop) override;
  bool tree(const pelund::Search& search, int64_t from, int64_t to, PartResult& lines,
            const pelund::StopToken& stop) override;

  // Ends every worker with `status`, waiting for those that have not reported yet.
  void release(int status);

  // One line on standard error with the jobs and messages of the walk and its time.
  void showTraffic(double seconds) const;

 private:
  bool walkJobs(const pelund::Search& search, Jobs& jobs, pelund::Sink* sink);
  void receiveReports(Jobs& jobs);
  void order(int rank, const Order& order);
  void localWork(const pelund::Search& search, Jobs& jobs);
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
  // Shared with rank 0's own search thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  bool localFinished_ = false;
  int64_t lastWidth_ = 0;  // the last sieve piece's width and lines, for the next part's plan
  size_t lastLines_ = 0;
  TaskCache tasks_;  // the subtrees of the tree part in hand, for rank 0's own jobs too
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
