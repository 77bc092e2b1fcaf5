// The results a run starts from: a fresh search removes the old covering.txt and
// pelund.state; a resumed one checks the state against the configuration and
// covering.txt, cuts off what a killed run wrote after the state, and goes on from
// there. One run per directory: a lock on pelund.lock, held to the end.
#pragma once

#include <string>

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

// What pelund.state says of covering.txt: its first `length` bytes hold `found` lines,
// the k of the last below nextK and not below minK (decimal, no leading zeros).
struct ResultsMark {
  int64_t length = 0;
  uint64_t found = 0;
  std::string minK, nextK;
};
// Checks covering.txt against the mark before anything is touched (every fault ends
// the run with an error), then keeps its first `length` bytes: what a killed run wrote
// after its last state goes.
void cutResults(const ResultsMark& mark);

// Prepares covering.txt (and pelund.state) and returns where the search starts;
// `resumed` tells whether that is a recorded state. Every fault ends the run with an
// error before any file has been touched.
SearchState prepareResults(const pelund::SearchParams& params, bool resume, bool& resumed);
