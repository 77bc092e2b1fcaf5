// The fast k walk on all cores. Worker threads take blocks of consecutive k from an
// atomic counter and sieve them; the calling thread writes their lines and progress
// lines strictly in ascending k, so the console and covering.txt are the same for any
// number of threads. An interrupt stops the walk at the first block not yet written:
// every k below it has been searched and written if covered, none at or above it.
#pragma once

#include "table.h"
#include "walk_driver.h"

// The number of worker threads for a `threads` setting (0: all hardware threads).
int workerThreads(int32_t threads);

// Walks k = minK..maxK like walkKRange, with the block sieve on workerThreads(params.threads)
// threads. Prints "Ending k search at k=..." when ended by the interrupt flag.
WalkOutcome walkKRangeFast(const SearchParams& params, const CandidateTable& table,
                           const char* coveringPath = "covering.txt");
