// The walk over a range of k with the exact engines: the block sieve, whose cost
// follows the width of the range, and the residue-class tree, whose cost follows the
// covered k. Both hand finished parts to the same PartSink in ascending k.
#pragma once

#include "cover_sieve.h"
#include "results_writer.h"
#include "table.h"

// Searches k = from..to with the engine of params (chosen per part for
// Engine::automatic) on workerThreads(params.threads) threads, with the lines of
// algebraic factors merged in when params.algebraic (algebraic_walk.h). False when
// ended by the interrupt flag; every k below the sink's next k has then been handed over.
bool walkRange(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to, PartSink& sink);
