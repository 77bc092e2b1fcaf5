// The candidate tables of many bases at once, for one period P and bound maxfact.
//
// The order of b modulo a prime p divides P exactly when b^g = 1 (mod p) for
// g = gcd(P, p - 1), since the order divides p - 1. The residues with b^g = 1 are the
// g-th roots of unity, the powers z^i (0 <= i < g) of one element z of order g, and
// z^i has order g / gcd(i, g). So one pass over the primes below maxfact, each with
// its g roots, gives every base its candidates with their periods: the bases that
// are congruent to a root other than 1 (z^0 = 1 means p | b - 1; 0 is no root, so p | b
// never qualifies), in ascending p. Per prime that costs a few exponentiations to find
// z and g multiplications, shared by all bases, instead of one test per base.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "table.h"

// The tables of the given bases (ascending, distinct, 2 .. 10^9), in their order, each
// as candidates() builds it for that base; nullopt when stopped.
std::optional<std::vector<CandidateTable>> jointCandidateTables(const std::vector<int32_t>& bases, int32_t period,
                                                                int32_t maxFact, const StopToken& stop);
