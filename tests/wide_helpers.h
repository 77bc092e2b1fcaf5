// Shared pieces of the wide search's tests: a sink that joins the parts, the 64-bit
// table as wide candidates, and a straightforward oracle of the covered k and their
// lines that tests every exponent 1..P of one k by its residue modulo each prime.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include <pelund/pelund.hpp>

#include "mulmod64.h"
#include "wide_search.h"

namespace wide_helpers {

using pelund::U256;
using pelund::WidePrime;

struct Joined : pelund::wide::WideSink {
  std::string text;
  std::vector<U256> ks;
  U256 from, to;
  bool any = false, gap = false, ascending = true;
  size_t parts = 0;
  void partDone(const pelund::wide::WidePart& part) override {
    ++parts;
    if (any) gap = gap || part.from != to + 1;
    else from = part.from;
    any = true;
    to = part.to;
    for (const U256& k : part.ks) ascending = ascending && (ks.empty() || ks.back() < k) && k >= part.from && k <= part.to;
    text += part.text;
    ks.insert(ks.end(), part.ks.begin(), part.ks.end());
  }
};

inline std::vector<WidePrime> widePrimes(const pelund::CandidateTable& table) {
  std::vector<WidePrime> primes;
  for (const pelund::FactorPeriod& pair : table.factorPeriodList) primes.push_back({pair.factor, pair.period});
  return primes;
}

inline pelund::wide::WideParams wideParams(int64_t base, int32_t c, uint32_t period, int threads = 2) {
  pelund::wide::WideParams params;
  params.base = base, params.c = c, params.period = period, params.minK = 1, params.maxK = U256::max();
  params.threads = threads;
  return params;
}

// The line of k by the exponent slots read literally: primes tried in ascending period
// (then prime), each marking the n of 1..P whose term k*b^n + c it divides (tested one
// by one); the trial ends from the second prime on once every n is marked. The set is
// the primes first at some n, its period the lcm of theirs, or the largest period when
// the primes of its divisors mark every n. Empty for a k left out (b | k, or a prime
// factor f of b-1 with f | k + c) or not covered.
inline std::string oracleLine(const U256& k, int64_t base, int32_t c, uint32_t P, std::vector<WidePrime> primes) {
  const uint64_t b = uint64_t(base);
  if (k.mod(b) == 0) return {};
  uint64_t rest = b - 1;
  for (uint64_t f = 2; f <= rest; ++f) {
    if (rest % f != 0) continue;
    while (rest % f == 0) rest /= f;
    const uint64_t km = k.mod(f);
    if ((c == 1 ? (km + 1) % f : (km + f - 1) % f) == 0) return {};  // f | k + c
  }
  std::stable_sort(primes.begin(), primes.end(), [](const WidePrime& x, const WidePrime& y) {
    return x.period != y.period ? x.period < y.period : x.prime < y.prime;
  });
  std::vector<uint64_t> first(P + 1, 0);
  std::vector<std::vector<uint64_t>> marks(P + 1);
  size_t marked = 0;
  for (size_t j = 0; j < primes.size(); ++j) {
    const uint64_t p = primes[j].prime, t = k.mod(p);
    for (uint32_t n = 1; n <= P; ++n) {
      const uint64_t term = (pelund::mulmod64(t, pelund::powmod64(b, n, p), p) + (c == 1 ? 1 : p - 1)) % p;
      if (term != 0) continue;
      marks[n].push_back(p);
      if (first[n] == 0) first[n] = p, ++marked;
    }
    if (j >= 1 && marked == P) break;
  }
  if (marked < P) return {};
  std::vector<WidePrime> set;
  for (const WidePrime& prime : primes)
    if (std::find(first.begin() + 1, first.end(), prime.prime) != first.end()) set.push_back(prime);
  std::sort(set.begin(), set.end(), [](const WidePrime& x, const WidePrime& y) { return x.prime < y.prime; });
  uint32_t lcm = 1, largest = 0;
  for (const WidePrime& prime : set) lcm = std::lcm(lcm, prime.period), largest = std::max(largest, prime.period);
  std::vector<uint64_t> listed;
  uint32_t period = lcm;
  bool shrunk = false;
  if (lcm > largest) {
    shrunk = true;
    for (uint32_t n = 1; n <= P && shrunk; ++n)
      shrunk = std::any_of(marks[n].begin(), marks[n].end(), [&](uint64_t p) {
        return std::any_of(set.begin(), set.end(), [&](const WidePrime& s) { return s.prime == p && largest % s.period == 0; });
      });
  }
  if (shrunk) period = largest;
  for (const WidePrime& prime : set)
    if (!shrunk || largest % prime.period == 0) listed.push_back(prime.prime);
  std::string line = k.toString() + "  " + std::to_string(period) + "  [";
  for (size_t i = 0; i < listed.size(); ++i) line += (i > 0 ? ", " : "") + std::to_string(listed[i]);
  return line + "]\n";
}

}  // namespace wide_helpers

namespace wide_helpers {

// The distinct prime factors of n < 2^64, ascending: trial division by small primes,
// then Pollard's rho (Brent's cycle) on what is left.
inline uint64_t rhoFactor(uint64_t n) {
  for (uint64_t seed = 1;; ++seed) {
    uint64_t x = seed + 1, y = x, d = 1;
    auto f = [&](uint64_t v) { return (pelund::mulmod64(v, v, n) + seed) % n; };
    while (d == 1) {
      x = f(x), y = f(f(y));
      d = std::gcd(x > y ? x - y : y - x, n);
    }
    if (d != n) return d;
  }
}
inline void factorInto(uint64_t n, std::vector<uint64_t>& out) {
  if (n == 1) return;
  if (pelund::isPrime64(n)) return out.push_back(n);
  const uint64_t d = rhoFactor(n);
  factorInto(d, out), factorInto(n / d, out);
}
inline std::vector<uint64_t> distinctFactors(uint64_t n) {
  std::vector<uint64_t> out;
  for (uint64_t f = 2; f < 1000 && f * f <= n; ++f)
    while (n % f == 0) out.push_back(f), n /= f;
  factorInto(n, out);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace wide_helpers
