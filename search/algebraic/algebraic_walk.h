// The k walk with algebraic factors (algebraic=1): the engines search the range as
// always, and a PartSink between them and the writer adds the k that only a mix of
// algebraic classes and candidate primes proves.
//
// The special k (those for which k*b^n is a usable perfect power on some class of n)
// are listed family by family (algebraic.h) in ascending order, part by part. A
// special k that the engines found covered by primes keeps its line as it is; for one
// they did not, the classes stand as exponents covered in advance and the candidate
// primes, tried in order of ascending period as for an ordinary line, must cover the
// rest of 1..P. Lines of a part and the added lines are merged in ascending k, so the
// writer, the threads, resume and the ranks of pelund-mpi carry them like any other.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "algebraic.h"
#include "cover_set.h"
#include "cover_sieve.h"
#include "table.h"

// The line of a k proved with algebraic classes: k, the span after which the proof
// repeats (the lcm of the primes' periods and the classes' moduli), the primes
// (possibly none) and the classes.
struct AlgebraicLine {
  CoverLine cover;
  std::vector<algebraic::AlgebraicClass> classes;
};

// "k  span  [p, q]  + n=0 (mod 2): y^2-1\n".
std::string formatAlgebraicLine(const AlgebraicLine& line);

// The proof of k from its usable classes (not empty) and the candidate primes, or
// nullopt when the primes leave some exponent of 1..P open.
std::optional<AlgebraicLine> algebraicLineFor(const SieveTables& tables, int64_t k,
                                              const std::vector<algebraic::AlgebraicClass>& classes);

// Runs `engines` (the ordinary walk of [from, to] into the sink it is given) with the
// algebraic lines merged into what it hands to `sink`; with fewer than two candidate
// primes no engine runs. False when stopped; every k below the sink's next k has then
// been handed over.
using EngineWalk = std::function<bool(PartSink&)>;
bool walkWithAlgebraicFactors(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to,
                              PartSink& sink, const StopToken& stop, const EngineWalk& engines);
