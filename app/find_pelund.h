// The covering-set search of a run: the table phase, the walk and the closing report,
// with the run's console, log and results files around the library's search.
#pragma once

#include <pelund/pelund.hpp>

#include "search_state.h"

struct SearchOutcome {
  bool interrupted = false;  // ended by a stop request
};

// What the console shows of a search: "Loading at factor" every facDisp primes,
// "Searching at k" at every multiple of kDisp (0: never).
struct Display {
  uint32_t facDisp = 0;
  int64_t kDisp = 0;
  uint64_t maxSets = 0;  // not display: the search ends after this many lines (0: no limit)
};

// The search parameters and the display taken from the configuration globals.
pelund::SearchParams searchParamsFromConfig();
Display displayFromConfig();

// The whole search for params in the working directory, from `start` on: the factor
// and period list appended to pelund.log, the lines to covering.txt, the closing
// report. With a `statePath` the search can be resumed: its state is saved about
// once a second and when it ends. Returns early, without a report, when a stop is
// seen. `runner` (none: this process's threads) searches the parts of the range.
SearchOutcome runSearch(const pelund::SearchParams& params, const Display& display, const SearchState& start,
                        const char* statePath = nullptr, pelund::Runner* runner = nullptr);
