// The live status line of a search on a terminal: the share of the range searched,
// k per second, the covering sets found and an estimate of the time left, redrawn a
// few times a second on the line where the next output goes.
//
// It is shown only on a terminal, only when no progress lines are configured (kdisp
// and facdisp 0) and progress=1, and it is erased (carriage return, blanks, carriage
// return) before any other output. So the screen ends up as it would without it, and
// output to a pipe or a file never holds it: every byte of it starts with or follows
// a carriage return, which no other output contains.
#pragma once

#include <cstdint>

namespace statusline {

// Never shows the line in this process (pelund-mpi: mpirun hands rank 0 a terminal of
// its own whatever its own output is, so a terminal there tells nothing).
void forbid();
// Shows the line from now on for a walk of from .. to, when it is wanted (see above).
void start(int64_t from, int64_t to, uint64_t found);
// Every k below nextK is searched, `found` sets written; the walk is in the part
// partFrom .. partTo. Redrawn at most every quarter second.
void update(int64_t nextK, uint64_t found);
void part(int64_t partFrom, int64_t partTo);
// Erases the line when it is shown; call before any other output.
void erase();
// The same from a signal handler: raw writes only.
void eraseFromSignal();

}  // namespace statusline
