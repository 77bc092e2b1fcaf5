// The walk of the residue-class tree (see residue_tree.h for the mathematics): one
// thread's descent, as a class over the counts it keeps (none for the search, per
// depth for the measurements). Its members are templates defined in headers, by
// concept: the descent itself in tree_descent.h, the counting bound in
// counting_bound.h, the listed and sieved classes in class_sieve.h, and the random
// paths of the cost estimate in cost_estimates.cpp; so the hot loop of the walk and
// the helpers it calls at every node are compiled together wherever it is used.
//
// A node is the class x = s (mod M) of x = k - from, with s < M, and the number of k
// of the range in it. Each level of the path keeps, for every free prime, s mod p,
// 1/M mod p and (where the node is split) M mod p, so that the child in which prime j
// covers exponent n, x = s + M*i with i = (t - s) / M (mod p_j), costs one product
// and one Barrett remainder, and is empty exactly when i is not below the count of the
// class. Going down to a child updates those residues with one product each (the
// inverses of the primes modulo each other are tabled). No node allocates: the levels
// of the path live in arrays sized once, for the deepest path the width admits.
//
// What keeps the tree small, as measured per depth by bench/residue_bench:
// - exclusions: at a node the children are tried in the order of the primes, and the
//   k that an earlier child's prime covers at the node's exponent all lie in that
//   child's subtree; so below a later sibling that prime's residue is excluded, its
//   child at any exponent of the same class is never made and its hits there are left
//   out of the sieve. The children then split the k covered at the exponent instead
//   of counting those that several primes cover once per prime;
// - the branch: of the first open exponents, the one whose children hold the fewest k
//   (the sum of 1/p over the free primes not excluded there), so excluded primes thin
//   the tree most where they gather;
// - the counting bound: a class ends when its free primes, each covering the open
//   exponents of one class modulo its period at most, cannot cover every open one;
// - lifts: for q prime with q^a exactly dividing the period P, a prime whose period
//   holds q^a covers at most one of the q exponents n + i*P/q; tried after the primes
//   that cover all of them or none, its subtree needs another such prime for each
//   other lift of its exponent, and a sieved class is sieved there first, where few
//   free primes are left (tree_tables.cpp, class_sieve.h);
// - classes of a few thousand k are not split but sieved over their places, a
//   bitmap per exponent with one progression per free prime, which costs far less
//   than the small subtrees it replaces.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "residue_tree.h"
#include "tree_tables.h"

namespace tree {

constexpr uint64_t kPollMask = 4095;     // a stop is polled every 4096 nodes or listed k

// Sums over random paths: the estimates of the nodes and listed k of the whole tree,
// and the nodes and k the paths themselves went through.
struct ProbeSums {
  double nodes = 0, listed = 0;
  double visited = 0, visitedK = 0;
  double nodeSeconds = 0, listSeconds = 0;  // spent on the paths' nodes and on their listed k
};

// Counts of nothing: the search proper.
struct NoCounts {
  void node(size_t) {}
  void bounded(size_t) {}
  void tests(size_t, uint64_t) {}
  void listed(size_t, uint64_t) {}
  void confirmed(size_t) {}
  void survived(size_t) {}
  void addTo(std::vector<TreeLevelCounts>&) const {}
};

// Counts per level, for the measurements.
struct LevelCounts {
  std::vector<TreeLevelCounts> levels;
  TreeLevelCounts& at(size_t level) {
    if (levels.size() <= level) levels.resize(level + 1);
    return levels[level];
  }
  void node(size_t level) { ++at(level).nodes; }
  void bounded(size_t level) { ++at(level).bounded; }
  void tests(size_t level, uint64_t count) { at(level).childTests += count; }
  void listed(size_t level, uint64_t k) { ++at(level).listedClasses, at(level).listedK += k; }
  void confirmed(size_t level) { ++at(level).confirmed; }
  void survived(size_t level) { ++at(level).survivors; }
  void addTo(std::vector<TreeLevelCounts>& sum) const {
    if (sum.size() < levels.size()) sum.resize(levels.size());
    for (size_t l = 0; l < levels.size(); ++l) {
      TreeLevelCounts& s = sum[l];
      const TreeLevelCounts& c = levels[l];
      s.nodes += c.nodes, s.bounded += c.bounded, s.childTests += c.childTests;
      s.listedClasses += c.listedClasses, s.listedK += c.listedK, s.confirmed += c.confirmed;
      s.survivors += c.survivors;
    }
  }
};

// One thread's descent: the levels of the current path, the primes given a residue
// on it, and the covered k found.
template <class Counts>
class TreeWalk {
 public:
  TreeWalk(const TreeTables& tree, std::atomic<bool>& stop, StopToken ask = {});

  // Descends from the root along `prefix` (fixed branches), then over every branch.
  void run(const std::vector<uint32_t>& prefix);
  // The paths to the children of the node at the end of `prefix`, or `prefix` itself
  // when that node is listed; none when it is empty or cannot be completed.
  std::vector<TreeTask> subtrees(const std::vector<uint32_t>& prefix);

  // Adds one random path's estimates of the size of the tree to `sums`
  // (cost_estimates.cpp).
  void probe(std::mt19937_64& random, ProbeSums& sums);

  std::vector<int64_t> covered;
  Counts counts;

 private:
  struct Level {
    u128 s = 0, M = 1;
    uint64_t count = 0;  // k of the range in the class
    uint32_t step = 0;   // s = parent's s + parent's M * step
  };
  uint64_t* bitsAt(size_t level) { return &bits_[level * tree_.words]; }
  uint32_t* sModAt(size_t level) { return &sMod_[level * tree_.m]; }
  uint32_t* mModAt(size_t level) { return &mMod_[level * tree_.m]; }
  uint32_t* mInvAt(size_t level) { return &mInv_[level * tree_.m]; }
  void root();
  void descend(size_t level);
  bool leaf(size_t level, bool& complete);
  uint32_t childIndex(size_t level, uint32_t n, uint32_t j) {
    const uint32_t pj = tree_.p[j], t = tree_.residueAt[size_t(n) * tree_.m + j], s = sModAt(level)[j];
    return tree_.mod[j](uint64_t(t >= s ? t - s : t + pj - s) * mInvAt(level)[j]);
  }
  void makeChild(size_t level, uint32_t n, uint32_t j, uint32_t i);
  void takeResidues(size_t level, bool withModulus);
  bool coverable(size_t level);
  uint32_t branchExponent(size_t level);
  void weigh(uint32_t j, uint32_t slot, bool add);
  void setAssigned(uint32_t j, bool on);
  uint32_t mostOf(const uint64_t* bits, uint32_t j) {
    // With exclusions the classes left are counted where masks make that cheap; the
    // others keep the bound of their period, which is no smaller and so still sound.
    if (excludedOf_[j] != 0 && tree_.maskStart[tree_.periodIndex[j]] != kNone)
      return mostOpenInOneClass(bits, tree_.periodIndex[j], j);
    uint32_t& most = periodMost_[tree_.periodIndex[j]];
    return most != kNone ? most : most = mostOpenInOneClass(bits, tree_.periodIndex[j], kNone);
  }
  bool excluded(uint32_t n, uint32_t j) const { return excluded_[tree_.slotOf(n, j)] != 0; }
  // Excludes free prime j at the class of n.
  void exclude(uint32_t n, uint32_t j) {
    const uint32_t slot = tree_.slotOf(n, j);
    if (excluded_[slot]++ == 0 && weighing_) weigh(j, slot, true);
    ++excludedOf_[j], exclusions_.push_back({slot, j});
  }
  // Excludes at n the free primes tried before j, as the node's earlier children.
  void excludeBefore(uint32_t n, uint32_t j) {
    for (uint32_t at = 0; at < tree_.rank[j]; ++at)
      if (!assigned_[tree_.childOrder[at]]) exclude(n, tree_.childOrder[at]);
  }
  void undoExclusions(size_t keep) {
    for (; exclusions_.size() > keep; exclusions_.pop_back()) {
      const auto [slot, j] = exclusions_.back();
      if (--excluded_[slot] == 0 && !assigned_[j] && weighing_) weigh(j, slot, false);
      --excludedOf_[j];
    }
  }
  uint32_t mostOpenInOneClass(const uint64_t* bits, uint32_t periodIndex, uint32_t prime);
  void listClass(size_t level);
  void sieveClass(size_t level);
  void markHits(size_t level, uint32_t n, uint64_t count, uint64_t* hits, uint32_t q = kNone, uint32_t before = 0);
  void markPrime(uint64_t* hits, size_t words, uint64_t count, uint32_t j, uint64_t c);
  void confirmSurvivor(size_t level, uint64_t c);
  bool confirm(size_t level);
  bool skipped(int64_t k) const;
  size_t firstOpen(const uint64_t* bits, size_t from) const;
  bool poll() {
    if ((++polls_ & kPollMask) == 0 && tasks_ == nullptr && ask_.stopRequested()) stop_ = true;
    return stop_.load(std::memory_order_relaxed);
  }

  const TreeTables& tree_;
  std::atomic<bool>& stop_;  // shared by the threads of one search
  const StopToken ask_;      // every poll for a stop of the caller's goes through here
  uint64_t polls_ = 0;
  std::vector<Level> levels_;
  std::vector<uint64_t> bits_;  // the exponents covered at each level of the path
  std::vector<uint32_t> sMod_, mMod_, mInv_;
  std::vector<uint8_t> assigned_;
  std::vector<uint32_t> path_;
  std::vector<uint32_t> branch_;  // per level of the path, its branch exponent (the one path_ covers there)
  std::vector<uint32_t> sieved_;  // the exponents a sieved class has been sieved at
  size_t fixedDepth_ = 0;
  size_t taskDepth_ = SIZE_MAX;
  std::vector<TreeTask>* tasks_ = nullptr;
  std::vector<uint32_t> periodMost_;  // per period, the most open exponents in one class, at this node
  // Residues excluded on the path: a prime tried before its siblings at a node covers
  // that node's exponent in its own subtree, so theirs need no k it covers there.
  std::vector<uint16_t> excluded_;    // per slot (prime and exponent class), how often excluded
  std::vector<uint32_t> excludedOf_;  // per prime, its exclusions
  std::vector<std::pair<uint32_t, uint32_t>> exclusions_;  // (slot, prime) excluded, in order, to be undone
  std::vector<uint16_t> classCount_;
  std::vector<uint64_t> massOf_;    // per exponent, the weights of the free primes excluded there (its loss)
  bool weighing_ = true;            // whether massOf_ is kept: not below a node whose children are all sieved
  std::vector<uint32_t> slotMark_;  // per slot, the stamp of the last setAssigned that weighed it
  uint32_t stamp_ = 0;
  std::vector<uint64_t> scratch_;
  std::vector<uint32_t> xRes_;  // a listed k's x mod each free prime
  std::vector<uint64_t> alive_, hits_;  // places of a sieved class
  std::vector<uint32_t> childPrime_, childIndex_;  // the children of a probed node
  std::vector<double> childScore_;
};

}  // namespace tree
