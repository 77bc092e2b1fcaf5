// The driver of the straightforward walk: the per-k work (k_walk) stays a pure
// function, and the walk only strings its lines together.
#include "walk_driver.h"

#include "exponent_slots.h"
#include "k_walk.h"

bool walkKRange(const SearchParams& params, const CandidateTable& table, PartResult& lines, const StopToken& stop) {
  lines.clear(params.minK, params.maxK);
  if (params.minK > params.maxK) return true;
  ExponentSlots slots = makeExponentSlots(params.period);
  // The loop ends after k == maxK rather than at k > maxK, so maxK = INT64_MAX
  // cannot overflow the counter.
  for (int64_t k = params.minK;; ++k) {
    if (stop.stopRequested()) return false;
    if (std::optional<CoverLine> line = searchOneK(k, params, table, slots)) lines.add(k, formatCoverLine(*line));
    if (k == params.maxK) break;
  }
  return true;
}
