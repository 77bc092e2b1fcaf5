// Candidate primes of a covering-set search and the parameters of one search.
//
// A candidate is a prime p < maxfact that divides neither b nor b-1 and whose
// period (the multiplicative order of b modulo p) divides the configured period P.
// For such a p the terms k*b^n + c that p divides have n in a single residue class
// modulo the period, so every covering pattern repeats with period P.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct FactorPeriod {
  uint32_t factor;
  uint32_t period;
};

// The table handed from the table phase to the k walk.
struct CandidateTable {
  std::vector<FactorPeriod> factorPeriodList;   // ascending factor
  std::vector<FactorPeriod> periodOrderedList;  // ascending period, ties by ascending factor
  std::vector<int32_t> baseMinusOneFactors;     // distinct prime factors of b-1, ascending
};

// Which exact engine walks the k range: chosen per part from estimated costs, or one
// of the two throughout.
enum class Engine : int32_t { automatic = 0, sieve = 1, residue = 2 };

// Parameters of one search, taken from the configuration by findPelund.
struct SearchParams {
  int32_t base = 0;
  int32_t c = 0;
  int32_t period = 144;
  int32_t maxFact = 1000000;
  int32_t facDisp = 0;
  int64_t minK = 1;
  int64_t maxK = 1;
  int64_t kDisp = 0;
  int32_t threads = 0;  // 0: all hardware threads
  Engine engine = Engine::automatic;
  bool algebraic = false;  // also prove k by algebraic factors (search/algebraic/)
};
