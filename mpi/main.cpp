// pelund-mpi: one covering-set search over the ranks of an MPI job, started with
// mpirun or srun in the directory that holds pelund.ini (on rank 0's machine).
#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "console.h"
#include "platform.h"
#include "rank_work.h"

#include "distributed.h"

namespace {

// Open MPI's start tries every network transport it may use, a fifth of a second and
// more on a machine without any. A job whose ranks all share one machine (mpirun says
// so in the environment) talks through shared memory alone: it starts with Open MPI's
// own point-to-point layer (ob1), unless the user chose one.
void preferSharedMemory() {
  const char* ranks = std::getenv("OMPI_COMM_WORLD_SIZE");
  const char* local = std::getenv("OMPI_COMM_WORLD_LOCAL_SIZE");
#ifndef _WIN32
  if (ranks != nullptr && local != nullptr && std::strcmp(ranks, local) == 0) setenv("OMPI_MCA_pml", "ob1", 0);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  preferSharedMemory();
  // Rank 0 takes in the lines of the other ranks on one thread, its own on another,
  // and frees them on a third: with a heap per thread, a dense search held twice the
  // memory its lines need, and more from run to run.
  platformOneHeap();
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  int status = 1;
  try {
    status = rank == 0 ? leadRun(ranks) : followRun();
  } catch (const std::bad_alloc&) {
    // Rank 0 ends the job with the red error; another rank ends it outright, which rank 0
    // reports as the end of that rank.
    if (rank == 0) error("not enough memory");
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  markFinished();
  if (stoppedRun(status)) {
    // MPI_Finalize waits for mpirun, which does not answer while it ends a stopped
    // job: it hands the stop on, waits a second and kills the ranks. Everything has
    // been written by now: the console streams are closed, so that mpirun has all of
    // rank 0's output whenever it ends, and a rank whose finalization hangs ends
    // without it.
    closeConsoleStreams();
    endStoppedRankSoon(status);
  }
  MPI_Finalize();
  return status;
}
