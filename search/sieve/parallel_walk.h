// The block sieve's walk over a range on all cores. Worker threads take blocks of
// consecutive k from an atomic counter and sieve them; the calling thread hands the
// finished blocks to a PartSink strictly in ascending k, so what the sink writes is
// the same for any number of threads. A stop ends the walk at the first block not yet
// handed over: every k below it has been searched and handed over, none at or above it.
#pragma once

#include "cover_sieve.h"
#include "table.h"

// The number of worker threads for a `threads` setting (0: all hardware threads).
int workerThreads(int32_t threads);

// Sieves k = from..to on `threads` threads, handing each block to `sink`. False when
// stopped.
bool sieveRange(const SieveTables& tables, int64_t from, int64_t to, int threads, PartSink& sink,
                const StopToken& stop = {});
