// The threaded driver of the block sieve (see parallel_walk.h). Blocks are handed out
// by an atomic counter and their results parked in a ring of slots until the writer
// takes them in order. Memory is bounded whatever the number of threads: a worker
// claims a block only while it is at most four blocks per core ahead of the writer
// and the blocks between the writer and it, at the size of recent blocks, fit in a
// budget in bytes (the block the writer waits for is always allowed); a waiting
// worker gives back its sieve's scratch memory. A waiting worker sleeps until the
// writer wakes it: each waits for the one block it has claimed, on the condition of
// that block's slot, and the writer wakes only the slots of blocks that a written block
// may have let in, so that threads beyond the cores' count cost next to nothing. With one
// thread the writer sieves the blocks itself.
#include "parallel_walk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "fast_cover.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(2);  // of the writer, for a stop
constexpr size_t kPendingBudget = size_t(32) << 20;  // bytes of lines between the workers and the writer

struct Slot {
  bool done = false;
  bool abandoned = false;  // its worker could not get memory; the writer sieves it
  PartResult result;
};

enum class BlockState { ready, interrupted, abandoned };

class ParallelWalk {
 public:
  ParallelWalk(const SieveTables& tables, int64_t from, int64_t to, int threads, PartSink& sink, StopToken stop)
      : tables_(tables),
        stop_(stop),
        from_(from),
        to_(to),
        sink_(sink),
        blocks_(uint64_t(to - from) / BlockSieve::kBlockSpan + 1),
        threads_(int(std::min<uint64_t>(uint64_t(threads), blocks_))),
        slots_(threads_ > 1 ? 4 * size_t(threads_) : 1),
        claimable_(slots_.size()),
        aheadLimit_(4 * uint64_t(std::max(1u, std::thread::hardware_concurrency()))) {}

  bool run();

 private:
  int64_t blockStart(uint64_t i) const { return from_ + int64_t(i) * BlockSieve::kBlockSpan; }
  int64_t blockEnd(uint64_t i) const {
    return to_ - blockStart(i) < BlockSieve::kBlockSpan ? to_ : blockStart(i) + BlockSieve::kBlockSpan - 1;
  }
  bool sieveBlock(BlockSieve& sieve, uint64_t i, PartResult& result);
  void startWorkers(std::vector<std::thread>& workers);
  void work();
  bool mayClaim(uint64_t i) const;
  bool waitToClaim(uint64_t i, std::optional<BlockSieve>& sieve);
  BlockState waitForBlock(uint64_t i);
  bool writeBlocks(bool threaded);
  void endWalk();

  const SieveTables& tables_;
  const StopToken stop_;
  const int64_t from_, to_;
  PartSink& sink_;
  const uint64_t blocks_;
  const int threads_;
  std::vector<Slot> slots_;
  // claimable_[i % slots]: block i may be claimed now, or the walk is over. Workers
  // hold distinct blocks about a ring apart at most, so a condition has one waiter or
  // two.
  std::vector<std::condition_variable> claimable_;
  // Blocks in flight beyond the cores' needs only cost memory: more threads than
  // this many blocks ahead of the writer wait, holding no sieve.
  const uint64_t aheadLimit_;

  std::atomic<uint64_t> nextBlock_{0};
  std::atomic<bool> stopped_{false};  // set under mutex_, so that no waiting worker misses it
  std::mutex mutex_;
  std::condition_variable blockDone_;
  uint64_t written_ = 0;      // blocks written so far; guarded by mutex_
  size_t blockBytes_ = 0;     // recent size of a block's results; guarded by mutex_
  int liveWorkers_ = 0;       // guarded by mutex_
};

bool ParallelWalk::sieveBlock(BlockSieve& sieve, uint64_t i, PartResult& result) {
  std::vector<int64_t> covered;
  if (!sieve.sieve(blockStart(i), blockEnd(i), covered)) return false;
  result.clear(blockStart(i), blockEnd(i));
  for (int64_t k : covered) result.add(k, formatCoverLine(fastCoverLine(tables_, k)));
  return true;
}

// Guarded by mutex_: block i fits in the ring and, unless the writer needs it next,
// in the budget for pending results.
bool ParallelWalk::mayClaim(uint64_t i) const {
  if (i >= written_ + std::min<uint64_t>(slots_.size(), aheadLimit_)) return false;
  return i == written_ || (i - written_) * blockBytes_ <= kPendingBudget;
}

// Waits until block i may be sieved; false when the walk is over. A stop requested
// meanwhile reaches the writer, which ends the walk and wakes every worker.
bool ParallelWalk::waitToClaim(uint64_t i, std::optional<BlockSieve>& sieve) {
  std::unique_lock lock(mutex_);
  while (!mayClaim(i)) {
    if (stopped_ || stop_.stopRequested()) return false;
    if (sieve) {
      lock.unlock();
      sieve.reset();
      lock.lock();
      continue;
    }
    claimable_[i % claimable_.size()].wait(lock);
  }
  return true;
}

// A worker that cannot get memory hands its block back to the writer and ends; the
// walk goes on with the others, or on the writer alone.
void ParallelWalk::work() {
  uint64_t claimed = UINT64_MAX;
  try {
    std::optional<BlockSieve> sieve;
    for (;;) {
      uint64_t i = nextBlock_.fetch_add(1);
      if (i >= blocks_ || !waitToClaim(i, sieve)) break;
      claimed = i;
      if (!sieve) sieve.emplace(tables_, stop_);
      PartResult result;
      if (stopped_ || !sieveBlock(*sieve, i, result)) break;
      std::lock_guard lock(mutex_);
      Slot& slot = slots_[i % slots_.size()];
      slot.result = std::move(result);
      slot.done = true;
      claimed = UINT64_MAX;
      if (i == written_) blockDone_.notify_one();  // the writer waits for no other block
    }
  } catch (const std::bad_alloc&) {
    std::lock_guard lock(mutex_);
    if (claimed != UINT64_MAX) slots_[claimed % slots_.size()].abandoned = true;
  }
  std::lock_guard lock(mutex_);
  --liveWorkers_;
  blockDone_.notify_one();
}

// Starts the workers. Where the system refuses a thread (a limit on processes or
// on address space, which thread stacks count against), the walk goes on with the
// workers already started, or on the calling thread alone.
void ParallelWalk::startWorkers(std::vector<std::thread>& workers) {
  try {
    for (int t = 0; t < threads_; ++t) {
      {
        std::lock_guard lock(mutex_);
        ++liveWorkers_;
      }
      workers.emplace_back([this] { work(); });
    }
  } catch (const std::system_error&) {
    std::lock_guard lock(mutex_);
    --liveWorkers_;
  }
}

// Waits until block i is sieved, the interrupt flag is raised, or no worker will
// sieve the block any more.
BlockState ParallelWalk::waitForBlock(uint64_t i) {
  std::unique_lock lock(mutex_);
  Slot& slot = slots_[i % slots_.size()];
  while (!slot.done) {
    if (stop_.stopRequested()) return BlockState::interrupted;
    if (slot.abandoned || liveWorkers_ == 0) {
      slot.abandoned = false;
      return BlockState::abandoned;
    }
    blockDone_.wait_for(lock, kPollInterval);
  }
  return BlockState::ready;
}

// The writer's loop over the blocks, in order; false when interrupted.
bool ParallelWalk::writeBlocks(bool threaded) {
  std::optional<BlockSieve> sieve;
  for (uint64_t i = 0; i < blocks_; ++i) {
    BlockState state = stop_.stopRequested() ? BlockState::interrupted
                       : threaded ? waitForBlock(i)
                                  : BlockState::abandoned;
    PartResult result;
    if (state == BlockState::abandoned) {
      if (!sieve) sieve.emplace(tables_, stop_);
      if (!sieveBlock(*sieve, i, result)) state = BlockState::interrupted;
    } else if (state == BlockState::ready) {
      std::lock_guard lock(mutex_);
      Slot& slot = slots_[i % slots_.size()];
      result = std::move(slot.result);
      slot.result = PartResult{};
      slot.done = false;
    }
    if (state == BlockState::interrupted) return false;
    sink_.partDone(result);
    std::lock_guard lock(mutex_);
    written_ = i + 1;
    blockBytes_ = std::max(blockBytes_ - blockBytes_ / 8, result.bytes());
    // Only blocks within the window ahead of the writer may be claimed. (All waiters of
    // a condition: two blocks a ring apart may share it.)
    const uint64_t window = std::min<uint64_t>(slots_.size(), aheadLimit_);
    for (uint64_t b = written_; b < written_ + window && b < blocks_; ++b) claimable_[b % claimable_.size()].notify_all();
  }
  return true;
}

void ParallelWalk::endWalk() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  for (std::condition_variable& claimable : claimable_) claimable.notify_all();
}

bool ParallelWalk::run() {
  std::vector<std::thread> workers;
  if (threads_ > 1) startWorkers(workers);
  bool complete = false;
  std::exception_ptr failure;  // of memory, or of the sink: passed on once the workers are joined
  try {
    complete = writeBlocks(!workers.empty());
  } catch (...) {
    failure = std::current_exception();
  }
  endWalk();
  for (std::thread& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
  return complete;
}

}  // namespace

int workerThreads(int32_t threads) {
  if (threads > 0) return threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

bool sieveRange(const SieveTables& tables, int64_t from, int64_t to, int threads, PartSink& sink,
                const StopToken& stop) {
  if (from > to) return true;
  return ParallelWalk(tables, from, to, threads, sink, stop).run();
}
