// The exponent table of the k walk: clearing, first hits, marking and the coverage
// test. The first hit is found by the running product x = b^e mod p, since
// k*b^e + c = t*x + c (mod p) with t = k mod p; all products stay below 10^18 because
// b, t and x are below 10^9 + 1. The coverage test stops at the first empty slot.
#include "exponent_slots.h"

#include <algorithm>

ExponentSlots makeExponentSlots(int32_t period) {
  ExponentSlots slots;
  slots.period = period;
  slots.lists.assign(2 * static_cast<std::size_t>(period) + 1, std::vector<uint32_t>(kSlotListEntries, 0));
  return slots;
}

void clearSlots(ExponentSlots& slots) {
  for (std::size_t n = 1; n < slots.lists.size(); ++n) std::fill(slots.lists[n].begin(), slots.lists[n].end(), 0u);
}

uint32_t firstHit(uint32_t t, uint32_t p, int32_t base, int32_t c, int32_t limit) {
  const int64_t prime = p;
  int64_t x = 1;
  for (int32_t e = 1; e <= limit; ++e) {
    x = x * base % prime;
    if ((static_cast<int64_t>(t) * x + prime + c) % prime == 0) return static_cast<uint32_t>(e);
  }
  return 0;
}

void markHits(ExponentSlots& slots, uint32_t p, uint32_t e, uint32_t d) {
  if (e == 0) return;  // p divides no term of this k up to 2P
  const std::size_t last = 2 * static_cast<std::size_t>(slots.period);
  for (std::size_t m = e; m <= last; m += d) {
    std::vector<uint32_t>& list = slots.lists[m];
    auto empty = std::find(list.begin(), list.end(), 0u);
    if (empty != list.end()) {
      *empty = p;
    } else {
      list.push_back(p);  // a full list grows; its first entry stays the first prime tried
    }
  }
}

bool slotsCovered(const ExponentSlots& slots) {
  for (std::size_t n = 1; n < slots.lists.size(); ++n) {
    if (slots.lists[n][0] == 0) return false;
  }
  return true;
}
