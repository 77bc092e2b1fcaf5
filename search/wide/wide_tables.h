// The read-only tables of a wide search (wide_search.h): per candidate prime, in the
// trial order of the lines (ascending period, then prime), its residue t_e at each
// exponent class e and the lookup of e by residue; the skipped classes of k; the
// primes' inverses modulo each other for the tree. Arithmetic modulo a prime below
// 2^64 is inline here: 64-bit products for primes below 2^32, 128-bit above.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "cover_sieve.h"
#include "mulmod64.h"
#include "wide_search.h"

namespace pelund::wide {

using u128 = unsigned __int128;

// The inverse of a modulo m (gcd(a, m) = 1, 0 < a < m), by the extended Euclidean
// algorithm on the coefficients modulo m.
inline uint64_t inverseMod64(uint64_t a, uint64_t m) {
  uint64_t r0 = m, r1 = a, t0 = 0, t1 = 1;  // t kept modulo m
  while (r1 != 0) {
    const uint64_t q = r0 / r1, r2 = r0 - q * r1;
    const uint64_t t2 = (t0 + m - mulmod64(q % m, t1, m)) % m;
    r0 = r1, r1 = r2, t0 = t1, t1 = t2;
  }
  return t0;
}

struct WidePrimeTable {
  uint64_t p = 0;
  uint32_t d = 0;
  bool small = false;                    // p < 2^32
  uint64_t mu = 0;                       // floor((2^64 - 1) / p), for Barrett's remainders of small primes
  std::vector<uint64_t> residue;         // [e-1]: t_e, the k mod p whose first hit is e
  std::vector<uint64_t> sortedResidue;   // residue sorted, for the lookup of e
  std::vector<uint32_t> sortedClass;     // e of each sortedResidue entry

  // x mod p for any 64-bit x: for a prime below 2^32 by Barrett's method (the product
  // with mu gives the quotient or up to two less), without a division.
  uint64_t reduce(uint64_t x) const {
    if (!small) return x < p ? x : x % p;
    uint64_t r = x - uint64_t((u128(x) * mu) >> 64) * p;
    if (r >= p) r -= p;
    return r >= p ? r - p : r;
  }
  uint64_t mul(uint64_t a, uint64_t b) const { return small ? reduce(a * b) : uint64_t(u128(a) * b % p); }
  uint64_t add(uint64_t a, uint64_t b) const {
    const uint64_t s = a + b;
    return s < a || s >= p ? s - p : s;
  }
  uint64_t sub(uint64_t a, uint64_t b) const { return a >= b ? a - b : a + (p - b); }
  // First hit e (1..d) of a k whose residue is t, or 0 when p covers nothing for it.
  uint32_t classOf(uint64_t t) const {
    const auto at = std::lower_bound(sortedResidue.begin(), sortedResidue.end(), t);
    return at == sortedResidue.end() || *at != t ? 0 : sortedClass[size_t(at - sortedResidue.begin())];
  }
};

struct WideSkip {
  uint64_t q = 0, r = 0;  // k = r (mod q) is left out
};

struct WideTables {
  WideParams params;
  uint32_t period = 0, words = 0, m = 0;
  std::vector<WidePrimeTable> primes;  // trial order
  std::vector<WideSkip> skips;
  std::vector<uint32_t> classStart;    // per prime, its first exponent class among all primes' d_j
  uint32_t slots = 0;
  std::vector<uint64_t> pairInverse;   // [i * m + j]: 1 / p_i mod p_j (empty for many primes)
  std::vector<uint64_t> pairMod;       // [i * m + j]: p_i mod p_j
  std::vector<uint32_t> periods;       // the distinct periods
  std::vector<uint32_t> periodIndex;   // per prime
  std::vector<uint64_t> weight;        // 2^44/p per prime: 1/p in exact sums
  // Within the 64-bit engines' own bounds (primes up to 1e9, P up to 5040, b below
  // 2^31): their tables of these classes, for k = 0 + t; shifted to a part's origin,
  // the block sieve and the 64-bit tree search a part of up to 1e18 k anywhere.
  std::optional<SieveTables> narrow;

  uint64_t inverse(uint32_t i, uint32_t j) const {
    return pairInverse.empty() ? inverseMod64(primes[i].p % primes[j].p, primes[j].p) : pairInverse[size_t(i) * m + j];
  }
  uint64_t modOf(uint32_t i, uint32_t j) const {
    return pairMod.empty() ? primes[i].p % primes[j].p : pairMod[size_t(i) * m + j];
  }
  bool skipped(const U256& k) const {
    for (const WideSkip& skip : skips)
      if (k.mod(skip.q) == skip.r) return true;
    return false;
  }
};

// Exponent sets of 1..P as bits 0..P-1.
inline void markClass(uint64_t* bits, uint32_t e, uint32_t d, uint32_t period) {
  for (uint32_t n = e - 1; n < period; n += d) bits[n >> 6] |= uint64_t(1) << (n & 63);
}
inline bool coversAll(const uint64_t* bits, uint32_t period) {
  for (uint32_t w = 0; w < period / 64; ++w)
    if (bits[w] != ~uint64_t(0)) return false;
  return period % 64 == 0 || bits[period / 64] == (uint64_t(1) << (period % 64)) - 1;
}

// The covered k of [from, to] (from <= to) on `threads` threads, appended to `covered`
// ascending and each once (wide_tree.cpp); `tooMany` when more than `most` were found
// (some may be found twice), `covered` then incomplete, as when stopped.
enum class TreeResult { done, stopped, tooMany };
TreeResult wideTreeSearch(const WideTables& tables, const U256& from, const U256& to, int threads,
                          std::vector<U256>& covered, const StopToken& stop, size_t most = SIZE_MAX);
// The part [progress.from, progress.to] subtree by subtree, from progress.done on, in
// the list made for progress.wanted subtrees: `told` hears how far it has come about
// every quarter of a second, on the calling thread, and once more when a stop ends it;
// when done, progress.covered holds every covered k of the part. `tooMany` as above.
TreeResult wideTreeInSubtrees(const WideTables& tables, WideTreeProgress& progress, int threads, const StopToken& stop,
                              size_t most, const std::function<void(const WideTreeProgress&)>& told);

}  // namespace pelund::wide
