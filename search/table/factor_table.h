// The table phase of the search: the candidate primes below the factor bound M with
// their periods, and the prime factors of b-1.
//
// A prime p qualifies when it divides neither b nor b-1 and the multiplicative order
// of b modulo p (its period) divides P. Primes dividing b can never divide
// k*b^n + c for a k that is searched, and those dividing b-1 have period 1 and are
// handled by skipping k instead.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "table.h"

struct primegen;

// Entries of the prime buffer for bound M: M / ln M with a 15% margin plus 10.
uint32_t primeBufferCapacity(int32_t maxFact);

// Every prime up to M, then the first prime above M, from a fresh generator pass.
std::vector<uint32_t> bufferPrimes(uint32_t maxFact, primegen* generator);

// The distinct prime factors of b-1, ascending, by trial division with successive
// primes from a fresh generator pass (empty for b = 2).
std::vector<int32_t> primeFactorsOfBaseMinusOne(int32_t base, primegen* generator);

// The least e in 1 .. P with b^e = 1 (mod p), or 0 when there is none.
uint32_t periodOf(uint32_t p, int32_t base, int32_t period);

// The pairs ordered by period 2 .. P, each period's pairs in their given order.
std::vector<FactorPeriod> regroupByPeriod(const std::vector<FactorPeriod>& factorPeriodList, int32_t period);

// Throws Error for a period above kTablePeriodLimit.
void checkTablePeriod(int32_t period);

// The multiple of `step` to report when the examined prime goes from p to the next
// prime q: the largest multiple not above q, when the step reaches one that is not
// above M; 0 when there is none (or the step is 0).
uint32_t loadingMultiple(uint32_t p, uint32_t q, uint32_t maxFact, uint32_t step);

// Builds the candidate table for params (base, period, maxFact), reporting every
// loadingStep() multiple to the observer and polling `stop` once per examined prime;
// returns nullopt when it stopped, with the prime in `stoppedAt`. A prime buffer that
// cannot be allocated is an Error.
std::optional<CandidateTable> buildFactorTable(const SearchParams& params, pelund::Observer& observer,
                                               const StopToken& stop, uint32_t* stoppedAt = nullptr);
// The same without progress, never stopped.
CandidateTable buildFactorTable(const SearchParams& params);
