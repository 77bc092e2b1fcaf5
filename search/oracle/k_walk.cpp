// The per-k work of the walk, straightforwardly: skip tests first (they are cheap and
// spare the table work), then for each candidate prime its first hit by a running
// product of powers of b, its marks, and the coverage test that stops at the first
// uncovered slot. Nothing is allocated per k.
#include "k_walk.h"

bool isSkipped(int64_t k, const SearchParams& params, const CandidateTable& table) {
  if (k % params.base == 0) return true;
  for (int32_t f : table.baseMinusOneFactors) {
    if ((k + params.c) % f == 0) return true;
  }
  return false;
}

bool coverExponents(int64_t k, const SearchParams& params, const CandidateTable& table, ExponentSlots& slots) {
  clearSlots(slots);
  const std::vector<FactorPeriod>& pairs = table.periodOrderedList;
  for (std::size_t j = 0; j < pairs.size(); ++j) {
    const uint32_t p = pairs[j].factor;
    const uint32_t e = firstHit(static_cast<uint32_t>(k % p), p, params.base, params.c, 2 * params.period);
    markHits(slots, p, e, pairs[j].period);
    if (j >= 1 && slotsCovered(slots)) return true;
  }
  return false;
}

std::optional<CoverLine> searchOneK(int64_t k, const SearchParams& params, const CandidateTable& table,
                                    ExponentSlots& slots) {
  if (isSkipped(k, params, table) || !coverExponents(k, params, table, slots)) return std::nullopt;
  return coverLineFor(k, slots, table.factorPeriodList);
}
