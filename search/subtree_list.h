// The subtrees of a long tree part, searched by the threads in any order and taken in
// in the order of their list, as a prefix done: what a part's progress records, for
// the 64-bit walk (range_walk.cpp) and the wide search (wide/) alike.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "elapsed.h"
#include "worker_threads.h"

namespace subtree_list {

// Tree parts expected to cost kLongPart thread-seconds or more go subtree by subtree, in
// subtrees of about kSubtreeSeconds of a thread each and at least kSubtreesPerThread per
// thread: the widest come first and hold most of the work, and each subtree pays for the
// nodes of its path again (256 per thread cost a part of 2^22 k at P = 20160 about 7%
// more than 64, which were too few: a 10-second part at P = 65520 stopped every 3 s
// never got past its first subtrees).
constexpr double kLongPart = 1.0;
constexpr double kSubtreeSeconds = 0.02;
constexpr size_t kSubtreesPerThread = 256;

// The subtrees to cut a tree part into that is expected to cost `cost` thread-seconds,
// at most `most` (0: the part goes whole).
inline uint64_t subtreesFor(double cost, int threads, size_t most) {
  if (cost < kLongPart) return 0;
  const double wanted = std::max(cost / kSubtreeSeconds, double(kSubtreesPerThread) * threads);
  return uint64_t(std::min(wanted, double(most)));
}

// A hash of the list's paths (below 2^63): a list made otherwise (by another version of
// the tree) makes a progress recorded against it void.
template <class Tasks, class PathOf>
uint64_t hashOf(const Tasks& tasks, PathOf pathOf) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const auto& task : tasks) {
    for (uint32_t j : pathOf(task)) hash = (hash ^ j) * 0x100000001b3u;
    hash = (hash ^ 0xffffffffu) * 0x100000001b3u;
  }
  return hash & uint64_t(INT64_MAX);
}

// Ties a part's progress (`list`, `done`, `covered`) to the list it goes on in: a
// progress recorded against another list, or past its end, starts the part again.
template <class Progress, class Tasks, class PathOf>
void bindToList(Progress& progress, const Tasks& tasks, PathOf pathOf) {
  const uint64_t hash = hashOf(tasks, pathOf);
  if (progress.list != hash || progress.done > tasks.size()) progress.done = 0, progress.covered.clear();
  progress.list = hash;
}

// Takes in the subtrees finished from `done` on, in list order, up to the first one not
// finished: their k merged into `covered` (ascending, each once), `done` moved past
// them. False when none was taken in.
template <class K>
bool takeInFinished(uint64_t& done, size_t count, const std::atomic<bool>* finished,
                    std::vector<std::vector<K>>& found, std::vector<K>& covered) {
  std::vector<K> added;
  size_t end = size_t(done);
  for (; end < count && finished[end].load(std::memory_order_acquire); ++end) {
    added.insert(added.end(), found[end].begin(), found[end].end());
    std::vector<K>().swap(found[end]);
  }
  if (end == done) return false;
  std::sort(added.begin(), added.end());
  const size_t middle = covered.size();
  covered.insert(covered.end(), added.begin(), added.end());
  std::inplace_merge(covered.begin(), covered.begin() + std::ptrdiff_t(middle), covered.end());
  covered.erase(std::unique(covered.begin(), covered.end()), covered.end());
  done = end;
  return true;
}

// Searches subtrees `done` .. count-1 of a list on `threads` threads, each thread taking
// the next batch of consecutive subtrees from a counter: of more subtrees while they
// are quick (each search of a batch sets up its own walk), of fewer while they are
// slow. `search(first, n, found)` appends the covered k of subtrees first .. first+n-1
// to `found` (kept at the batch's first subtree), false when stopped. About every
// quarter of a second the first thread takes in the prefix done and calls `tell()`.
// True when every subtree is done (`done` == count, `covered` every k of the list).
template <class K, class Search, class Tell>
bool searchInBatches(size_t count, uint64_t& done, std::vector<K>& covered, int threads, const Search& search,
                     const Tell& tell) {
  constexpr double kProgressSeconds = 0.25;
  constexpr size_t kMostBatch = 64;
  std::vector<std::vector<K>> found(count);
  const std::unique_ptr<std::atomic<bool>[]> finished(new std::atomic<bool>[count]());
  std::atomic<size_t> next{size_t(done)};
  std::atomic<bool> quit{false};
  const auto advance = [&] { return takeInFinished(done, count, finished.get(), found, covered); };
  auto told = std::chrono::steady_clock::now();
  runOnThreads(threads, [&](int t) {
    try {
      size_t batch = 1;
      for (size_t i = next.fetch_add(batch); i < count && !quit; i = next.fetch_add(batch)) {
        const size_t end = std::min(count, i + batch);
        const auto begin = std::chrono::steady_clock::now();
        if (!search(i, end - i, found[i])) {
          quit = true;
          return;
        }
        for (size_t j = end; j-- > i;) finished[j].store(true, std::memory_order_release);
        const double seconds = secondsSince(begin);
        if (seconds < kSubtreeSeconds / 4 && batch < kMostBatch) batch *= 2;
        else if (seconds > kSubtreeSeconds * 2 && batch > 1) batch /= 2;
        if (t == 0 && secondsSince(told) >= kProgressSeconds && advance()) {
          tell();
          told = std::chrono::steady_clock::now();
        }
      }
    } catch (...) {
      quit = true;
      throw;
    }
  });
  advance();
  return done == count;
}

}  // namespace subtree_list
