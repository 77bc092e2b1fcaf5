// The brute-force oracle of the algebraic tests: for small b, k and n = 1 .. 2P, every
// k*b^n computed exactly (GMP), its shapes y^m and 4y^4 found by exact integer roots
// (never from factorisations), the candidate primes tested by direct divisibility. A
// set of n where k*b^n has a shape is usable when it repeats with P and its factor is
// proper at its smallest n; k is proved when it is not skipped and every n is held by
// a usable set or divisible by a candidate.
#pragma once

#include <gmpxx.h>

#include <map>
#include <vector>

#include "algebraic.h"
#include "search_helpers.h"

namespace oracle {

using algebraic::Form;

struct Case {
  int32_t b, c, P;
  uint32_t maxFact;
  int64_t maxK;
};

struct PowerSet {
  Form form;
  uint32_t m;
  std::vector<bool> holds;  // [n], n = 1 .. 2P
  bool proper;              // at its smallest n
};

inline bool prime(uint32_t m) {
  for (uint32_t d = 2; d * d <= m; ++d)
    if (m % d == 0) return false;
  return m >= 2;
}

inline std::vector<PowerSet> usableSets(int64_t k, const Case& cs) {
  const int N = 2 * cs.P;
  std::map<std::pair<int, uint32_t>, PowerSet> sets;
  mpz_class term = int64_t(k), root, quarter;
  auto record = [&](Form form, uint32_t m, int n, unsigned long least) {
    auto at = sets.try_emplace({int(form), m}, PowerSet{form, m, std::vector<bool>(N + 1), root >= least}).first;
    at->second.holds[n] = true;
  };
  for (int n = 1; n <= N; ++n) {
    term *= cs.b;
    if (mpz_perfect_power_p(term.get_mpz_t()))
      for (uint32_t m = 2; m <= mpz_sizeinbase(term.get_mpz_t(), 2); ++m)
        if (prime(m) && (cs.c < 0 || m > 2) && mpz_root(root.get_mpz_t(), term.get_mpz_t(), m))
          record(cs.c < 0 ? Form::powerMinusOne : Form::powerPlusOne, m, n, cs.c < 0 ? 3 : 2);
    quarter = term / 4;
    if (cs.c > 0 && quarter * 4 == term && mpz_root(root.get_mpz_t(), quarter.get_mpz_t(), 4))
      record(Form::aurifeuillian, 4, n, 2);
  }
  std::vector<PowerSet> usable;
  for (auto& [shape, set] : sets) {
    bool repeats = true;
    for (int n = 1; n + cs.P <= N; ++n) repeats = repeats && set.holds[n] == set.holds[n + cs.P];
    if (repeats && set.proper) usable.push_back(set);
  }
  return usable;
}

inline bool skipped(int64_t k, const Case& cs) {
  bool skip = k % cs.b == 0;
  for (int32_t f : helpers::distinctPrimeFactors(cs.b - 1)) skip = skip || (k + cs.c) % f == 0;
  return skip;
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

inline bool proved(int64_t k, const Case& cs, const CandidateTable& table) {
  return !skipped(k, cs) && covered(k, cs, usableSets(k, cs), helpers::primesOf(table.factorPeriodList));
}

}  // namespace oracle
