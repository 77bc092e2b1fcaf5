// The subtrees of a long tree part, searched by the threads in any order and taken in
// in the order of their list, as a prefix done: what a part's progress records, for
// the 64-bit walk (range_walk.cpp) and the wide search (wide/wide_tree.cpp) alike.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace subtree_list {

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

}  // namespace subtree_list
