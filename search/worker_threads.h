// Work spread over threads the way every engine of the search needs it: the calling
// thread works too, a thread that the system refuses (a limit on processes, or on
// address space for its stack) just means fewer workers, down to the calling thread
// alone, and an exception in any worker (std::bad_alloc above all) reaches the caller
// once every worker has ended, instead of ending the process.
#pragma once

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// The threads worth starting for work that keeps each busy: no more than the
// processors the system reports (when it reports them), for more would only take
// turns on the same cores, each at the cost of its start and its share of the work's
// split. So threads=1024 costs what the processors' count does.
inline int threadsWorthStarting(int threads) {
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? threads : std::min(threads, int(processors));
}

// Runs work(0) on the calling thread and work(1) .. work(n - 1) on threads of their
// own, n = threadsWorthStarting(threads), as many as the system grants; returns how
// many ran in all. Each worker must take its share of the work from a common source
// (an atomic counter), so that the work gets done whatever the number of workers.
// Rethrows the first exception of any worker after all have ended.
template <class Work>
int runOnThreads(int threads, Work&& work) {
  threads = threadsWorthStarting(threads);
  std::exception_ptr failure;
  std::mutex failureMutex;
  auto guarded = [&](int t) {
    try {
      work(t);
    } catch (...) {
      std::lock_guard lock(failureMutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  try {
    for (int t = 1; t < threads; ++t) workers.emplace_back(guarded, t);
  } catch (const std::system_error&) {
  }
  guarded(0);
  for (std::thread& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
  return int(workers.size()) + 1;
}
