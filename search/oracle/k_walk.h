// One step of the k walk: the skip tests and the exponent coverage of a single k.
//
// A k = b*k' gives the terms of k' shifted by one exponent, so it brings nothing new,
// and a prime factor f of b-1 with f | k + c divides every term, since b = 1 (mod f);
// neither kind of k is searched. For every other k the candidate
// primes are tried in order of ascending period, marking the exponents they cover,
// until every exponent 1 .. 2P is covered or the primes run out.
#pragma once

#include <cstdint>
#include <optional>

#include "cover_set.h"
#include "exponent_slots.h"
#include "table.h"

// True when k is passed over without a search: b | k, or some prime factor of b-1
// divides k + c.
bool isSkipped(int64_t k, const SearchParams& params, const CandidateTable& table);

// Clears the slots and marks them with the pairs of periodOrderedList in turn,
// testing coverage from the second pair on (a cover needs two primes at least). True when k is covered; the slots then
// hold the marks of the pairs tried up to that moment.
bool coverExponents(int64_t k, const SearchParams& params, const CandidateTable& table, ExponentSlots& slots);

// The line for k, or nullopt when k is skipped or not covered. Pure apart from the
// slots it works in, which must have been made for params.period.
std::optional<CoverLine> searchOneK(int64_t k, const SearchParams& params, const CandidateTable& table,
                                    ExponentSlots& slots);
