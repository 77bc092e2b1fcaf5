// The run sequence of the pelund executable, and the start of a run that the other
// front ends share with it.
#pragma once

#include <pelund/pelund.hpp>

#include "run.h"
#include "search_state.h"

// What a search starts from once its run is prepared.
struct PreparedRun {
  pelund::SearchParams params;
  bool resume = false;   // resume=1: pelund.state is kept as the search goes
  bool resumed = false;  // the start is a recorded state
  SearchState start;
  bool wide = false;     // a search beyond the 64-bit caps: its results are prepared by its own run
};

// Takes the run directory for this process: its lock, a log that is no symbolic
// link, then `handlers` installed and every wait bounded by a stop. Every fault ends
// the process with an error.
void claimRunDirectory(const StopHandlers& handlers);

// The start of a search run (pelund, and rank 0 of pelund-mpi), in this order: the
// standard streams made safe, SIGXFSZ and SIGPIPE ignored, pelund.ini read, the run
// directory claimed with `handlers`, covering.txt and pelund.state prepared. Every
// fault ends the process with an error before the search starts.
PreparedRun prepareRun(const StopHandlers& handlers);

// Shows the run banner (and the point a resumed search goes on from) on the console.
void showRunBanner(const SearchState& start, bool resumed);

// Runs configuration, banner and search; returns the exit status of an orderly end.
int runPelund();
