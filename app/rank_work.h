// What every rank of an MPI job does alike, without MPI itself: a piece of work on a
// thread of its own while the main thread, the only one that calls MPI, listens for
// messages; and the end of a rank whose run was stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

// Runs `work` on a thread of its own and calls `listen` on this thread every
// `interval` until the work is done; its result is the work's. Without a thread to
// spare the work runs here, and `listen` is not called meanwhile.
template <class Work, class Listen>
bool workWhileListening(Work&& work, Listen&& listen, std::chrono::milliseconds interval) {
  bool result = false, over = false;
  std::mutex mutex;
  std::condition_variable ended;
  auto job = [&] {
    const bool done = work();
    std::lock_guard lock(mutex);
    result = done;
    over = true;
    ended.notify_one();
  };
  std::thread thread;
  try {
    thread = std::thread(job);
  } catch (const std::system_error&) {
    job();
  }
  for (std::unique_lock lock(mutex); !ended.wait_for(lock, interval, [&] { return over; });) {
    lock.unlock();
    listen();
    lock.lock();
  }
  if (thread.joinable()) thread.join();
  return result;
}

// A stopped rank ends with `status` at most 200 ms from now, finalized or not: MPI
// finalization waits for mpirun, which does not answer while it ends a stopped job
// (it passes the stop on, waits a second and kills the ranks). Call it once everything
// has been written.
inline void endStoppedRankSoon(int status) {
  try {
    std::thread([status] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      std::_Exit(status);
    }).detach();
  } catch (const std::system_error&) {
    std::_Exit(status);  // no thread to bound the wait: end at once, all is written
  }
}
