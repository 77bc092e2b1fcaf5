// Interrupt handling. The handler only does what is safe in a signal handler: a raw
// write of its acknowledgement and stores to sig_atomic_t flags, which the search
// reads afresh at every poll.
#include "run.h"

#include "platform.h"
#include "status_line.h"

volatile std::sig_atomic_t gb_quitting = 0;
volatile std::sig_atomic_t gi_stopSignal = 0;
volatile std::sig_atomic_t gi_endedRank = 0;

pelund::StopToken stopToken() { return pelund::StopToken(quitting); }

namespace {

void acknowledge(int) {
  static const char acknowledgement[] = "\nCtrl-C accepted. ";
  platformWriteStdout(acknowledgement, sizeof acknowledgement - 1);
  gb_quitting = 1;
}

}  // namespace

void setQuitting(int signal) {
  // Set first: the acknowledgement to a pipe whose reader has gone (pelund | tee, with
  // Ctrl-C to both) raises SIGPIPE within this handler, and the stop stays Ctrl-C's.
  gi_stopSignal = signal;
  statusline::stopFromSignal(acknowledge, signal);
}

void ignoreLateStops() { platformInstallStopHandlers([](int) {}); }

namespace {

// Standard output is a pipe whose reader has gone (pelund | head): a stop like the
// others, with nothing to acknowledge to, unless one is under way already.
void outputClosed(int signal) {
  if (gi_stopSignal == 0) gi_stopSignal = signal;
  gb_quitting = 1;
}

}  // namespace

StopHandlers interruptHandlers() { return StopHandlers{setQuitting, outputClosed}; }

int interruptedStatus() { return 128 + (gi_stopSignal != 0 ? int(gi_stopSignal) : SIGINT); }
