// Independent arithmetic for the search tests: a plain sieve of Eratosthenes,
// orders by fast exponentiation over the divisors of P, candidate tables built from
// those, and direct tests of p | k*b^n + c. None of it shares code with search/.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "cover_set.h"
#include "exponent_slots.h"
#include "table.h"

namespace helpers {

inline std::vector<uint32_t> sievePrimes(uint32_t limit) {  // primes < limit
  std::vector<bool> composite(limit, false);
  std::vector<uint32_t> primes;
  for (uint64_t i = 2; i < limit; ++i) {
    if (composite[i]) continue;
    primes.push_back(static_cast<uint32_t>(i));
    for (uint64_t j = i * i; j < limit; j += i) composite[j] = true;
  }
  return primes;
}

inline uint64_t powMod(uint64_t b, uint64_t e, uint64_t p) {
  unsigned __int128 result = 1 % p, square = b % p;
  for (; e != 0; e >>= 1) {
    if (e & 1) result = result * square % p;
    square = square * square % p;
  }
  return static_cast<uint64_t>(result);
}

// The order of b modulo p when it divides P (found among P's divisors), else 0.
inline uint32_t orderDividing(uint64_t b, uint32_t p, uint32_t P) {
  if (b % p == 0 || powMod(b, P, p) != 1) return 0;
  for (uint32_t d = 1; d <= P; ++d) {
    if (P % d == 0 && powMod(b, d, p) == 1) return d;
  }
  return 0;
}

inline std::vector<int32_t> distinctPrimeFactors(int64_t m) {
  std::vector<int32_t> factors;
  for (int64_t f = 2; f * f <= m; ++f) {
    if (m % f != 0) continue;
    factors.push_back(static_cast<int32_t>(f));
    while (m % f == 0) m /= f;
  }
  if (m > 1) factors.push_back(static_cast<int32_t>(m));
  return factors;
}

// The candidate table for base b, period P and factor bound M, built directly.
inline CandidateTable bruteTable(int32_t b, int32_t P, uint32_t M) {
  CandidateTable table;
  for (uint32_t p : sievePrimes(M)) {
    if (b % p == 0 || (b - 1) % p == 0) continue;
    if (uint32_t d = orderDividing(b, p, P); d != 0) table.factorPeriodList.push_back({p, d});
  }
  table.periodOrderedList = table.factorPeriodList;
  std::stable_sort(table.periodOrderedList.begin(), table.periodOrderedList.end(),
                   [](const FactorPeriod& x, const FactorPeriod& y) { return x.period < y.period; });
  table.baseMinusOneFactors = distinctPrimeFactors(b - 1);
  return table;
}

inline bool dividesTerm(uint32_t p, int64_t k, int64_t b, int64_t n, int c) {
  uint64_t term = (static_cast<unsigned __int128>(k % p) * powMod(b, n, p) + p + c) % p;
  return term == 0;
}

// The exponents in 1 .. 2P that none of `primes` covers for k.
inline std::vector<int32_t> uncoveredExponents(int64_t k, int32_t b, int32_t c, int32_t P,
                                               const std::vector<uint32_t>& primes) {
  std::vector<int32_t> open;
  for (int32_t n = 1; n <= 2 * P; ++n) {
    if (std::none_of(primes.begin(), primes.end(), [&](uint32_t p) { return dividesTerm(p, k, b, n, c); }))
      open.push_back(n);
  }
  return open;
}

inline std::vector<uint32_t> primesOf(const std::vector<FactorPeriod>& pairs) {
  std::vector<uint32_t> primes;
  for (const FactorPeriod& pair : pairs) primes.push_back(pair.factor);
  return primes;
}

inline SearchParams params(int32_t b, int32_t c, int32_t P, int32_t M = 1000000) {
  SearchParams p;
  p.base = b;
  p.c = c;
  p.period = P;
  p.maxFact = M;
  return p;
}

// The shrinking step read literally: each dropped prime is removed from each slot
// list by a scan from the front that stops at the first empty entry, and the
// shrunken set is refused only when some list is left with no nonzero entry.
inline CoverLine literalShrinkLine(int64_t k, ExponentSlots slots, const std::vector<FactorPeriod>& coverSet) {
  int lcm = 1;
  uint32_t widest = 0;
  for (const FactorPeriod& pair : coverSet) {
    widest = std::max(widest, pair.period);
    lcm = lcm_of_array({lcm, static_cast<int>(pair.period)});
  }
  CoverLine whole{k, static_cast<uint32_t>(lcm), primesOf(coverSet)};
  if (static_cast<uint32_t>(lcm) <= widest) return whole;
  CoverLine shrunk{k, widest, {}};
  for (const FactorPeriod& pair : coverSet) {
    if (widest % pair.period == 0) {
      shrunk.primes.push_back(pair.factor);
      continue;
    }
    for (std::size_t n = 1; n < slots.lists.size(); ++n) {
      for (uint32_t& entry : slots.lists[n]) {
        if (entry == 0) break;
        if (entry == pair.factor) {
          entry = 0;
          break;
        }
      }
    }
  }
  for (std::size_t n = 1; n < slots.lists.size(); ++n) {
    const std::vector<uint32_t>& list = slots.lists[n];
    if (std::all_of(list.begin(), list.end(), [](uint32_t e) { return e == 0; })) return whole;
  }
  return shrunk;
}

}  // namespace helpers
