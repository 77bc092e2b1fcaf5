// The table phase without a prime buffer and without a loop of up to P
// multiplications per prime.
//
// The order of b modulo p divides p - 1, so it divides P exactly when it divides
// g = gcd(P, p - 1), that is when b^g = 1 (mod p): one exponentiation of about
// log2(g) squarings. The exact order is then g with every prime factor q of g taken
// out while b^(g/q) = 1 still holds. The primes stream from the generator with one
// prime of look-ahead for the progress line, and b - 1 is factored by trial division
// up to its square root.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "table.h"

// The distinct prime factors of b-1, ascending (empty for b = 2).
std::vector<int32_t> factorBaseMinusOne(int32_t base);

// The multiplicative order of b modulo the prime p when it divides P, else 0 (also
// when p divides b or b-1): one prime through the table phase's own test.
uint32_t periodDividing(uint32_t p, uint32_t base, uint32_t period);

// The same table, progress and stop as buildFactorTable.
std::optional<CandidateTable> buildFactorTableFast(const SearchParams& params, pelund::Observer& observer,
                                                   const StopToken& stop, uint32_t* stoppedAt = nullptr);
