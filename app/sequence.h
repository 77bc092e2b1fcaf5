// The run sequence of the pelund executable.
#pragma once

#include "search_state.h"

// Shows the run banner (and the point a resumed search goes on from) on the console.
void showRunBanner(const SearchState& start, bool resumed);

// Runs configuration, banner and search; returns the exit status of an orderly end.
int runPelund();
