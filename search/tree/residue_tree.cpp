// The search of the residue-class tree (see residue_tree.h for the mathematics,
// tree_walk.h for the walk): a range on one thread, or cut into a deterministic list
// of subtrees, the widest split first, that the threads (or the ranks of a distributed
// search) take from a counter; the covered k merged in ascending order, each once.
#include "residue_tree.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "tree_descent.h"
#include "worker_threads.h"

namespace {

using tree::kBranchChoices;
using tree::Knobs;
using tree::LevelCounts;
using tree::NoCounts;
using tree::TreeTables;
using tree::TreeWalk;

constexpr size_t kTasksPerThread = 256;  // subtrees handed out per thread, at least

// The modulus of the class at the end of a path, roughly: subtrees of a smaller
// modulus hold more k and so, as a rule, more nodes.
double pathModulus(const TreeTables& tree, const TreeTask& task) {
  double M = 1;
  for (uint32_t j : task.path) M *= tree.p[j];
  return M;
}

// At least `wanted` subtrees where the tree has them: the widest subtree (smallest
// modulus) is split into its children until there are enough, so that no one subtree
// holds most of the work; widest first. Nothing here depends on timing or threads.
std::vector<TreeTask> splitTree(const TreeTables& tree, size_t wanted) {
  std::atomic<bool> stop{false};
  TreeWalk<NoCounts> walk(tree, stop);
  std::vector<TreeTask> tasks{{}};
  std::vector<TreeTask> done;  // leaves: listed classes, not split further
  auto wider = [&](const TreeTask& a, const TreeTask& b) { return pathModulus(tree, a) > pathModulus(tree, b); };
  while (!tasks.empty() && tasks.size() + done.size() < wanted) {
    std::pop_heap(tasks.begin(), tasks.end(), wider);
    TreeTask widest = std::move(tasks.back());
    tasks.pop_back();
    std::vector<TreeTask> children = walk.subtrees(widest.path);
    if (children.size() == 1 && children[0] == widest) {
      done.push_back(std::move(widest));
      continue;
    }
    for (TreeTask& child : children) {
      tasks.push_back(std::move(child));
      std::push_heap(tasks.begin(), tasks.end(), wider);
    }
  }
  tasks.insert(tasks.end(), done.begin(), done.end());
  std::stable_sort(tasks.begin(), tasks.end(), [&](const auto& a, const auto& b) { return wider(b, a); });
  return tasks;
}

// Searches tasks [first, end) on up to `threads` threads, handed out by an atomic
// counter; appends the covered k, sorted and each once.
template <class Counts>
bool searchTasks(const TreeTables& tree, const std::vector<TreeTask>& tasks, size_t first, size_t end, int threads,
                 std::vector<int64_t>& covered, std::vector<TreeLevelCounts>& levels, const StopToken& ask) {
  std::atomic<bool> stop{false};
  std::atomic<size_t> next{first};
  threads = std::max(threads, 1);
  std::vector<std::vector<int64_t>> found(static_cast<size_t>(threads));
  std::vector<Counts> counts(static_cast<size_t>(threads));
  // Fewer threads than asked for take the remaining subtrees; a failure in one (no
  // memory) stops the others and reaches the caller.
  runOnThreads(threads, [&](int t) {
    try {
      TreeWalk<Counts> walk(tree, stop, ask);
      for (size_t i = next++; i < end && !stop; i = next++) walk.run(tasks[i].path);
      found[size_t(t)] = std::move(walk.covered);
      counts[size_t(t)] = std::move(walk.counts);
    } catch (...) {
      stop = true;
      throw;
    }
  });
  for (const Counts& c : counts) c.addTo(levels);
  const size_t start = covered.size();
  for (const std::vector<int64_t>& part : found) covered.insert(covered.end(), part.begin(), part.end());
  std::sort(covered.begin() + std::ptrdiff_t(start), covered.end());
  covered.erase(std::unique(covered.begin() + std::ptrdiff_t(start), covered.end()), covered.end());
  return !stop && !ask.stopRequested();
}

template <class Counts>
bool searchRange(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                 const Knobs& knobs, std::vector<TreeLevelCounts>& levels, const StopToken& ask) {
  if (!tables.searchable) return !ask.stopRequested();
  const TreeTables tree(tables, from, to, knobs);
  threads = threadsWorthStarting(threads);
  const std::vector<TreeTask> tasks = threads > 1 ? splitTree(tree, kTasksPerThread * size_t(threads))
                                                  : std::vector<TreeTask>{{}};
  return searchTasks<Counts>(tree, tasks, 0, tasks.size(), threads, covered, levels, ask);
}

}  // namespace

bool residueSearch(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                   const StopToken& stop) {
  std::vector<TreeLevelCounts> none;
  return searchRange<NoCounts>(tables, from, to, threads, covered, Knobs{}, none, stop);
}

bool residueSearchMeasured(const SieveTables& tables, int64_t from, int64_t to, int threads,
                           std::vector<int64_t>& covered, TreeMeasure& measure) {
  Knobs knobs{measure.countingBound, measure.listBelow, measure.choices ? measure.choices : kBranchChoices,
              measure.plainBranch, measure.liftOrder, measure.liftSieve, measure.quickBound,
              measure.liftTrim};
  measure.levels.clear();
  return searchRange<LevelCounts>(tables, from, to, threads, covered, knobs, measure.levels, StopToken{});
}

namespace {

// The tables of one range behind the header's opaque TreeRange.
struct TreeRangeTables : TreeRange {
  TreeRangeTables(const SieveTables& tables, int64_t from, int64_t to) : tree(tables, from, to) {}
  const TreeTables tree;
};

const TreeTables& tablesOf(const TreeRange& range) { return static_cast<const TreeRangeTables&>(range).tree; }

}  // namespace

std::shared_ptr<const TreeRange> makeTreeRange(const SieveTables& tables, int64_t from, int64_t to) {
  auto range = std::make_shared<TreeRangeTables>(tables, from, to);
  range->from = from, range->to = to;
  return range;
}

std::vector<TreeTask> residueTasks(const SieveTables& tables, int64_t from, int64_t to, size_t wanted) {
  return residueTasks(*makeTreeRange(tables, from, to), wanted);
}

std::vector<TreeTask> residueTasks(const TreeRange& range, size_t wanted) {
  if (!tablesOf(range).sieve.searchable) return {};
  return splitTree(tablesOf(range), std::max<size_t>(wanted, 1));
}

bool residueSearchTasks(const SieveTables& tables, int64_t from, int64_t to, const std::vector<TreeTask>& tasks,
                        size_t first, size_t count, int threads, std::vector<int64_t>& covered, const StopToken& stop) {
  return residueSearchTasks(*makeTreeRange(tables, from, to), tasks, first, count, threads, covered, stop);
}

bool residueSearchTasks(const TreeRange& range, const std::vector<TreeTask>& tasks, size_t first, size_t count,
                        int threads, std::vector<int64_t>& covered, const StopToken& stop) {
  const TreeTables& tree = tablesOf(range);
  if (!tree.sieve.searchable || first >= tasks.size()) return !stop.stopRequested();
  // A task may come from another process: a path that no list of this range holds
  // (too long, a prime out of range or twice) is refused rather than followed.
  const size_t end = first + std::min(count, tasks.size() - first);
  std::vector<uint8_t> seen(tree.m);
  for (size_t t = first; t < end; ++t) {
    const std::vector<uint32_t>& path = tasks[t].path;
    if (path.size() + 1 >= tree.levels) throw pelund::Error("residue tree task deeper than its range allows");
    for (uint32_t j : path)
      if (j >= tree.m || seen[j]++) throw pelund::Error("residue tree task with a bad prime index");
    for (uint32_t j : path) seen[j] = 0;
  }
  std::vector<TreeLevelCounts> none;
  return searchTasks<NoCounts>(tree, tasks, first, end, threads, covered, none, stop);
}
