// The order of a run: standard streams made safe, configuration, the directory lock,
// stop handlers, the results to start from, the banner, the search.
#include "sequence.h"

#include <cinttypes>
#include <new>

#include "config.h"
#include "console.h"
#include "find_pelund.h"
#include "platform.h"
#include "resume.h"
#include "run.h"

void showRunBanner(const SearchState& start, bool resumed) {
  consoleWrite("\n");
  reportWithDateTime("Covering sets for %c%d k=%" PRId64 " to %" PRId64 " with factor<=%d and period=%d",
                     formLetter(gi_c), gi_base, gi_minK, gi_maxK, gi_maxFact, gi_period);
  if (resumed)
    reportWithDateTime("Resuming %c%d at k=%" PRId64 " with %" PRIu64 " covering set%s found", formLetter(gi_c), gi_base,
                       start.nextK, start.found, start.found == 1 ? "" : "s");
  consoleWrite("\n");
}

namespace {

int runSearchOfConfiguration() {
  platformGuardStandardStreams();
  platformIgnoreFileSizeSignal();
  platformIgnoreBrokenPipe();  // until the stop handlers: an error to a closed pipe still exits 1
  getInputs();
  lockRunDirectory();
  refuseLinkedLog();
  installInterruptHandlers();
  platformBoundWaitsOnStop(quitting);
  const pelund::SearchParams params = searchParamsFromConfig();
  const bool resume = gi_resume == 1;
  bool resumed = false;
  const SearchState start = prepareResults(params, resume, resumed);
  showRunBanner(start, resumed);
  const SearchOutcome outcome = runSearch(params, displayFromConfig(), start, resume ? kStatePath : nullptr);
  return outcome.interrupted ? interruptedStatus() : 0;
}

}  // namespace

int runPelund() {
  try {
    return runSearchOfConfiguration();
  } catch (const std::bad_alloc&) {
    error("not enough memory");
  } catch (const pelund::Error& fault) {
    error("%s", fault.what());
  }
}
