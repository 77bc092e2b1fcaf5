// The walk over a range of k with the exact engines: the block sieve, whose cost
// follows the width of the range, and the residue-class tree, whose cost follows the
// covered k. Both hand finished parts to the same PartSink in ascending k.
#pragma once

#include <vector>

#include "cover_sieve.h"
#include "table.h"

// Searches k = from..to with the engine of the search's parameters (chosen per part for
// Engine::automatic), each part searched by `runner`, with the lines of algebraic
// factors merged in when params.algebraic (algebraic_walk.h). False when stopped;
// every k below the sink's next k has then been handed over.
// `local`: the runner searches on this process's threads, so a long tree part may go
// subtree by subtree instead, its progress told to the sink; `resume`: a tree part in
// progress at `from` to finish first; `whole`: the caller wants the whole range (it
// does not stop at a count of lines), so a sparse range may end in one longer part.
struct WalkStart {
  bool local = true;
  const pelund::TreeProgress* resume = nullptr;
  bool whole = true;
};
bool walkRange(const pelund::Search& search, int64_t from, int64_t to, PartSink& sink, const StopToken& stop,
               pelund::Observer* observer, pelund::Runner& runner, const WalkStart& start = {});

// Hands k = from..to over in parts with no line, growing from 2^22 k by 16 times each,
// stoppable between them, and ended once `ended()` says the sink takes no more: the
// walk where fewer than two candidate primes leave the engines no k to find (a sieve
// of every k would find none, at years per 10^18).
template <class Ended>
bool walkWithoutLines(int64_t from, int64_t to, PartSink& sink, const StopToken& stop, Ended ended) {
  constexpr int64_t kFirstPart = int64_t(1) << 22, kGrowth = 16;
  for (int64_t width = kFirstPart;; width = width <= INT64_MAX / kGrowth ? width * kGrowth : INT64_MAX) {
    PartResult part;
    part.clear(from, to - from < width ? to : from + width - 1);
    sink.partDone(part);
    if (ended()) return false;
    if (part.to == to) return true;
    if (stop.stopRequested()) return false;
    from = part.to + 1;
  }
}

// The lines of the covered k (ascending) of the part [result.from, result.to], built
// on `threads` threads and joined in order. False when stopped first.
bool buildLines(const SieveTables& tables, const std::vector<int64_t>& covered, int threads, PartResult& result,
                const StopToken& stop);
