// The run's configuration, read once from pelund.ini and read-only afterwards.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <pelund/pelund.hpp>

inline constexpr int64_t kNotGiven = -999;

extern int32_t gi_base;
extern int64_t gi_minK;
extern int64_t gi_maxK;
extern int32_t gi_c;
extern int32_t gi_period;
extern int32_t gi_maxFact;
extern int32_t gi_facDisp;
extern int64_t gi_kDisp;
extern int32_t gi_threads;  // 0: all hardware threads
extern int32_t gi_engine;   // an Engine of table.h
extern int32_t gi_resume;   // 1: continue the search recorded in pelund.state
extern int32_t gi_algebraic;  // 1: also prove k by algebraic factors
extern int32_t gi_progress;   // 1: a live status line on a terminal when kdisp is 0
extern int64_t gi_maxSets;    // the run ends after this many lines (0: no limit)
extern int32_t gi_wide;       // 1: k, maxfact and period may pass 1e18, 1e9 and 5040

// A search with wide=1 that passes one of those caps: k up to 2^256-1, candidate primes
// up to 2^64-1 (above 1e9 they come from factoring Phi_d(b)), periods up to 65520. The
// 64-bit globals of the range then hold nothing; base, c and the other keys hold as
// always. A search with wide=1 within the caps is an ordinary search.
struct WideSettings {
  bool beyond = false;
  std::string minK, maxK;      // decimal, no leading zeros
  uint64_t maxFact = 0;
  uint32_t period = 0;
  int32_t factorEffort = 0;    // seconds of factoring for each divisor of the period
};
extern WideSettings g_wide;
inline constexpr int32_t kDefaultFactorEffort = 5;

using pelund::kMaxThreads;


// The form letter of a run: 'S' for k*b^n + 1 (Sierpinski), 'R' for k*b^n - 1 (Riesel).
inline char formLetter(int32_t c) { return c == 1 ? 'S' : 'R'; }

// Reads settings from an open configuration stream into the globals, fills in the
// defaults and validates them. Returns nullptr when the configuration is valid,
// otherwise the message of the first fault. Resets the globals first.
const char* loadInputs(std::FILE* file);

// Reads pelund.ini; on any fault reports it through error(), which ends the process.
void getInputs();

// pelund.ini opened for reading, or nullptr where it cannot be read: missing, or a
// directory (which POSIX opens, every read of it failing), "pelund.ini not found" alike.
std::FILE* openConfiguration();
