// Candidate primes of a covering-set search and the parameters of one search, as the
// library's engines name them (the types are those of the public header).
//
// A candidate is a prime p < maxfact that divides neither b nor b-1 and whose
// period (the multiplicative order of b modulo p) divides the configured period P.
// For such a p the terms k*b^n + c that p divides have n in a single residue class
// modulo the period, so every covering pattern repeats with period P.
#pragma once

#include <pelund/pelund.hpp>

using pelund::CandidateTable;
using pelund::Engine;
using pelund::FactorPeriod;
using pelund::SearchParams;
using pelund::StopToken;
using PartResult = pelund::Part;
using PartSink = pelund::Sink;

// The largest period the table phase takes (every table builder here): the residue
// tree's longest period. The configuration keeps its own, smaller cap unless a wide
// search asks for more.
inline constexpr int32_t kTablePeriodLimit = 65520;
