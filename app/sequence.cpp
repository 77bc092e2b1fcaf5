// The order of a run: configuration, interrupt handlers, removal of the old results,
// the banner, the search.
#include "sequence.h"

#include <cinttypes>

#include "config.h"
#include "console.h"
#include "find_pelund.h"
#include "run.h"

int runPelund() {
  getInputs();
  installInterruptHandlers();
  delete_file("covering.txt");
  consoleWrite("\n");
  reportWithDateTime("Covering sets for %c%d k=%" PRId64 " to %" PRId64 " with factor<=%d and period=%d",
                     formLetter(gi_c), gi_base, gi_minK, gi_maxK, gi_maxFact, gi_period);
  consoleWrite("\n");
  findPelund();
  return 0;
}
