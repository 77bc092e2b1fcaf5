// The ranks of a distributed search. Rank 0 leads: it holds the configuration, the
// results and the console, hands out pieces of the range on demand and writes the
// finished pieces in ascending k through the one results writer, while a thread of
// its own searches pieces like any other rank. The other ranks follow: they build
// the same candidate table, search the pieces they are given and send the lines back.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "cover_sieve.h"
#include "pieces.h"
#include "results_writer.h"
#include "table.h"

// Message tags.
inline constexpr int kTagReport = 1;  // worker -> rank 0: encodeReport bytes
inline constexpr int kTagOrder = 2;   // rank 0 -> worker: kOrderWords int64
inline constexpr int kTagStop = 3;    // rank 0 -> worker: the stop signal, one int64

class Coordinator {
 public:
  explicit Coordinator(int ranks);

  // Searches k = from..to on every rank, handing the pieces to `sink` in ascending k.
  // False when ended by the interrupt flag (raised here too when a worker stops).
  bool walk(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to, PartSink& sink);

  // Ends every worker with `status`, waiting for those that have not reported yet.
  void release(int status);

  // One line on standard error with the pieces and messages of the walk and its time.
  void showTraffic(double seconds) const;

 private:
  enum class State { expecting, idle, released };

  void receiveReports();
  void handle(int rank, Report& report);
  void order(int rank, OrderKind kind, int64_t word, int64_t from = 0, int64_t to = 0);
  bool claimable() const;  // guarded by mutex_
  void localWork(const SieveTables& tables, const SearchParams& params);

  const int ranks_;
  std::vector<State> states_;
  std::vector<bool> holding_;  // the rank is searching a piece
  // Shared with the local worker thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  PiecePlan plan_{1, 0, 1};
  std::map<uint64_t, PartResult> pending_;
  uint64_t written_ = 0;
  uint64_t window_ = 0;
  bool localFinished_ = false;
  // Traffic, for PELUND_MPI_STATS.
  uint64_t reports_ = 0, reportBytes_ = 0, orders_ = 0;
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
