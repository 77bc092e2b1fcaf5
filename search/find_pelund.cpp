// findPelund: the three phases of the search wired together. The table phase
// builds the candidate primes and logs them through the search's own log handle,
// which is closed before any status report reopens the log; with fewer than two
// candidates no k can be covered by primes alone and the walk runs only for
// algebraic factors. The walk hands its
// parts to the one results writer, whichever engine searched them; the
// straightforward phases beside it serve as the oracle that the tests compare with.
#include "find_pelund.h"

#include <cinttypes>
#include <cstdio>

#include "config.h"
#include "console.h"
#include "factor_table.h"
#include "fast_table.h"
#include "platform.h"
#include "range_walk.h"
#include "results_writer.h"
#include "run.h"
#include "reports.h"

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
  params.engine = static_cast<Engine>(gi_engine);
  params.algebraic = gi_algebraic == 1;
  return params;
}

SearchOutcome runSearch(const SearchParams& params, const SearchState& start, const char* statePath,
                        const RangeWalker& walker) {
  std::optional<CandidateTable> table = buildFactorTableFast(params, nullptr);
  if (!table) return {true, start.found};
  if (!table->factorPeriodList.empty()) platformAppendToLog("pelund.log", factorListText(table->factorPeriodList));
  ResultsWriter writer(params, "covering.txt", start, statePath);
  writer.saveState();
  bool complete = true;
  // Algebraic classes may prove k with fewer than two primes, even with none.
  if ((table->factorPeriodList.size() >= 2 || params.algebraic) && start.nextK <= params.maxK) {
    SieveTables tables(params, *table);
    complete = walker ? walker(tables, params, start.nextK, params.maxK, writer)
                      : walkRange(tables, params, start.nextK, params.maxK, writer);
  }
  complete = complete && !writer.stopped();
  writer.saveState();
  if (!complete) {
    consoleWrite("Ending k search at k=%" PRId64 ".\n", writer.nextK());
    logWithDateTime("Search interrupted by signal %d at k=%" PRId64, int(gi_stopSignal), writer.nextK());
    return {true, writer.found()};
  }
  reportFound(writer.found(), params);
  return {false, writer.found()};
}

SearchOutcome findPelund() {
  const SearchParams params = searchParamsFromConfig();
  SearchState start;
  start.nextK = params.minK;
  return runSearch(params, start);
}
