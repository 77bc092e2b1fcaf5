// The cost estimates by which the walk chooses an engine for each part: the residue
// tree's from random paths down it (Knuth's estimate of the size of a search tree,
// with the seconds per node and per listed k measured on the paths themselves), the
// block sieve's from two sampled blocks. Both are cheap, a few milliseconds at most.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include "elapsed.h"
#include "residue_tree.h"
#include "tree_descent.h"

namespace {

constexpr uint64_t kProbeListLimit = 1 << 16;  // a probe sieves or lists the k of smaller leaves
constexpr double kProbeSeconds = 0.002;   // the time the cost estimate may take
constexpr int kMinProbes = 2;             // per batch
constexpr int kProbeBatches = 4;

}  // namespace

namespace tree {

// One random path down the tree, a child taken with a probability that falls with
// its prime as 1/sqrt(p) (wider classes, larger subtrees, are taken more often).
// Adds to `nodes` and `listed` the path's estimates (its weights, the inverse
// probabilities) of the nodes of the tree and of the k its listed classes hold; the
// k of a listed class are also confirmed, as the search would.
template <class Counts>
void TreeWalk<Counts>::probe(std::mt19937_64& random, ProbeSums& sums) {
  root();
  double weight = 1;
  for (size_t level = 0;; ++level) {
    sums.nodes += weight, ++sums.visited;
    const auto begin = std::chrono::steady_clock::now();
    const uint64_t count = levels_[level].count;
    bool complete;
    if (leaf(level, complete)) {
      sums.listed += weight * double(count);
      if (count > kProbeListLimit) return;
      if (complete) {
        listClass(level);
      } else {
        takeResidues(level, false);
        sieveClass(level);
      }
      sums.visitedK += double(count), sums.listSeconds += secondsSince(begin);
      return;
    }
    if (tree_.knobs.bound && !coverable(level)) return void(sums.nodeSeconds += secondsSince(begin));
    takeResidues(level, true);
    const uint32_t n = branch_[level] = branchExponent(level);
    size_t found = 0;
    double total = 0;
    for (uint32_t j = 0; j < tree_.m; ++j) {
      if (assigned_[j] || excluded(n, j) || (childIndex_[found] = childIndex(level, n, j)) >= count) continue;
      childPrime_[found] = j, childScore_[found] = 1 / std::sqrt(double(tree_.p[j]));
      total += childScore_[found++];
    }
    if (found == 0) return void(sums.nodeSeconds += secondsSince(begin));
    double pick = std::uniform_real_distribution<double>(0, total)(random);
    size_t i = 0;
    while (i + 1 < found && (pick -= childScore_[i]) > 0) ++i;
    weight *= total / childScore_[i];
    excludeBefore(n, childPrime_[i]);
    makeChild(level, n, childPrime_[i], childIndex_[i]);
    sums.nodeSeconds += secondsSince(begin);
  }
}

}  // namespace tree

using tree::NoCounts;
using tree::ProbeSums;
using tree::TreeTables;
using tree::TreeWalk;

// Knuth's estimate of the size of a search tree from random paths, here with unequal
// probabilities; the seconds per node are measured on the paths themselves.
double residueCostEstimate(const SieveTables& tables, int64_t from, int64_t to) {
  if (!tables.searchable) return 0;
  const TreeTables tree(tables, from, to);
  std::atomic<bool> stop{false};
  TreeWalk<NoCounts> walk(tree, stop);
  std::mt19937_64 random(uint64_t(from) * 0x9e3779b97f4a7c15u ^ uint64_t(to));
  // The counts are summed over all paths; the seconds per node and per listed k are
  // the least of a few batches, since a thread preempted only ever looks slower.
  ProbeSums sums;
  int probes = 0;
  double perNode = INFINITY, perK = INFINITY;
  for (int batch = 0; batch < kProbeBatches; ++batch) {
    ProbeSums part;
    int partProbes = 0;
    const auto begin = std::chrono::steady_clock::now();
    do walk.probe(random, part);
    while (++partProbes < kMinProbes || secondsSince(begin) < kProbeSeconds / kProbeBatches);
    perNode = std::min(perNode, part.nodeSeconds / part.visited);
    if (part.visitedK > 0) perK = std::min(perK, part.listSeconds / part.visitedK);
    sums.nodes += part.nodes, sums.listed += part.listed, probes += partProbes;
  }
  if (perK == INFINITY) perK = perNode / 4;
  return (sums.nodes * perNode + sums.listed * perK) / probes;
}

// The least of two blocks' seconds: a thread preempted only ever looks slower.
double sieveCostPerK(const SieveTables& tables, int64_t from) {
  BlockSieve sieve(tables);
  std::vector<int64_t> covered;
  const int64_t span = BlockSieve::kBlockSpan;
  from = std::min<int64_t>(from, 1000000000000000000 - 2 * span);
  double least = INFINITY;
  for (int64_t start = from; start < from + 2 * span; start += span) {
    const auto begin = std::chrono::steady_clock::now();
    sieve.sieve(start, start + span - 1, covered);
    least = std::min(least, secondsSince(begin));
  }
  return least / double(span);
}
