// The first line of a search, the one of its smallest covered k: what pelund writes
// first into covering.txt for the same parameters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <pelund/pelund.hpp>

// The first line (with its line end) of the search of params with its candidate
// table from k = `from` on, every k below it in the range known to be uncovered;
// nullopt in `line` when no k is covered. False when stopped: `from` is then the
// first k not yet searched.
//
// The smallest k are tried one by one first (with algebraic factors, their algebraic
// proofs too), where a tiny covered k is found in microseconds; the engines' walk,
// which ends at its first line, takes the rest.
bool firstLine(const pelund::SearchParams& params, const pelund::CandidateTable& table, const pelund::StopToken& stop,
               std::optional<std::string>& line, int64_t& from);

// How many k from mink on are tried one by one.
inline constexpr int64_t kSmallKs = 4096;

// The first line of the wide engine's search of base b and form c, k = `from` to
// maxk of the options (see CkOptions::wide), with `threads` threads: candidates
// every prime below min(maxfact, 1e9) of a period dividing P and the factors of
// Phi_d(b) up to maxfact found in about `effortSeconds`. False when stopped: `from`
// is then the first k not yet searched. `unfactored`: the lines of pelund.log's list
// for the Phi_d(b) not factored completely (empty when none), for which the line is
// exact only for the primes found.
bool wideFirstLine(int64_t base, int32_t c, uint32_t period, uint64_t maxFact, const std::string& maxK, int threads,
                   double effortSeconds, const pelund::StopToken& stop, std::optional<std::string>& line,
                   std::string& from, std::string& unfactored);
