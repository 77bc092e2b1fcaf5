// The live progress line of pelund-ck on a terminal: the lines done of all, the line
// in hand and an estimate of the time left, redrawn at most four times a second. It
// is drawn and erased with raw writes, so that the stop handler can erase it before
// its acknowledgement; output to a pipe or a file never holds it.
#pragma once

#include <cstddef>
#include <string>

namespace ckprogress {

// Never shows the line (under mpirun, whose terminal for rank 0 is not the user's).
void forbid();
// Shows the line from now on when standard output is a terminal; `done` lines of
// `all` are there already.
void start(size_t done, size_t all);
// `done` lines written, `inHand` the name of the next.
void update(size_t done, const std::string& inHand);
// Erases the line; call before any other output.
void erase();
// The same from a signal handler.
void eraseFromSignal();

}  // namespace ckprogress
