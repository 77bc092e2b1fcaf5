// Extraction and shrinking of a covering set on bit sets (see fast_cover.h). The bit
// sets live in per-thread scratch memory, so a covered k costs no allocation beyond
// its line.
#include "fast_cover.h"

#include <algorithm>
#include <numeric>

namespace {

struct Member {
  uint32_t factor;
  uint32_t period;
  size_t bits;  // offset of its exponent set in Scratch::classes
};

struct Scratch {
  std::vector<uint32_t> hits;
  std::vector<uint64_t> covered, kept, classes;
  std::vector<Member> set;
};

// ORs `add` into `into`; true when `add` had a bit that `into` lacked.
bool unite(std::vector<uint64_t>& into, const uint64_t* add) {
  bool grew = false;
  for (size_t w = 0; w < into.size(); ++w) {
    grew |= (add[w] & ~into[w]) != 0;
    into[w] |= add[w];
  }
  return grew;
}

// The primes that stand first in some slot, with the exponents each covers, in
// ascending order of the prime.
void coverSet(const SieveTables& tables, Scratch& s) {
  const uint32_t period = static_cast<uint32_t>(tables.period);
  const size_t words = (period + 63) / 64;
  s.covered.assign(words, 0);
  s.classes.assign(words * tables.primes.size(), 0);
  s.set.clear();
  for (size_t j = 0; j < tables.primes.size(); ++j) {
    const SievePrime& sp = tables.primes[j];
    if (s.hits[j] != 0) {
      uint64_t* mine = &s.classes[j * words];
      markExponentClass(mine, s.hits[j], sp.d, period);
      if (unite(s.covered, mine)) s.set.push_back({sp.p, sp.d, j * words});
    }
    if (j >= 1 && coversEveryExponent(s.covered.data(), period)) break;
  }
  std::sort(s.set.begin(), s.set.end(), [](const Member& a, const Member& b) { return a.factor < b.factor; });
}

// Whether k is in a class that the search leaves out (b | k, or a prime factor of b-1
// dividing every term).
bool skipped(const SieveTables& tables, int64_t k) {
  for (const SievePrime& skip : tables.skips)
    if (uint64_t(k) % skip.p == skip.classResidue[0]) return true;
  return false;
}

}  // namespace

CoverLine fastCoverLine(const SieveTables& tables, int64_t k) {
  thread_local Scratch s;
  if (k < 1 || skipped(tables, k)) return CoverLine{k, 0, {}};
  firstHits(tables, k, s.hits);
  coverSet(tables, s);
  if (!coversEveryExponent(s.covered.data(), static_cast<uint32_t>(tables.period))) return CoverLine{k, 0, {}};

  uint32_t lcm = 1, largest = 0;
  for (const Member& member : s.set) {
    largest = std::max(largest, member.period);
    lcm = std::lcm(lcm, member.period);  // divides P, so at most 5040
  }
  CoverLine line{k, lcm, {}};
  line.primes.reserve(s.set.size());
  if (lcm > largest) {
    s.kept.assign(s.covered.size(), 0);
    for (const Member& member : s.set)
      if (largest % member.period == 0) unite(s.kept, &s.classes[member.bits]);
    if (coversEveryExponent(s.kept.data(), static_cast<uint32_t>(tables.period))) {
      line.period = largest;
      for (const Member& member : s.set)
        if (largest % member.period == 0) line.primes.push_back(member.factor);
      return line;
    }
  }
  for (const Member& member : s.set) line.primes.push_back(member.factor);
  return line;
}
