// The threaded driver of the fast k walk (see parallel_walk.h). Blocks are handed
// out by an atomic counter and their results parked in a ring of slots; workers may
// run at most the ring's length ahead of the writer, which bounds the memory. With
// one thread the writer sieves the blocks itself and no thread is started.
#include "parallel_walk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "console.h"
#include "cover_sieve.h"
#include "fast_cover.h"
#include "run.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(2);

struct Slot {
  bool done = false;
  bool abandoned = false;  // its worker could not get memory; the writer sieves it
  std::vector<CoverLine> lines;
};

enum class BlockState { ready, interrupted, abandoned };

class ParallelWalk {
 public:
  ParallelWalk(const SearchParams& params, const CandidateTable& table, const char* coveringPath, int threads)
      : params_(params),
        tables_(params, table),
        coveringPath_(coveringPath),
        blocks_(uint64_t(params.maxK - params.minK) / BlockSieve::kBlockSpan + 1),
        threads_(int(std::min<uint64_t>(uint64_t(threads), blocks_))),
        slots_(threads_ > 1 ? 4 * size_t(threads_) : 1) {}

  WalkOutcome run();

 private:
  int64_t blockStart(uint64_t i) const { return params_.minK + int64_t(i) * BlockSieve::kBlockSpan; }
  int64_t blockEnd(uint64_t i) const {
    return params_.maxK - blockStart(i) < BlockSieve::kBlockSpan ? params_.maxK
                                                                   : blockStart(i) + BlockSieve::kBlockSpan - 1;
  }
  bool sieveBlock(BlockSieve& sieve, uint64_t i, std::vector<CoverLine>& lines);
  void startWorkers(std::vector<std::thread>& workers);
  void work();
  void workOn(BlockSieve& sieve, uint64_t& claimed);
  BlockState waitForBlock(uint64_t i);
  bool writeBlock(uint64_t i, const std::vector<CoverLine>& lines);
  bool writeBlocks(BlockSieve& sieve, std::vector<CoverLine>& lines, bool threaded, WalkOutcome& outcome);

  const SearchParams& params_;
  SieveTables tables_;
  const char* coveringPath_;
  const uint64_t blocks_;
  const int threads_;
  std::vector<Slot> slots_;

  std::atomic<uint64_t> nextBlock_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable blockDone_;
  std::condition_variable blockWritten_;
  uint64_t written_ = 0;  // blocks written so far; guarded by mutex_
  int liveWorkers_ = 0;     // guarded by mutex_
  int waitingWorkers_ = 0;  // workers waiting for the writer; guarded by mutex_
  uint32_t found_ = 0;
};

bool ParallelWalk::sieveBlock(BlockSieve& sieve, uint64_t i, std::vector<CoverLine>& lines) {
  std::vector<int64_t> covered;
  if (!sieve.sieve(blockStart(i), blockEnd(i), covered)) return false;
  lines.clear();
  for (int64_t k : covered) lines.push_back(fastCoverLine(tables_, k));
  return true;
}

// A worker that cannot get memory hands its block back to the writer and ends; the
// walk goes on with the others, or on the writer alone.
void ParallelWalk::work() {
  uint64_t claimed = UINT64_MAX;
  try {
    BlockSieve sieve(tables_);
    workOn(sieve, claimed);
  } catch (const std::bad_alloc&) {
    std::lock_guard lock(mutex_);
    if (claimed != UINT64_MAX) slots_[claimed % slots_.size()].abandoned = true;
    --liveWorkers_;
    blockDone_.notify_one();
    return;
  }
  std::lock_guard lock(mutex_);
  --liveWorkers_;
}

void ParallelWalk::workOn(BlockSieve& sieve, uint64_t& claimed) {
  std::vector<CoverLine> lines;
  for (;;) {
    uint64_t i = nextBlock_.fetch_add(1);
    if (i >= blocks_) return;
    {
      std::unique_lock lock(mutex_);
      while (i >= written_ + slots_.size()) {
        if (stop_ || quitting()) return;
        ++waitingWorkers_;
        blockWritten_.wait_for(lock, kPollInterval);
        --waitingWorkers_;
      }
    }
    claimed = i;
    if (stop_ || !sieveBlock(sieve, i, lines)) return;
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[i % slots_.size()];
    slot.lines.swap(lines);
    slot.done = true;
    claimed = UINT64_MAX;
    if (i == written_) blockDone_.notify_one();  // the writer waits for no other block
  }
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
    if (quitting()) return BlockState::interrupted;
    if (slot.abandoned || liveWorkers_ == 0) {
      slot.abandoned = false;
      return BlockState::abandoned;
    }
    blockDone_.wait_for(lock, kPollInterval);
  }
  return BlockState::ready;
}

// Writes the block's lines and the progress lines of its multiples of kDisp, in
// ascending k. The lines between two progress lines go to the file in one write and
// are flushed at once, so the file only ever holds complete lines. A line counts only
// once it has reached the file: a write that fails (a full disk) ends the block like
// a file that cannot be opened.
bool ParallelWalk::writeBlock(uint64_t i, const std::vector<CoverLine>& lines) {
  std::FILE* file = nullptr;
  if (!lines.empty() && (file = std::fopen(coveringPath_, "a")) == nullptr) return false;
  auto line = lines.begin();
  bool failed = false;
  std::string text;
  auto writeBelow = [&](int64_t k) {
    text.clear();
    uint32_t count = 0;
    for (; line != lines.end() && line->k < k; ++line, ++count) text += formatCoverLine(*line);
    if (count == 0) return;
    failed = std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fflush(file) != 0;
    if (!failed) found_ += count;
  };
  if (params_.kDisp > 0) {
    int64_t first = blockStart(i), last = blockEnd(i);
    int64_t m = (first + params_.kDisp - 1) / params_.kDisp * params_.kDisp;
    for (; m <= last && !failed; m += params_.kDisp) {
      writeBelow(m);
      if (!failed) showSearchProgress(m, found_);
    }
  }
  if (!failed) writeBelow(INT64_MAX);
  if (file != nullptr && std::fclose(file) != 0) failed = true;
  return !failed;
}

WalkOutcome ParallelWalk::run() {
  BlockSieve sieve(tables_);
  std::vector<CoverLine> lines;
  std::vector<std::thread> workers;
  if (threads_ > 1) startWorkers(workers);
  WalkOutcome outcome;
  bool unwritable = false;
  bool outOfMemory = false;
  try {
    unwritable = !writeBlocks(sieve, lines, !workers.empty(), outcome);
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  }
  stop_ = true;
  blockWritten_.notify_all();
  for (std::thread& worker : workers) worker.join();
  if (outOfMemory) throw std::bad_alloc();
  if (unwritable) error("%s cannot be opened for writing", coveringPath_);
  outcome.found = found_;
  return outcome;
}

// The writer's loop over the blocks, in order; false when covering.txt cannot be written.
bool ParallelWalk::writeBlocks(BlockSieve& sieve, std::vector<CoverLine>& lines, bool threaded, WalkOutcome& outcome) {
  for (uint64_t i = 0; i < blocks_; ++i) {
    BlockState state = quitting()  ? BlockState::interrupted
                       : threaded ? waitForBlock(i)
                                  : BlockState::abandoned;
    if (state == BlockState::abandoned) state = sieveBlock(sieve, i, lines) ? BlockState::ready : BlockState::interrupted;
    else if (state == BlockState::ready) {
      std::lock_guard lock(mutex_);
      lines.swap(slots_[i % slots_.size()].lines);
      slots_[i % slots_.size()].done = false;
    }
    if (state == BlockState::interrupted) {
      outcome.interrupted = true;
      consoleWrite("Ending k search at k=%" PRId64 ".\n", blockStart(i));
      return true;
    }
    if (!writeBlock(i, lines)) return false;
    std::lock_guard lock(mutex_);
    written_ = i + 1;
    if (waitingWorkers_ > 0) blockWritten_.notify_all();
  }
  return true;
}

}  // namespace

int workerThreads(int32_t threads) {
  if (threads > 0) return threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

WalkOutcome walkKRangeFast(const SearchParams& params, const CandidateTable& table, const char* coveringPath) {
  if (params.minK > params.maxK) return {};
  try {
    return ParallelWalk(params, table, coveringPath, workerThreads(params.threads)).run();
  } catch (const std::bad_alloc&) {
    error("not enough memory for the k walk");
  }
}
