// The covering set of a covered k and its line in covering.txt.
//
// The set is every candidate prime that stands first in some exponent slot. Its
// primes' periods all divide the configured period P, so the pattern of hits repeats
// with the lcm L of those periods. When some periods do not divide the largest one,
// W, the primes whose periods divide W may already cover every exponent on their
// own; then the shorter set with period W is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exponent_slots.h"
#include "table.h"

// Euclid on signed 32-bit ints; gcd(u, 0) = u.
int gcd(int u, int v);

// The least common multiple of v[0] and v[1] (only those two); 0 when v[1] is 0.
int lcm_of_array(std::vector<int> v);

// One line of covering.txt: k, the period of its set and the primes, ascending.
struct CoverLine {
  int64_t k = 0;
  uint32_t period = 0;
  std::vector<uint32_t> primes;

  bool operator==(const CoverLine&) const = default;
};

// The pairs of factorPeriodList whose prime is the first entry of some slot
// 1 .. 2P, in the list's (ascending) order.
std::vector<FactorPeriod> extractCoverSet(const ExponentSlots& slots, const std::vector<FactorPeriod>& factorPeriodList);

// True when every slot 1 .. 2P holds at least one of `kept` (ascending primes).
bool keptPrimesCover(const ExponentSlots& slots, const std::vector<uint32_t>& kept);

// The line for a covered k: the set with its lcm L, or, when L exceeds the largest
// period W and the primes whose periods divide W still cover every exponent, just
// those primes with period W.
CoverLine makeCoverLine(int64_t k, const std::vector<FactorPeriod>& coverSet, const ExponentSlots& slots);

// Extraction and shrinking together, for a k whose slots are covered.
CoverLine coverLineFor(int64_t k, const ExponentSlots& slots, const std::vector<FactorPeriod>& factorPeriodList);

// "k  period  [p, q, ...]\n".
std::string formatCoverLine(const CoverLine& line);

