// The line of a covered k from its first hits alone, with P-bit sets instead of slot
// lists: the same set, period and primes as the exponent-slot procedure gives.
//
// Prime j of the trial order covers the exponents n = e_j (mod d_j). The trial stops
// at the second prime or later, as soon as every exponent is covered; a prime stands
// first in some slot exactly when it covers an exponent that no earlier prime covers. Every
// pattern repeats with period P, so exponents 1..P stand for the slots 1..2P.
#pragma once

#include <cstdint>
#include <vector>

#include "cover_set.h"
#include "cover_sieve.h"

// The line for k; period 0 and no prime when k is not covered (skipped, or some
// exponent left open by every candidate).
CoverLine fastCoverLine(const SieveTables& tables, int64_t k);
