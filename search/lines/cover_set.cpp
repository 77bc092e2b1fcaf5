// Extraction, shrinking and text of a covering set. L is the lcm of the set's
// periods, built pairwise with lcm_of_array; W the largest period. Dropping the
// primes whose period does not divide W is accepted only when the remaining primes
// themselves appear in every slot 1 .. 2P: a slot lists exactly the tried primes
// dividing k*b^n + c, so that test proves the shorter set covers every n, and since
// all kept periods divide W it covers every n >= 1.
#include "cover_set.h"

#include <algorithm>

#include "decimal.h"

int gcd(int u, int v) {
  while (v != 0) {
    int r = u % v;
    u = v;
    v = r;
  }
  return u;
}

int lcm_of_array(std::vector<int> v) {
  if (v[1] == 0) return 0;
  return v[1] * v[0] / gcd(v[0], v[1]);
}

std::vector<FactorPeriod> extractCoverSet(const ExponentSlots& slots, const std::vector<FactorPeriod>& factorPeriodList) {
  std::vector<uint32_t> firsts;
  for (std::size_t n = 1; n < slots.lists.size(); ++n) firsts.push_back(slots.lists[n][0]);
  std::sort(firsts.begin(), firsts.end());
  std::vector<FactorPeriod> coverSet;
  for (const FactorPeriod& pair : factorPeriodList) {
    if (std::binary_search(firsts.begin(), firsts.end(), pair.factor)) coverSet.push_back(pair);
  }
  return coverSet;
}

bool keptPrimesCover(const ExponentSlots& slots, const std::vector<uint32_t>& kept) {
  for (std::size_t n = 1; n < slots.lists.size(); ++n) {
    const std::vector<uint32_t>& list = slots.lists[n];
    bool held = std::any_of(list.begin(), list.end(), [&](uint32_t p) {
      return p != 0 && std::binary_search(kept.begin(), kept.end(), p);
    });
    if (!held) return false;
  }
  return true;
}

CoverLine makeCoverLine(int64_t k, const std::vector<FactorPeriod>& coverSet, const ExponentSlots& slots) {
  int lcm = 1;
  uint32_t widest = 0;
  CoverLine whole{k, 0, {}};
  for (const FactorPeriod& pair : coverSet) {
    widest = std::max(widest, pair.period);
    lcm = lcm_of_array({lcm, static_cast<int>(pair.period)});
    whole.primes.push_back(pair.factor);
  }
  whole.period = static_cast<uint32_t>(lcm);
  if (static_cast<uint32_t>(lcm) <= widest) return whole;

  CoverLine shrunk{k, widest, {}};
  for (const FactorPeriod& pair : coverSet) {
    if (widest % pair.period == 0) shrunk.primes.push_back(pair.factor);
  }
  return keptPrimesCover(slots, shrunk.primes) ? shrunk : whole;
}

CoverLine coverLineFor(int64_t k, const ExponentSlots& slots, const std::vector<FactorPeriod>& factorPeriodList) {
  return makeCoverLine(k, extractCoverSet(slots, factorPeriodList), slots);
}

std::string formatCoverLine(const CoverLine& line) {
  std::string text;
  appendDecimal(text, line.k);
  text += "  ";
  appendDecimal(text, line.period);
  text += "  [";
  for (std::size_t i = 0; i < line.primes.size(); ++i) {
    if (i > 0) text += ", ";
    appendDecimal(text, line.primes[i]);
  }
  text += "]\n";
  return text;
}
