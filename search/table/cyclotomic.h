// Candidate primes beyond the exhaustive table: the prime factors of the cyclotomic
// values Phi_d(b) for the divisors d of the period P.
//
// A prime p not dividing b has period d exactly when p divides Phi_d(b) and not d
// (a prime dividing both d and Phi_d(b) has a period below d), and every such p is
// 1 (mod d). So the primes of period d below any bound are the factors of Phi_d(b)
// below it: found by trial over the primes 1 + j*d (the test b^d = 1 (mod p) costs
// a few multiplications, whatever the size of Phi_d(b)), then by elliptic curves on
// what is left, within a time per d. Phi_d(b) has about phi(d) * log10(b) digits,
// thousands for large d: a complete factorisation is then rare, and `complete` says
// honestly whether a prime of period d can have been missed.
//
// The factoring uses FLINT where the build found it (PELUND_HAVE_FLINT); without it
// cyclotomicFactoringAvailable() is false and factorCyclotomics finds nothing. FLINT
// keeps no global state that the calls share: they may run on several threads at once.
// The elliptic curves are the same on every run (a fixed seed), but where the time
// for d runs out depends on the machine, and so may what is found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "table.h"
#include "wide_prime.h"

struct CyclotomicFactors {
  uint32_t d = 0;                       // a divisor of the period, 2 .. P
  std::vector<uint64_t> primes;         // the prime factors p < 2^64 of Phi_d(b) with period d, ascending
  std::vector<uint32_t> exponents;      // the power of each of them in Phi_d(b)
  std::vector<std::string> largePrimes; // prime factors >= 2^64 found (period d too), decimal, ascending
  uint64_t periodPrime = 0;             // the prime of d dividing Phi_d(b), or 0: not of period d
  uint32_t periodPrimeExponent = 0;     // its power in Phi_d(b): 1 for d > 2, any for Phi_2(b) = b + 1
  bool complete = false;                // Phi_d(b) factored completely: no prime of period d is missed
  uint32_t digits = 0;                  // decimal digits of Phi_d(b)
  uint32_t cofactorDigits = 0;          // decimal digits of the part left unfactored (0 when complete)
  uint64_t trialBound = 0;              // every prime factor below this was found by trial
};

// False when the library was built without a factoring library.
bool cyclotomicFactoringAvailable();

// For every divisor d >= 2 of `period` (ascending): the prime factors of Phi_d(b) found
// within about `effortSeconds` per d (a step on a value above 2000 digits is begun only
// when it is expected to end in time; below that one may run over), nullopt when
// `stop` asks. Period-1 primes divide b - 1 and are never candidates, so d = 1 is left
// out. Without a factoring library every entry is empty and incomplete.
std::optional<std::vector<CyclotomicFactors>> factorCyclotomics(int64_t base, uint32_t period, double effortSeconds,
                                                                const pelund::StopToken& stop);

// The lines for pelund.log, one per d: "Phi_11(32400) = 23 * 89 * ... * 1750914287,
// complete", or "Phi_12(999999937): 1000000000000000001 * ...; a cofactor of 85 digits
// is left".
std::string describeCyclotomicFactors(int64_t base, const std::vector<CyclotomicFactors>& factors);

// The candidate primes of a wide search, ascending: the exhaustive table's pairs
// (primes below min(maxfact, 10^9)) and the factored primes from that bound up to
// maxfact, each once, none dividing b or b - 1, every period dividing P.
std::vector<pelund::WidePrime> wideCandidatePrimes(int64_t base, uint32_t period, uint64_t maxFact,
                                                   const std::vector<FactorPeriod>& exhaustive,
                                                   const std::vector<CyclotomicFactors>& factored);
