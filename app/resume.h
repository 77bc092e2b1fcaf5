// The results a run starts from: a fresh search removes the old covering.txt and
// pelund.state; a resumed one checks the state against the configuration and
// covering.txt, cuts off what a killed run wrote after the state, and goes on from
// there. One run per directory: a lock on pelund.lock, held to the end.
#pragma once

#include "search_state.h"
#include <pelund/pelund.hpp>

inline constexpr const char* kCoveringPath = "covering.txt";
inline constexpr const char* kStatePath = "pelund.state";
inline constexpr const char* kLockPath = "pelund.lock";

inline constexpr const char* kLogPath = "pelund.log";

// Ends the run with an error when another run holds this directory's lock, or when
// pelund.lock cannot be locked at all (named with the cause).
void lockRunDirectory();

// Ends the run with an error when pelund.log is a symbolic link: the log is never
// written through one.
void refuseLinkedLog();

// Prepares covering.txt (and pelund.state) and returns where the search starts;
// `resumed` tells whether that is a recorded state. Every fault ends the run with an
// error before any file has been touched.
SearchState prepareResults(const pelund::SearchParams& params, bool resume, bool& resumed);
