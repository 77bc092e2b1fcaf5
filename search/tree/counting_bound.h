// The counting bound of the residue tree: a prime of period d covers the exponents of
// one class modulo d at most, so a node whose free primes, each counted with the most
// open exponents of any class of its period (excluded classes left out where masks
// make that cheap), fall short of its open exponents holds no covered k and ends its
// branch. Member templates of TreeWalk (tree_walk.h), called at every split node.
#pragma once

#include <algorithm>
#include <bit>

#include "bit_counts.h"
#include "tree_walk.h"

namespace tree {

// The most open exponents in one class modulo the period, leaving out the classes
// excluded for `prime` (kNone: none; periods up to 64 only): the most that a prime of
// that period can still cover.
template <class Counts>
uint32_t TreeWalk<Counts>::mostOpenInOneClass(const uint64_t* bits, uint32_t periodIndex, uint32_t prime) {
  const uint32_t dd = tree_.periods[periodIndex], full = tree_.period / dd, words = tree_.words;
  uint32_t most = 0;
  if (tree_.maskStart[periodIndex] != kNone) {
    const uint64_t* masks = &tree_.classMasks[tree_.maskStart[periodIndex]];
    if (prime == kNone) return mostOpenOfMasks(masks, dd, bits, words, full);
    const uint16_t* out = &excluded_[tree_.classStart[prime]];
    for (uint32_t e = 0; e < dd && most < full; ++e)
      if (out[e] == 0) most = std::max(most, mostOpenOfMasks(masks + size_t(e) * words, 1, bits, words, full));
    return most;
  }
  std::fill_n(classCount_.begin(), dd, 0);
  for (uint32_t w = 0; w < words; ++w)
    for (uint64_t open = ~bits[w] & (w + 1 < words || tree_.period % 64 == 0 ? ~uint64_t(0)
                                                                             : (uint64_t(1) << (tree_.period % 64)) - 1);
         open != 0 && most < full; open &= open - 1)
      most = std::max<uint32_t>(most, ++classCount_[(w * 64 + uint32_t(std::countr_zero(open))) % dd]);
  return most;
}

// The counting bound: whether the free primes, each covering the open exponents of at
// most one class modulo its period, can cover every open exponent between them.
//
// Most nodes pass without counting classes: the open exponents of a prime's classes
// not excluded for it (x of its d classes excluded, P/d exponents in each) are at least
// open - x*P/d, so its fullest such class holds at least (open - x*P/d) / (d - x), a
// bound that only falls as x grows (open <= P); where those averages sum to the open
// exponents, so do the counts. (Rounding there can only let a node pass that the count
// would end, which costs time, never a covered k.)
template <class Counts>
bool TreeWalk<Counts>::coverable(size_t level) {
  const uint64_t* bits = bitsAt(level);
  const uint32_t open = openCount(bits, tree_.words, tree_.period);
  double least = 0;
  if (tree_.knobs.quickBound)
    for (uint32_t j = 0; j < tree_.m; ++j) {
      if (assigned_[j]) continue;
      const uint32_t dd = tree_.d[j], x = tree_.maskStart[tree_.periodIndex[j]] == kNone ? 0 : excludedOf_[j];
      if (x < dd && open > uint64_t(x) * tree_.share[j] && (least += double(open - x * tree_.share[j]) / (dd - x)) >= open)
        return true;
    }
  std::fill(periodMost_.begin(), periodMost_.end(), kNone);
  uint32_t total = 0;
  for (uint32_t j = 0; j < tree_.m; ++j)
    if (!assigned_[j] && (total += mostOf(bits, j)) >= open) return true;
  return false;
}

}  // namespace tree
