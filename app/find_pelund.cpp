// The run's search: the three phases wired together around the library. The
// table phase builds the candidate primes, whose list goes to the log; with fewer than
// two candidates no k can be covered by primes alone and the walk runs only for
// algebraic factors. The walk hands its parts to the one results writer, whichever
// engine or process searched them.
#include "find_pelund.h"

#include <cinttypes>

#include "config.h"
#include "console.h"
#include "platform.h"
#include "resume.h"
#include "reports.h"
#include "results_writer.h"
#include "run.h"
#include "status_line.h"

pelund::SearchParams searchParamsFromConfig() {
  pelund::SearchParams params;
  params.base = gi_base;
  params.c = gi_c;
  params.period = gi_period;
  params.maxFact = gi_maxFact;
  params.minK = gi_minK;
  params.maxK = gi_maxK;
  params.threads = gi_threads;
  params.engine = static_cast<pelund::Engine>(gi_engine);
  params.algebraic = gi_algebraic == 1;
  return params;
}

Display displayFromConfig() { return Display{uint32_t(gi_facDisp), gi_kDisp, uint64_t(gi_maxSets)}; }

namespace {

void logStop(const char* where, int64_t at) {
  if (gi_endedRank > 0)
    logWithDateTime("Search interrupted by the end of rank %d at %s=%" PRId64, int(gi_endedRank), where, at);
  else
    logWithDateTime("Search interrupted by signal %d at %s=%" PRId64, int(gi_stopSignal), where, at);
}

}  // namespace

SearchOutcome runSearch(const pelund::SearchParams& params, const Display& display, const SearchState& start,
                        const char* statePath, pelund::Runner* runner) {
  ConsoleObserver observer(display.facDisp);
  uint32_t stoppedAt = 0;
  const std::optional<pelund::CandidateTable> table = pelund::candidates(params, observer, stopToken(), &stoppedAt);
  if (!table) {
    consoleWrite("Ending factor load at factor=%u.\n", stoppedAt);
    logStop("factor", stoppedAt);
    return {true};
  }
  if (!table->factorPeriodList.empty()) platformAppendToLog(kLogPath, factorListText(table->factorPeriodList));
  // A part in progress beyond a maxk made smaller is searched again from its start.
  SearchState begin = start;
  if (begin.part.wanted > 0 && begin.part.to > params.maxK) begin.part = pelund::TreeProgress{};
  ResultsWriter writer(display.kDisp, kCoveringPath, begin, statePath);
  writer.saveState();
  bool complete = true;
  const pelund::Search search(params, *table);
  // Algebraic classes may prove k with fewer than two primes, even with none. With
  // maxsets the walk ends once the file holds that many lines, a resumed run's included.
  const bool enough = display.maxSets > 0 && start.found >= display.maxSets;
  if (search.searchable() && start.nextK <= params.maxK && !enough) {
    statusline::start(start.nextK, params.maxK, start.found);
    const uint64_t lines = display.maxSets > 0 ? display.maxSets - start.found : 0;
    complete = search.walkLines(start.nextK, params.maxK, lines, writer, stopToken(), &observer, runner,
                                begin.part.wanted > 0 ? &begin.part : nullptr);
  }
  complete = complete && !writer.stopped();
  writer.saveState();
  if (!complete) {
    consoleWrite("Ending k search at k=%" PRId64 ".\n", writer.nextK());
    logStop("k", writer.nextK());
    return {true};
  }
  ignoreLateStops();
  reportFound(writer.found(), params);
  return {false};
}
