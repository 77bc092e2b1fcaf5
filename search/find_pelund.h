// The covering-set search: table phase, k walk, extraction and output.
#pragma once

#include "table.h"

// Runs the whole search for the configuration in the globals of config.h.
void findPelund();

// The search parameters taken from the configuration globals.
SearchParams searchParamsFromConfig();

// The whole search for params in the working directory: the factor and period list
// appended to pelund.log, the lines to covering.txt, the closing report. Returns
// early, without a report, when the interrupt flag is seen.
void runSearch(const SearchParams& params);
