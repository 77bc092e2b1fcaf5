// The descent of the residue tree (tree_walk.h): from the root, along a fixed prefix
// of branches, then over every child of each node; a child is one free prime given
// the residue with which it covers the branch exponent, its residues modulo the other
// free primes updated by one product each, and the primes tried before it excluded
// below it. Subtrees are the same descent stopped one level below a prefix. With the
// counting bound and the class sieve included, this header is the whole walk.
#pragma once

#include <algorithm>
#include <bit>

#include "class_sieve.h"
#include "counting_bound.h"
#include "tree_walk.h"

namespace tree {

template <class Counts>
TreeWalk<Counts>::TreeWalk(const TreeTables& tree, std::atomic<bool>& stop, StopToken ask)
    : tree_(tree),
      stop_(stop),
      ask_(ask),
      levels_(tree.levels),
      bits_(tree.levels * tree.words),
      sMod_(tree.levels * tree.m),
      mMod_(tree.levels * tree.m),
      mInv_(tree.levels * tree.m),
      assigned_(tree.m),
      path_(tree.levels),
      branch_(tree.levels),
      periodMost_(tree.periods.size()),
      excluded_(tree.classStart.empty() ? 0 : tree.classStart.back() + tree.d.back()),
      excludedOf_(tree.m),
      classCount_(tree.periods.empty() ? 0 : *std::max_element(tree.periods.begin(), tree.periods.end())),
      massOf_(tree.period),
      slotMark_(excluded_.size()),
      scratch_(tree.words),
      xRes_(tree.m),
      alive_(tree.knobs.listBelow / 64 + 1),
      hits_(tree.knobs.listBelow / 64 + 1),
      childPrime_(tree.m),
      childIndex_(tree.m),
      childScore_(tree.m) {}

template <class Counts>
void TreeWalk<Counts>::root() {
  undoExclusions(0);
  std::fill(assigned_.begin(), assigned_.end(), 0);
  std::fill_n(bits_.begin(), tree_.words, 0);
  levels_[0] = Level{0, 1, tree_.width};
  std::fill_n(sMod_.begin(), tree_.m, 0);
  std::fill_n(mMod_.begin(), tree_.m, 1);
  std::fill_n(mInv_.begin(), tree_.m, 1);
}

template <class Counts>
void TreeWalk<Counts>::run(const std::vector<uint32_t>& prefix) {
  std::copy(prefix.begin(), prefix.end(), path_.begin());
  fixedDepth_ = prefix.size();
  root();
  descend(0);
}

template <class Counts>
std::vector<TreeTask> TreeWalk<Counts>::subtrees(const std::vector<uint32_t>& prefix) {
  std::vector<TreeTask> tasks;
  tasks_ = &tasks;
  taskDepth_ = prefix.size() + 1;
  run(prefix);
  taskDepth_ = SIZE_MAX;
  tasks_ = nullptr;
  return tasks;
}

// Whether the node is listed rather than split: every exponent covered, or few k.
template <class Counts>
bool TreeWalk<Counts>::leaf(size_t level, bool& complete) {
  complete = coversEveryExponent(bitsAt(level), tree_.period);
  return complete || levels_[level].count <= tree_.knobs.listBelow;
}

template <class Counts>
void TreeWalk<Counts>::descend(size_t level) {
  if (poll()) return;
  counts.node(level);
  bool complete;
  const bool isLeaf = leaf(level, complete);
  if (tasks_ != nullptr && isLeaf) return tasks_->push_back(TreeTask{{path_.begin(), path_.begin() + std::ptrdiff_t(level)}});
  if (complete) return listClass(level);
  // The counting bound ends split nodes only. A sieved class is sieved at once: the sieve
  // is exact, and the bound nearly always lets such a class pass (at periods 720 and
  // 5040 it ended none in the bench's searches, and took 4% to 10% of their time).
  if (tree_.knobs.bound && !isLeaf && !coverable(level)) return counts.bounded(level);
  takeResidues(level, !isLeaf);
  if (isLeaf) return sieveClass(level);
  if (tasks_ != nullptr && level == taskDepth_)
    return tasks_->push_back(TreeTask{{path_.begin(), path_.begin() + std::ptrdiff_t(level)}});
  const uint32_t n = branch_[level] = branchExponent(level);
  const uint64_t count = levels_[level].count;
  const size_t keep = exclusions_.size();
  if (level < fixedDepth_) {
    const uint32_t j = path_[level], i = childIndex(level, n, j);
    excludeBefore(n, j);
    if (i < count && !excluded(n, j)) makeChild(level, n, j, i), descend(level + 1);
    return undoExclusions(keep);
  }
  counts.tests(level, tree_.m);
  // Where every child is sieved (none holds more k than the count over the least prime
  // with a child), no exponent is chosen below, so the losses are not kept there.
  const bool weighing = weighing_;
  if (weighing) {
    uint32_t least = UINT32_MAX;
    for (uint32_t j = 0; j < tree_.m; ++j)
      if (!assigned_[j] && !excluded(n, j)) least = std::min(least, tree_.p[j]);
    weighing_ = least == UINT32_MAX || (count + least - 1) / least > tree_.knobs.listBelow;
  }
  for (uint32_t at = 0; at < tree_.m && !stop_.load(std::memory_order_relaxed); ++at) {
    const uint32_t j = tree_.childOrder[at];
    if (assigned_[j]) continue;
    if (!excluded(n, j)) {
      const uint32_t i = childIndex(level, n, j);
      if (i < count) makeChild(level, n, j, i), descend(level + 1), setAssigned(j, false);
    }
    exclude(n, j);
  }
  undoExclusions(keep);
  weighing_ = weighing;
}

// Gives prime j the residue with which it covers exponent n: the class x = s + M*i mod
// M*p_j at the next level and its exponents. Its residues follow (takeResidues) once
// the counting bound has let it pass.
template <class Counts>
void TreeWalk<Counts>::makeChild(size_t level, uint32_t n, uint32_t j, uint32_t i) {
  const Level& node = levels_[level];
  Level& next = levels_[level + 1];
  next.s = node.s + node.M * i, next.M = node.M * tree_.p[j], next.step = i;
  next.count = countOf(next.s, next.M, tree_.width);
  uint64_t* bits = bitsAt(level + 1);
  std::copy_n(bitsAt(level), tree_.words, bits);
  tree_.markClass(bits, n, j);
  setAssigned(j, true);
  path_[level] = j;
}

// The residues of s and of 1/M modulo every free prime at `level`, and those of M when
// the node is split (a sieved class needs them only for its few survivors), each by
// one product from the parent's.
template <class Counts>
void TreeWalk<Counts>::takeResidues(size_t level, bool withModulus) {
  if (level == 0) return;
  const uint32_t j = path_[level - 1], pj = tree_.p[j], i = levels_[level].step;
  const uint32_t *sMod = sModAt(level - 1), *mMod = mModAt(level - 1), *mInv = mInvAt(level - 1);
  uint32_t *nextS = sModAt(level), *nextM = mModAt(level), *nextInv = mInvAt(level);
  for (uint32_t q = 0; q < tree_.m; ++q) {
    if (assigned_[q]) continue;
    const Reducer& mod = tree_.mod[q];
    nextS[q] = mod(sMod[q] + uint64_t(mMod[q]) * i);
    nextInv[q] = mod(uint64_t(mInv[q]) * tree_.inverse(j, q));
    if (withModulus) nextM[q] = mod(uint64_t(mMod[q]) * pj);
  }
}

// The exponent to branch on: of the first few open ones in the order, the one whose
// children hold the fewest k, as the sum of 1/p over the free primes not excluded
// there (excluded primes leave their children out). That sum is the same for every
// exponent but for the free primes excluded there, so the exponent that loses the
// most to exclusions is taken (the first of equals in the order; with no exclusions,
// the first). Those losses are kept up to date as primes are excluded and given
// residues (weigh), so a node only looks them up.
template <class Counts>
uint32_t TreeWalk<Counts>::branchExponent(size_t level) {
  const uint64_t* bits = bitsAt(level);
  size_t at = firstOpen(bits, 0);
  uint32_t best = tree_.order[at];
  if (tree_.knobs.plainBranch) {
    uint64_t least = UINT64_MAX;
    for (uint32_t tried = 0; tried < tree_.knobs.choices && at < tree_.order.size(); ++tried, at = firstOpen(bits, at + 1)) {
      const uint32_t n = tree_.order[at];
      uint64_t mass = 0;
      for (uint32_t j = 0; j < tree_.m; ++j)
        if (!assigned_[j] && !excluded(n, j)) mass += tree_.weight[j];
      if (mass < least) least = mass, best = n;
    }
    return best;
  }
  if (exclusions_.empty()) return best;
  uint64_t most = massOf_[best];
  if (tree_.knobs.choices >= tree_.period) {
    uint32_t bestPlace = uint32_t(at);
    for (uint32_t w = 0; w < tree_.words; ++w) {
      uint64_t open = ~bits[w];
      if (w + 1 == tree_.words && tree_.period % 64 != 0) open &= (uint64_t(1) << (tree_.period % 64)) - 1;
      for (; open != 0; open &= open - 1) {
        const uint32_t n = w * 64 + uint32_t(std::countr_zero(open));
        const uint64_t mass = massOf_[n];
        if (mass > most || (mass == most && tree_.placeOf[n] < bestPlace))
          most = mass, best = n, bestPlace = tree_.placeOf[n];
      }
    }
    return best;
  }
  for (uint32_t tried = 0; tried < tree_.knobs.choices && at < tree_.order.size(); ++tried, at = firstOpen(bits, at + 1)) {
    const uint32_t n = tree_.order[at];
    if (massOf_[n] > most) most = massOf_[n], best = n;
  }
  return best;
}

// Adds to (or takes from) the loss of every exponent of a slot of prime j the prime's
// weight, as the slot is first excluded while j is free, or j is given a residue with
// the slot excluded (and back). A prime of period 1 weighs the same at every exponent,
// which changes no choice, so it is left out: it would touch all P of them.
template <class Counts>
void TreeWalk<Counts>::weigh(uint32_t j, uint32_t slot, bool add) {
  const uint32_t dd = tree_.d[j];
  if (dd == 1) return;
  const uint64_t w = add ? tree_.weight[j] : uint64_t(0) - tree_.weight[j];
  for (uint32_t n = slot - tree_.classStart[j]; n < tree_.period; n += dd) massOf_[n] += w;
}

// Gives prime j a residue on the path (on) or takes it back: its excluded slots, each
// once however often excluded, leave the losses or return to them.
template <class Counts>
void TreeWalk<Counts>::setAssigned(uint32_t j, bool on) {
  assigned_[j] = on;
  if (!weighing_ || excludedOf_[j] == 0 || tree_.d[j] == 1) return;
  if (++stamp_ == 0) std::fill(slotMark_.begin(), slotMark_.end(), 0), stamp_ = 1;
  for (const auto& [slot, k] : exclusions_)
    if (k == j && slotMark_[slot] != stamp_) slotMark_[slot] = stamp_, weigh(j, slot, !on);
}

// The place in the exponent order of the first open exponent at or after `from`.
template <class Counts>
size_t TreeWalk<Counts>::firstOpen(const uint64_t* bits, size_t from) const {
  for (size_t at = from; at < tree_.order.size(); ++at) {
    const uint32_t n = tree_.order[at];
    if ((bits[n >> 6] >> (n & 63) & 1) == 0) return at;
  }
  return tree_.order.size();
}

}  // namespace tree
