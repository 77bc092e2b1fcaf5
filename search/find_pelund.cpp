// findPelund: the three phases of the search wired together. The table phase
// builds the candidate primes and logs them through the search's own log handle,
// which is closed before any status report reopens the log; with fewer than two
// candidates no k can be covered and the walk does not run. The run uses the fast
// engine (streamed table, block sieve on all threads); the straightforward phases
// beside it serve as the oracle that the tests compare it with.
#include "find_pelund.h"

#include <cstdio>

#include "config.h"
#include "fast_table.h"
#include "parallel_walk.h"
#include "walk_driver.h"

SearchParams searchParamsFromConfig() {
  SearchParams params;
  params.base = gi_base;
  params.c = gi_c;
  params.period = gi_period;
  params.maxFact = gi_maxFact;
  params.facDisp = gi_facDisp;
  params.minK = gi_minK;
  params.maxK = gi_maxK;
  params.kDisp = gi_kDisp;
  params.threads = gi_threads;
  return params;
}

void runSearch(const SearchParams& params) {
  std::FILE* searchLog = std::fopen("pelund.log", "a");
  std::optional<CandidateTable> table = buildFactorTableFast(params, searchLog);
  if (searchLog != nullptr) std::fclose(searchLog);
  if (!table) return;
  if (table->factorPeriodList.size() < 2) {
    reportFound(0, params);
    return;
  }
  WalkOutcome outcome = walkKRangeFast(params, *table);
  if (!outcome.interrupted) reportFound(outcome.found, params);
}

void findPelund() { runSearch(searchParamsFromConfig()); }
