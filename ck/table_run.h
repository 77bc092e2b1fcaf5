// The run of pelund-ck: the lock, ck.txt checked against the parameters and continued
// after its last line, the banner, the lines of the bases still to do found and written
// in order, and the closing report. The lines are found on this process's threads, or
// by a finder that spreads them over other processes (the MPI build).
#pragma once

#include <pelund/pelund.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

// What a finder is given: the items, the first still to do, and the candidate tables
// of options.bases from firstTable on (built together for those bases).
struct CkWork {
  const CkOptions& options;
  const std::vector<CkItem>& items;
  size_t first;
  const std::vector<pelund::CandidateTable>& tables;
  size_t firstTable;
  int threads;  // this process's threads

  const pelund::CandidateTable& tableOf(const CkItem& item) const;
  pelund::SearchParams paramsOf(const CkItem& item, int threads) const;
  // The line of one item on `threads` threads: the ordinary engines from `from` up to
  // their caps (unless `ordinaryDone`) and, with --wide beyond them, the wide engine on
  // from there when they found none. False when stopped, `from` then where the ordinary
  // engines stood. `unfactored` as wideFirstLine gives it.
  bool lineOf(const CkItem& item, int threads, const pelund::StopToken& stop, std::optional<std::string>& line,
              std::string& unfactored, int64_t& from, bool ordinaryDone = false) const;
};

// The line of item i is known: nullopt when no k is covered; `unfactored` as
// wideFirstLine gives it (empty but for wide searches).
using CkFound = std::function<void(size_t i, const std::optional<std::string>& line, const std::string& unfactored)>;

class CkFinder {
 public:
  virtual ~CkFinder() = default;
  // Called once ck.txt has been read, with the first item still to do (the items'
  // count when the table is complete), before the tables are built.
  virtual void starting(size_t first) = 0;
  // Finds the line of every item from work.first on and hands each to `found`, from
  // any thread, in any order; false when stopped.
  virtual bool find(const CkWork& work, const CkFound& found) = 0;
};

// The whole run; its exit status. `finder` null: this process's threads find the lines.
int runCkTable(const CkOptions& options, CkFinder* finder);

// The signal handler of a run: erases the progress line and stops.
void ckStopRequested(int signal);
