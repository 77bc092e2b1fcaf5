// The search's own console reports, shared by every engine and the oracle walk: the
// progress line "Searching at k = ..." and the closing count.
#pragma once

#include <cstdint>

#include "table.h"

// How a walk over k ended.
struct WalkOutcome {
  bool interrupted = false;  // ended at the interrupt poll, before searching `k` below
  uint64_t found = 0;        // lines written to the result file
};

// The progress line "Searching at k = ..." for k with `found` lines written before it.
void showSearchProgress(int64_t k, uint64_t found);

// The closing report "N covering set(s) found for S|R b".
void reportFound(uint64_t found, const SearchParams& params);
