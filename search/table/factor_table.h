// The table phase of the search: the candidate primes below the factor bound M with
// their periods, and the prime factors of b-1.
//
// A prime p qualifies when it divides neither b nor b-1 and the multiplicative order
// of b modulo p (its period) divides P. Primes dividing b can never divide
// k*b^n + c for a k that is searched, and those dividing b-1 have period 1 and are
// handled by skipping k instead.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
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

// Shows the largest multiple of F not above q when the step from the examined prime p
// to the next prime q reaches a multiple of F that is not above M.
void showLoadingProgress(uint32_t p, uint32_t q, uint32_t maxFact, uint32_t facDisp);

// "factor and period list:", one "factor  period" line per pair, an empty line.
std::string factorListText(const std::vector<FactorPeriod>& factorPeriodList);
void writeFactorList(std::FILE* searchLog, const std::vector<FactorPeriod>& factorPeriodList);

// Builds the candidate table for params (base, period, maxFact, facDisp), writing the
// list to searchLog (may be null) when it is not empty. Shows "Loading at factor"
// progress lines when facDisp > 0 and polls the interrupt flag once per examined
// prime; returns nullopt when it ended at that poll. periodOrderedList is filled
// only when there are at least two pairs. Allocation failure of the prime buffer
// ends the run through error().
std::optional<CandidateTable> buildFactorTable(const SearchParams& params, std::FILE* searchLog);
