// The straightforward k walk over a range, one k after another: what the fast engines
// are checked against.
#pragma once

#include <cstdint>

#include "table.h"

// Walks k = minK .. maxK, polling `stop` once per k before anything else is done for
// it, and adds each covered k's line to `lines` (cleared to the range first). False
// when stopped; the lines of every k below the next one are then in `lines`.
bool walkKRange(const SearchParams& params, const CandidateTable& table, PartResult& lines,
                const StopToken& stop = {});
