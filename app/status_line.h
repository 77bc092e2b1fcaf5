// The live status line of a search on a terminal: the share of the range searched,
// k per second, the covering sets found and an estimate of the time left, redrawn a
// few times a second on the line where the next output goes.
//
// It is shown only on a terminal, only when no progress lines are configured (kdisp
// and facdisp 0) and progress=1, and it is erased before any other output, so the
// screen ends up as it would without it, and output to a pipe or a file never holds
// it: every piece of it starts and ends with a carriage return, which no other
// output contains. The text is cut to the terminal's width less one column, then the
// rest of the screen is cleared (what a narrowed terminal has left of a wider line,
// whether it cut or rewrapped it), and the cursor goes back to the line's start: the
// terminal's echo of a control key (^C, ^Z) lands on the line, never wraps onto the
// next row, and goes with it. Ctrl-Z erases the line before the process stops; it is
// drawn again once the process is continued.
#pragma once

#include <cstddef>
#include <cstdint>

namespace statusline {

// Never shows the line in this process (pelund-mpi: mpirun hands rank 0 a terminal of
// its own whatever its own output is, so a terminal there tells nothing).
void forbid();
// Shows the line from now on for a walk of from .. to, when it is wanted (see above).
void start(int64_t from, int64_t to, uint64_t found);
// Every k below nextK is searched, `found` sets written; the walk is in the part
// partFrom .. partTo. Redrawn at most every quarter second (at once after a Ctrl-Z).
void update(int64_t nextK, uint64_t found);
void part(int64_t partFrom, int64_t partTo);
// Erases the line when it is shown; call before any other output.
void erase();
// From the handler of a stop request: erases the line for good and then calls
// acknowledge(signal). The line is never drawn again. When the line is being drawn
// just then (by the interrupted thread or another), the drawing thread does both as
// soon as its write is done, so that nothing drawn can land over the acknowledgement.
void stopFromSignal(void (*acknowledge)(int), int signal);
// The same without an acknowledgement (raw writes only, safe in a signal handler).
void eraseFromSignal();

// The time left as the line shows it: "45 s" below 90 s, "12 min" below 90 minutes,
// then "3 h 07 min".
void formatDuration(char* text, size_t size, double seconds);

}  // namespace statusline
