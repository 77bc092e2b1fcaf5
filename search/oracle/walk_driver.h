// The k walk with its console progress, interrupt poll, result file and count.
#pragma once

#include <cstdint>

#include "reports.h"
#include "table.h"

// Walks k = minK .. maxK: polls the interrupt flag, shows the progress line for
// multiples of kDisp, and appends each covered k's line to coveringPath. A file that
// cannot be opened ends the run through error().
WalkOutcome walkKRange(const SearchParams& params, const CandidateTable& table,
                       const char* coveringPath = "covering.txt");
