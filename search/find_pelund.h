// The covering-set search: table phase, k walk, extraction and output.
#pragma once

#include "search_state.h"
#include "table.h"

struct SearchOutcome {
  bool interrupted = false;  // ended by a stop request
  uint32_t found = 0;        // sets written, in this run and the ones it continues
};

// The search parameters taken from the configuration globals.
SearchParams searchParamsFromConfig();

// The whole search for params in the working directory, from `start` on: the factor
// and period list appended to pelund.log, the lines to covering.txt, the closing
// report. With a `statePath` the search can be resumed: its state is saved about
// once a second and when it ends. Returns early, without a report, when the
// interrupt flag is seen.
SearchOutcome runSearch(const SearchParams& params, const SearchState& start, const char* statePath = nullptr);

// Runs the whole search for the configuration in the globals of config.h, as a fresh search.
SearchOutcome findPelund();
