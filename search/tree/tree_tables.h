// The tables of the residue tree for one range, built once and shared by every thread
// that walks it (see residue_tree.h for the mathematics): per prime its modulus and
// period, the x that it covers at each exponent, the inverses of the primes modulo
// each other, and the classes of exponents of each period for the counting bound.
// The arithmetic done at every node (a remainder by Barrett's method, an inverse where
// the primes are too many to table their pairs, the count of a class) is defined here
// inline, so that the walk's hot loops inline it wherever they are compiled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cover_sieve.h"

namespace tree {

using u128 = unsigned __int128;

constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kBranchChoices = 5040; // open exponents weighed for the branch: all of them

// The inverse of a modulo the prime p (0 < a < p), by the extended Euclidean algorithm.
inline uint32_t inverseMod(uint32_t a, uint32_t p) {
  int64_t t = 0, nextT = 1;
  uint32_t r = p, nextR = a;
  while (nextR != 0) {
    uint32_t q = r / nextR;
    int64_t t2 = t - int64_t(q) * nextT;
    t = nextT, nextT = t2;
    uint32_t r2 = r - q * nextR;
    r = nextR, nextR = r2;
  }
  return uint32_t(t < 0 ? t + p : t);
}

// Remainders modulo one prime p < 2^32 of numbers below 2^62 (products of two residues
// plus a residue) by Barrett's method: a product with floor((2^64 - 1) / p) gives the
// quotient or one less, so one subtraction finishes it, without a division.
struct Reducer {
  uint32_t p = 0;
  uint64_t mu = 0;
  explicit Reducer(uint32_t prime) : p(prime), mu(UINT64_MAX / prime) {}
  uint32_t operator()(uint64_t x) const {
    const uint64_t r = x - uint64_t((u128(x) * mu) >> 64) * p;
    return uint32_t(r >= p ? r - p : r);
  }
};

struct Knobs {
  bool bound = true;
  uint64_t listBelow = 0;  // 0: the default for the count of primes
  uint32_t choices = kBranchChoices;
  bool plainBranch = false;  // the branch weighed by summing every free prime, for the tests
  bool liftOrder = true;     // children of primes that cover every lift of an exponent first (childOrder)
  bool liftSieve = true;     // a sieved class sieved first at the lifts of its path's exponents
  bool quickBound = true;    // the counting bound passes most nodes by the classes' averages, uncounted
  bool liftTrim = true;      // a lift sieved over the primes not known to be excluded there (markHits)
};

// The tables of the tree for one range: per prime its modulus and period, the x that
// it covers at each exponent, the inverses of the primes modulo each other, and the
// classes of exponents of each period for the counting bound. Exponents count from 0.
struct TreeTables {
  TreeTables(const SieveTables& tables, int64_t from, int64_t to, const Knobs& knobs = {});
  uint32_t inverse(uint32_t i, uint32_t j) const {
    return pairInverse.empty() ? inverseMod(p[i] % p[j], p[j]) : pairInverse[size_t(i) * m + j];
  }
  const SieveTables& sieve;
  const Knobs knobs;
  const uint32_t period, words, m;
  const int64_t from;
  const uint64_t width;  // k in the range
  uint32_t pMax = 0;
  size_t levels = 0;  // nodes on the longest path
  std::vector<uint32_t> p, d;
  std::vector<uint64_t> weight;       // 2^44/p per prime, rounded: 1/p in sums that are exact
  std::vector<Reducer> mod;           // per prime
  std::vector<uint32_t> residueAt;    // [n * m + j]: (k - from) mod p_j for the k that p_j covers at exponent n
  std::vector<uint16_t> classAt;      // [n * m + j]: n mod d_j
  uint32_t slotOf(uint32_t n, uint32_t j) const { return classStart[j] + classAt[size_t(n) * m + j]; }
  std::vector<uint32_t> classStart;   // per prime: the place of its first exponent class, d_j places each
  std::vector<uint32_t> pairInverse;  // [i * m + j]: 1 / p_i mod p_j
  std::vector<uint32_t> order;        // exponents 0..P-1, hardest first
  std::vector<uint32_t> placeOf;      // per exponent, its place in `order`
  std::vector<uint64_t> smallPattern; // per prime below 64, its multiples below 64 as bits (0 for others)
  std::vector<uint32_t> share;        // per prime, P/d: the exponents of one of its classes
  std::vector<uint32_t> childOrder;   // the primes in the order in which a node tries its children
  std::vector<uint32_t> rank;         // per prime, its place in childOrder
  std::vector<uint32_t> liftPrimes;   // the primes q dividing the period, ascending
  std::vector<uint32_t> liftSteps;    // per q, P/q: the lifts of n mod P/q are n + i*P/q
  std::vector<uint32_t> highFor;      // per prime, bit i set when q_i's full power divides its period
  std::vector<std::vector<uint32_t>> highOrder;  // per q, the primes high for it, in childOrder
  std::vector<uint32_t> periods;      // the distinct periods
  std::vector<uint32_t> periodIndex;  // per prime, its period's place in `periods`
  std::vector<uint64_t> classMasks;   // periods up to 64: the exponents of each class, `words` words each
  std::vector<uint32_t> maskStart;    // per period, its first mask in classMasks (kNone above 64)

  // Adds to `bits` the exponents of the class of n modulo prime j's period: by the
  // class's mask, a word at a time, where the period is at most 64 (a class of P/d
  // exponents could take thousands of single bits); else bit by bit, P/d < P/64 of them.
  void markClass(uint64_t* bits, uint32_t n, uint32_t j) const {
    const uint32_t start = maskStart[periodIndex[j]];
    if (start == kNone) return markExponentClass(bits, n % d[j] + 1, d[j], period);
    const uint64_t* mask = &classMasks[start + size_t(n % d[j]) * words];
    for (uint32_t w = 0; w < words; ++w) bits[w] |= mask[w];
  }
};

// The least x >= 0 of the class s mod M and the count of x below the width.
inline uint64_t countOf(u128 s, u128 M, uint64_t width) {
  if (s >= width) return 0;
  const uint64_t rest = width - 1 - uint64_t(s);
  return M > rest ? 1 : rest / uint64_t(M) + 1;
}

}  // namespace tree
