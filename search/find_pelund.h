// The covering-set search: table phase, k walk, extraction and output.
#pragma once

#include <functional>

#include "cover_sieve.h"
#include "results_writer.h"
#include "search_state.h"
#include "table.h"

struct SearchOutcome {
  bool interrupted = false;  // ended by a stop request
  uint64_t found = 0;        // sets written, in this run and the ones it continues
};

// The search parameters taken from the configuration globals.
SearchParams searchParamsFromConfig();

// What walks a range of k into a sink: walkRange in one process, the ranks of a
// distributed run in pelund-mpi. False when ended by the interrupt flag.
using RangeWalker = std::function<bool(const SieveTables&, const SearchParams&, int64_t, int64_t, PartSink&)>;

// The whole search for params in the working directory, from `start` on: the factor
// and period list appended to pelund.log, the lines to covering.txt, the closing
// report. With a `statePath` the search can be resumed: its state is saved about
// once a second and when it ends. Returns early, without a report, when the
// interrupt flag is seen. `walker` (walkRange when empty) searches the range.
SearchOutcome runSearch(const SearchParams& params, const SearchState& start, const char* statePath = nullptr,
                        const RangeWalker& walker = {});

// Runs the whole search for the configuration in the globals of config.h, as a fresh search.
SearchOutcome findPelund();
