// Run sequence and interrupt handling.
#pragma once

#include <csignal>

#include <pelund/pelund.hpp>

// Set by the stop handler, never cleared; polled by the search.
extern volatile std::sig_atomic_t gb_quitting;
// The signal that raised gb_quitting (0 while it is down).
extern volatile std::sig_atomic_t gi_stopSignal;

// pelund-mpi: the rank whose end stopped the search (0: none did).
extern volatile std::sig_atomic_t gi_endedRank;

inline bool quitting() { return gb_quitting != 0; }

// The stop token that hands gb_quitting to the library.
pelund::StopToken stopToken();

void setQuitting(int signal);

// The run has ended and is about to say so (its closing count, or its fault): a stop
// from now on (mpirun passing one on as the job ends, a late Ctrl-C) has nothing left
// to stop and is not acknowledged, which would leave "Ctrl-C accepted. " after it.
void ignoreLateStops();

// The signal handlers of a front end, installed together when its run takes the
// directory: `stop` for SIGINT, SIGTERM and SIGHUP (one-shot: a second signal gets the
// default action, so a stuck process can still be ended); `outputClosed` for a
// standard output whose reader has gone (SIGPIPE), `continued` for SIGCONT, each left
// as it was when null.
struct StopHandlers {
  void (*stop)(int) = nullptr;
  void (*outputClosed)(int) = nullptr;
  void (*continued)(int) = nullptr;
};

// pelund's: setQuitting, and a standard output whose reader has gone stops the search
// the same way, silently.
StopHandlers interruptHandlers();

// The exit status of a search ended by a stop request: 128 + the signal number, as
// shells report a process ended by that signal.
int interruptedStatus();
