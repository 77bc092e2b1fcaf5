// The exponent table of the k walk. For the current k, slot n (1 <= n <= 2P) lists
// the candidate primes that divide k*b^n + c, in the order in which the primes were
// tried, so the first entry of a slot is the first prime of the trial order that
// covers exponent n. A prime p of period d divides k*b^n + c exactly for the n of
// one residue class modulo d, so its marks are its first hit e and then every d-th
// exponent after it.
//
// The table is allocated once per run and only cleared per k; a list starts with
// kSlotListEntries zero entries (0 means empty, filled from the front) and grows
// only in the rare slot that more primes hit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr std::size_t kSlotListEntries = 10;

struct ExponentSlots {
  int32_t period = 0;                        // P: slots 1 .. 2P are used, slot 0 never
  std::vector<std::vector<uint32_t>> lists;  // 2P + 1 slot lists
};

ExponentSlots makeExponentSlots(int32_t period);

// Empties every entry of the slots 1 .. 2P, keeping the lists' sizes.
void clearSlots(ExponentSlots& slots);

// The least e in 1 .. limit with p | k*b^e + c, where t = k mod p; 0 when there is
// none (always so when p divides k). The powers of b come from a running product.
uint32_t firstHit(uint32_t t, uint32_t p, int32_t base, int32_t c, int32_t limit);

// Appends p to the slots e, e + d, e + 2d, ... up to 2P.
void markHits(ExponentSlots& slots, uint32_t p, uint32_t e, uint32_t d);

// True when every slot 1 .. 2P has a nonzero first entry.
bool slotsCovered(const ExponentSlots& slots);

// The first entry of slot n (0 when the slot is uncovered).
inline uint32_t firstEntry(const ExponentSlots& slots, int32_t n) { return slots.lists[n][0]; }
