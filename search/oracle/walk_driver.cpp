// The driver of the k walk: all console and file output of the search over k lives
// here, so that the per-k work (k_walk) stays a pure function that a faster engine
// can be checked against. The interrupt flag is read afresh once per k, before
// anything else is done for that k; a covered k is always written whole.
#include "walk_driver.h"

#include <cinttypes>
#include <cstdio>

#include "config.h"
#include "console.h"
#include "exponent_slots.h"
#include "k_walk.h"
#include "reports.h"
#include "run.h"

WalkOutcome walkKRange(const SearchParams& params, const CandidateTable& table, const char* coveringPath) {
  WalkOutcome outcome;
  if (params.minK > params.maxK) return outcome;
  ExponentSlots slots = makeExponentSlots(params.period);
  // The loop ends after k == maxK rather than at k > maxK, so maxK = INT64_MAX
  // cannot overflow the counter.
  for (int64_t k = params.minK;; ++k) {
    if (quitting()) {
      consoleWrite("Ending k search at k=%" PRId64 ".\n", k);
      outcome.interrupted = true;
      return outcome;
    }
    if (params.kDisp > 0 && k % params.kDisp == 0) showSearchProgress(k, outcome.found);
    if (std::optional<CoverLine> line = searchOneK(k, params, table, slots)) {
      if (!appendCoverLine(coveringPath, *line)) error("%s cannot be opened for writing", coveringPath);
      ++outcome.found;
    }
    if (k == params.maxK) break;
  }
  return outcome;
}
