// The order of a run: standard streams made safe, configuration, the directory lock,
// stop handlers, the results to start from, the banner, the search. The start up to
// the results is shared with pelund-mpi's rank 0, the directory's part with pelund-ck.
#include "sequence.h"

#include <cinttypes>
#include <new>

#include "config.h"
#include "console.h"
#include "find_pelund.h"
#include "platform.h"
#include "resume.h"
#include "run.h"
#include "wide_run.h"

void showRunBanner(const SearchState& start, bool resumed) {
  std::vector<std::string> banner{
      statusMessage("Covering sets for %c%d k=%" PRId64 " to %" PRId64 " with factor<=%d and period=%d",
                    formLetter(gi_c), gi_base, gi_minK, gi_maxK, gi_maxFact, gi_period)};
  if (resumed)
    banner.push_back(statusMessage("Resuming %c%d at k=%" PRId64 " with %" PRIu64 " covering set%s found",
                                   formLetter(gi_c), gi_base, start.nextK, start.found, start.found == 1 ? "" : "s"));
  showBanner(banner);
}

void claimRunDirectory(const StopHandlers& handlers) {
  lockRunDirectory();
  refuseLinkedLog();
  platformInstallStopHandlers(handlers.stop);
  if (handlers.outputClosed != nullptr) platformInstallBrokenPipeHandler(handlers.outputClosed);
  if (handlers.continued != nullptr) platformInstallContinueHandler(handlers.continued);
  platformBoundWaitsOnStop(quitting);
}

PreparedRun prepareRun(const StopHandlers& handlers) {
  platformGuardStandardStreams();
  platformIgnoreFileSizeSignal();
  platformIgnoreBrokenPipe();  // until the stop handlers: an error to a closed pipe still exits 1
  getInputs();
  claimRunDirectory(handlers);
  PreparedRun run;
  run.resume = gi_resume == 1;
  run.wide = g_wide.beyond;
  if (run.wide) return run;
  run.params = searchParamsFromConfig();
  run.start = prepareResults(run.params, run.resume, run.resumed);
  return run;
}

namespace {

int runSearchOfConfiguration() {
  const PreparedRun run = prepareRun(interruptHandlers());
  if (run.wide) return runWideSearch(run.resume);
  showRunBanner(run.start, run.resumed);
  const SearchOutcome outcome =
      runSearch(run.params, displayFromConfig(), run.start, run.resume ? kStatePath : nullptr);
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
