// Extraction and shrinking of a covering set on bit sets (see fast_cover.h).
#include "fast_cover.h"

#include <algorithm>

namespace {

using Bits = std::vector<uint64_t>;

Bits exponentClass(uint32_t e, uint32_t d, uint32_t period) {
  Bits bits((period + 63) / 64, 0);
  for (uint32_t n = e - 1; n < period; n += d) bits[n >> 6] |= uint64_t(1) << (n & 63);
  return bits;
}

bool isFull(const Bits& bits, uint32_t period) {
  for (uint32_t n = 0; n < period; ++n)
    if (!(bits[n >> 6] >> (n & 63) & 1)) return false;
  return true;
}

// ORs `add` into `into`; true when `add` had a bit that `into` lacked.
bool unite(Bits& into, const Bits& add) {
  bool grew = false;
  for (size_t w = 0; w < into.size(); ++w) {
    grew |= (add[w] & ~into[w]) != 0;
    into[w] |= add[w];
  }
  return grew;
}

struct Member {
  uint32_t factor;
  uint32_t period;
  Bits covered;
};

// The primes that stand first in some slot, with the exponents each covers.
std::vector<Member> coverSet(const SieveTables& tables, const std::vector<uint32_t>& hits) {
  uint32_t period = static_cast<uint32_t>(tables.period);
  Bits covered((period + 63) / 64, 0);
  std::vector<Member> set;
  for (size_t j = 0; j < tables.primes.size(); ++j) {
    const SievePrime& sp = tables.primes[j];
    if (hits[j] != 0) {
      Bits mine = exponentClass(hits[j], sp.d, period);
      if (unite(covered, mine)) set.push_back({sp.p, sp.d, std::move(mine)});
    }
    if (j >= 2 && isFull(covered, period)) break;
  }
  std::sort(set.begin(), set.end(), [](const Member& a, const Member& b) { return a.factor < b.factor; });
  return set;
}

}  // namespace

CoverLine fastCoverLine(const SieveTables& tables, int64_t k) {
  std::vector<uint32_t> hits;
  firstHits(tables, k, hits);
  std::vector<Member> set = coverSet(tables, hits);

  int lcm = 1;
  uint32_t largest = 0;
  for (const Member& member : set) {
    largest = std::max(largest, member.period);
    lcm = lcm_of_array({lcm, static_cast<int>(member.period)});
  }
  CoverLine line{k, static_cast<uint32_t>(lcm), {}};
  if (uint32_t(lcm) > largest) {
    Bits kept((tables.period + 63) / 64, 0);
    std::vector<uint32_t> keptPrimes;
    for (const Member& member : set) {
      if (largest % member.period != 0) continue;
      unite(kept, member.covered);
      keptPrimes.push_back(member.factor);
    }
    if (isFull(kept, static_cast<uint32_t>(tables.period))) {
      line.period = largest;
      line.primes = std::move(keptPrimes);
      return line;
    }
  }
  for (const Member& member : set) line.primes.push_back(member.factor);
  return line;
}
