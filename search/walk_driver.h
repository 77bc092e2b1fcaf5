// The k walk with its console progress, interrupt poll, result file and count.
#pragma once

#include <cstdint>

#include "table.h"

struct WalkOutcome {
  bool interrupted = false;  // ended at the interrupt poll, before searching `k` below
  uint32_t found = 0;        // lines written to the result file
};


// Walks k = minK .. maxK: polls the interrupt flag, shows the progress line for
// multiples of kDisp, and appends each covered k's line to coveringPath. A file that
// cannot be opened ends the run through error().
WalkOutcome walkKRange(const SearchParams& params, const CandidateTable& table,
                       const char* coveringPath = "covering.txt");

// The progress line "Searching at k = ..." for k with `found` lines written before it.
void showSearchProgress(int64_t k, uint32_t found);

// The closing report "N covering set(s) found for S|R b".
void reportFound(uint32_t found, const SearchParams& params);
