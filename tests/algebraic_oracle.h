// The brute-force oracle of the algebraic tests: for small b, k and n = 1 .. 2P, every
// k*b^n computed exactly with GMP, its shapes y^m and 4y^4 found by exact integer
// roots (never from factorisations), the candidate primes tested by direct
// divisibility. A set of n where k*b^n has a shape is usable when it repeats with P
// and its factor is proper at its smallest n; k is proved when it is not skipped and
// every n is held by a usable set or divisible by a candidate.
#pragma once

#include <gmp.h>

#include <map>
#include <string>
#include <vector>

#include "algebraic.h"
#include "search_helpers.h"
#include "table.h"

namespace oracle {

using algebraic::Form;

struct Mpz {
  mpz_t v;
  Mpz() { mpz_init(v); }
  ~Mpz() { mpz_clear(v); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
};

struct Case {
  int32_t b, c, P;
  uint32_t maxFact;
  int64_t maxK;
};

// The n in 1 .. 2P where k*b^n has one shape, and the y of each such n.
struct PowerSet {
  Form form;
  uint32_t m;
  std::vector<bool> holds;
  std::vector<uint64_t> y;  // capped at 2^32
};

inline bool isSmallPrime(uint32_t m) {
  for (uint32_t d = 2; d * d <= m; ++d)
    if (m % d == 0) return false;
  return m >= 2;
}

// Records n in the set of (form, m) with root `root`.
inline void record(std::map<std::pair<int, uint32_t>, PowerSet>& sets, Form form, uint32_t m, uint32_t n, int N,
            const mpz_t root) {
  PowerSet& set = sets[{int(form), m}];
  if (set.holds.empty()) set = {form, m, std::vector<bool>(N + 1), std::vector<uint64_t>(N + 1)};
  set.holds[n] = true;
  set.y[n] = mpz_cmp_ui(root, 1ul << 32) > 0 ? 1ul << 32 : mpz_get_ui(root);
}

inline std::vector<PowerSet> powerSets(int64_t k, const Case& cs) {
  const int N = 2 * cs.P;
  std::map<std::pair<int, uint32_t>, PowerSet> sets;
  Mpz term, root, quarter;
  mpz_set_ui(term.v, uint64_t(k));
  for (int n = 1; n <= N; ++n) {
    mpz_mul_ui(term.v, term.v, uint32_t(cs.b));
    if (mpz_perfect_power_p(term.v)) {
      for (uint32_t m = 2; m <= mpz_sizeinbase(term.v, 2); ++m) {
        if (!isSmallPrime(m) || (cs.c == 1 && m == 2)) continue;
        if (mpz_root(root.v, term.v, m)) record(sets, cs.c == 1 ? Form::powerPlusOne : Form::powerMinusOne, m, n, N, root.v);
      }
    }
    if (cs.c == 1 && mpz_divisible_ui_p(term.v, 4)) {
      mpz_divexact_ui(quarter.v, term.v, 4);
      if (mpz_root(root.v, quarter.v, 4)) record(sets, Form::aurifeuillian, 4, n, N, root.v);
    }
  }
  std::vector<PowerSet> out;
  for (auto& [key, set] : sets) out.push_back(std::move(set));
  return out;
}

// A set repeats with P, and its factor is proper at its smallest n.
inline bool usable(const PowerSet& set, int P) {
  for (int n = 1; n + P < int(set.holds.size()); ++n)
    if (set.holds[n] != set.holds[n + P]) return false;
  for (size_t n = 1; n < set.holds.size(); ++n)
    if (set.holds[n]) return set.y[n] >= (set.form == Form::powerMinusOne ? 3u : 2u);
  return false;
}

inline std::vector<PowerSet> usableSets(int64_t k, const Case& cs) {
  std::vector<PowerSet> sets;
  for (PowerSet& set : powerSets(k, cs))
    if (usable(set, cs.P)) sets.push_back(std::move(set));
  return sets;
}

inline bool skippedByOracle(int64_t k, const Case& cs) {
  if (k % cs.b == 0) return true;
  for (int32_t f : helpers::distinctPrimeFactors(cs.b - 1))
    if ((k + cs.c) % f == 0) return true;
  return false;
}

// Whether every n of 1 .. 2P is held by one of `sets` or divisible by one of `primes`.
inline bool covered(int64_t k, const Case& cs, const std::vector<PowerSet>& sets, const std::vector<uint32_t>& primes) {
  for (int n = 1; n <= 2 * cs.P; ++n) {
    bool held = false;
    for (const PowerSet& set : sets) held = held || set.holds[n];
    for (uint32_t p : primes) held = held || helpers::dividesTerm(p, k, cs.b, n, cs.c);
    if (!held) return false;
  }
  return true;
}

inline std::vector<uint32_t> primesOf(const CandidateTable& table) {
  std::vector<uint32_t> primes;
  for (const FactorPeriod& fp : table.factorPeriodList) primes.push_back(fp.factor);
  return primes;
}

// Whether the oracle proves k with the candidates of `table`.
inline bool proved(int64_t k, const Case& cs, const CandidateTable& table) {
  return !skippedByOracle(k, cs) && covered(k, cs, usableSets(k, cs), primesOf(table));
}

}  // namespace oracle
