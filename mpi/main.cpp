// pelund-mpi: one covering-set search over the ranks of an MPI job, started with
// mpirun or srun in the directory that holds pelund.ini (on rank 0's machine).
#include <mpi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "distributed.h"

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  const int status = rank == 0 ? leadRun(ranks) : followRun();
  markFinished();
  if (stoppedRun(status)) {
    // MPI_Finalize waits for mpirun, which does not answer while it ends a stopped
    // job: it hands the stop on, waits a second and kills the ranks. Everything has
    // been written by now: the console streams are closed, so that mpirun has all of
    // rank 0's output whenever it ends, and a rank whose finalization hangs ends
    // without it.
    closeConsoleStreams();
    std::thread([status] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      std::_Exit(status);
    }).detach();
  }
  MPI_Finalize();
  return status;
}
