// The bit counts of the residue tree (bit_counts.h).
#include "bit_counts.h"

#include <algorithm>
#include <bit>

// The bit counts of the counting bound and of the sieved classes get a popcnt clone
// where the object format can pick it at load time (ELF ifunc), as the block sieve's
// do; elsewhere the portable code alone.
#if defined(__GNUC__) && defined(__ELF__) && defined(__x86_64__)
#define PELUND_TREE_POPCNT __attribute__((target_clones("popcnt", "default")))
#else
#define PELUND_TREE_POPCNT
#endif

namespace tree {

PELUND_TREE_POPCNT uint32_t openCount(const uint64_t* bits, uint32_t words, uint32_t period) {
  uint32_t covered = 0;
  for (uint32_t w = 0; w < words; ++w) covered += uint32_t(std::popcount(bits[w]));
  return period - covered;
}

PELUND_TREE_POPCNT uint32_t mostOpenOfMasks(const uint64_t* mask, uint32_t classes, const uint64_t* bits,
                                             uint32_t words, uint32_t full) {
  uint32_t most = 0;
  for (uint32_t e = 0; e < classes && most < full; ++e, mask += words) {
    uint32_t open = 0;
    for (uint32_t w = 0; w < words; ++w) open += uint32_t(std::popcount(mask[w] & ~bits[w]));
    most = std::max(most, open);
  }
  return most;
}

PELUND_TREE_POPCNT uint64_t keepHits(uint64_t* alive, const uint64_t* hits, size_t words) {
  uint64_t left = 0;
  for (size_t w = 0; w < words; ++w) left += uint64_t(std::popcount(alive[w] &= hits[w]));
  return left;
}

PELUND_TREE_POPCNT uint64_t countPlaces(const uint64_t* places, size_t words) {
  uint64_t count = 0;
  for (size_t w = 0; w < words; ++w) count += uint64_t(std::popcount(places[w]));
  return count;
}

}  // namespace tree
