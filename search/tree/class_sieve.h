// The leaves of the residue tree: a class whose every exponent is covered is listed
// (all its k but the skipped ones); a class of a few thousand k is not split further
// but sieved over its places, a bitmap per open exponent with one progression per
// free prime, and the few k left confirmed one by one from their residues. Member
// templates of TreeWalk (tree_walk.h).
#pragma once

#include <algorithm>
#include <bit>

#include "bit_counts.h"
#include "tree_walk.h"

namespace tree {

constexpr uint64_t kSurvivorCost = 640;  // a survivor's confirmation costs about as much as sieving 640 places
constexpr uint64_t kStepPerPrime = 16;   // and a sieved exponent 16 places per free prime beyond its places

// Lists the k of a class whose every exponent is covered: all but the skipped ones.
template <class Counts>
void TreeWalk<Counts>::listClass(size_t level) {
  const Level& node = levels_[level];
  counts.listed(level, node.count);
  for (uint64_t c = 0; c < node.count; ++c) {
    if (poll()) return;
    const int64_t k = tree_.from + int64_t(node.s + node.M * c);
    if (!skipped(k)) covered.push_back(k), counts.confirmed(level);
  }
}

// The k of a small class that are covered, by a sieve over their places c (k = from +
// s + M*c, c below the count): each open exponent in turn keeps the places that some
// free prime covers there, the progression c = i (mod p) of its child; the few left
// once the places thin out are confirmed one by one.
template <class Counts>
void TreeWalk<Counts>::sieveClass(size_t level) {
  const uint64_t count = levels_[level].count;
  counts.listed(level, count);
  const size_t words = size_t((count + 63) / 64);
  const uint64_t* bits = bitsAt(level);
  uint64_t left = count;
  // Sieving goes on while the survivors would cost more to confirm than one more
  // exponent costs to sieve: its places, and a residue for each free prime. The first
  // exponent's hits are the places alive.
  const uint64_t stepCost = count + kStepPerPrime * tree_.m;
  bool first = true;
  auto sieveAt = [&](uint32_t n, uint32_t q = kNone, uint32_t before = 0) {
    uint64_t* hits = first ? alive_.data() : hits_.data();
    markHits(level, n, count, hits, q, before);
    left = first ? countPlaces(hits, words) : keepHits(alive_.data(), hits, words);
    first = false;
  };
  // First the open lifts of the exponents that primes of the path cover alone among
  // their lifts (see orderChildren): the primes tried before them at the node, those
  // that cover all lifts or none, are excluded there, so few free primes hit them; the
  // lifts of the largest such q first, whose high primes are the fewest and whose
  // lifts the most, and of each q those of the deepest level first.
  // Every covered k of the class not found in an earlier sibling's subtree has a free
  // prime, not excluded, at every open exponent, whichever exponents are sieved and
  // in whatever order, so the choice changes only how many survive to be confirmed.
  sieved_.clear();
  if (tree_.knobs.liftSieve)
    for (uint32_t q = uint32_t(tree_.liftPrimes.size()); q-- > 0 && left * kSurvivorCost > stepCost;)
      for (size_t l = level; l-- > 0 && left * kSurvivorCost > stepCost;) {
        if ((tree_.highFor[path_[l]] >> q & 1) == 0) continue;
        const uint32_t step = tree_.liftSteps[q];
        for (uint32_t i = 1, n = branch_[l]; i < tree_.liftPrimes[q] && left * kSurvivorCost > stepCost; ++i) {
          if ((n += step) >= tree_.period) n -= tree_.period;
          if ((bits[n >> 6] >> (n & 63) & 1) != 0 || std::find(sieved_.begin(), sieved_.end(), n) != sieved_.end())
            continue;
          sieveAt(n, tree_.knobs.liftTrim ? q : kNone, tree_.rank[path_[l]]), sieved_.push_back(n);
        }
      }
  for (size_t at = firstOpen(bits, 0); at < tree_.order.size() && left * kSurvivorCost > stepCost;
       at = firstOpen(bits, at + 1))
    if (std::find(sieved_.begin(), sieved_.end(), tree_.order[at]) == sieved_.end()) sieveAt(tree_.order[at]);
  if (first) {  // nothing sieved: every place is alive
    std::fill_n(alive_.begin(), words, ~uint64_t(0));
    if (count % 64 != 0) alive_[words - 1] = (uint64_t(1) << (count % 64)) - 1;
  }
  for (size_t w = 0; w < words && left != 0; ++w)
    for (uint64_t live = alive_[w]; live != 0; live &= live - 1) {
      if (poll()) return;
      confirmSurvivor(level, w * 64 + uint64_t(std::countr_zero(live)));
    }
}

// hits: the places c below `count` of the class at `level` at which some free prime,
// not excluded, covers exponent n (the progression c = i mod p of its child).
//
// At a lift n of the exponent that a prime high for q covers on the path, `before` is
// that prime's place in the child order: every prime tried before it at its node and
// low for q was excluded there at a class that holds all the lifts, n among them, so
// of those only the primes high for q are looked at (at 5040, half the primes or more).
template <class Counts>
void TreeWalk<Counts>::markHits(size_t level, uint32_t n, uint64_t count, uint64_t* hits, uint32_t q,
                                uint32_t before) {
  const size_t words = size_t((count + 63) / 64);
  std::fill_n(hits, words, 0);
  auto mark = [&](uint32_t j) {
    if (!assigned_[j] && !excluded(n, j)) markPrime(hits, words, count, j, childIndex(level, n, j));
  };
  if (q == kNone) {
    for (uint32_t j = 0; j < tree_.m; ++j) mark(j);
    return;
  }
  for (uint32_t j : tree_.highOrder[q]) {
    if (tree_.rank[j] >= before) break;
    mark(j);
  }
  for (uint32_t at = before; at < tree_.m; ++at) mark(tree_.childOrder[at]);
}

// Marks prime j's places c, c + p, ... below `count`. A prime below 64 hits every word
// in a shift of one pattern, its multiples below 64: the first hit of each word moves
// back by 64 mod p from word to word.
template <class Counts>
void TreeWalk<Counts>::markPrime(uint64_t* hits, size_t words, uint64_t count, uint32_t j, uint64_t c) {
  const uint32_t p = tree_.p[j];
  if (p < 64) {
    const uint64_t pattern = tree_.smallPattern[j];
    const uint32_t back = 64 % p;
    for (size_t w = c >> 6, at = c & 63; w < words; ++w) {
      hits[w] |= pattern << at;
      at = at >= back ? at - back : at + p - back;
    }
    if (count % 64 != 0) hits[words - 1] &= (uint64_t(1) << (count % 64)) - 1;
  } else {
    for (; c < count; c += p) hits[c >> 6] |= uint64_t(1) << (c & 63);
  }
}

// Confirms the k at place c of the class, from its residues modulo the free primes.
template <class Counts>
void TreeWalk<Counts>::confirmSurvivor(size_t level, uint64_t c) {
  const Level& node = levels_[level];
  const uint64_t x = uint64_t(node.s + node.M * c);  // k - from, below the width (< 2^60)
  const int64_t k = tree_.from + int64_t(x);
  if (skipped(k)) return;
  counts.survived(level);
  for (uint32_t j = 0; j < tree_.m; ++j)
    if (!assigned_[j]) xRes_[j] = tree_.mod[j](x);
  if (confirm(level)) covered.push_back(k), counts.confirmed(level);
}

template <class Counts>
bool TreeWalk<Counts>::skipped(int64_t k) const {
  for (const SievePrime& skip : tree_.sieve.skips)
    if (uint64_t(k) % skip.p == skip.classResidue[0]) return true;
  return false;
}

// Whether the listed k (its residues in xRes_) covers every exponent, given those that
// the primes on the path cover: each open exponent, hardest first, needs a free prime.
template <class Counts>
bool TreeWalk<Counts>::confirm(size_t level) {
  std::copy_n(bitsAt(level), tree_.words, scratch_.begin());
  for (size_t at = firstOpen(scratch_.data(), 0); at < tree_.order.size(); at = firstOpen(scratch_.data(), at + 1)) {
    const uint32_t n = tree_.order[at];
    const uint32_t* residues = &tree_.residueAt[size_t(n) * tree_.m];
    uint32_t j = 0;
    while (j < tree_.m && (assigned_[j] || xRes_[j] != residues[j])) ++j;
    if (j == tree_.m) return false;
    tree_.markClass(scratch_.data(), n, j);
  }
  return true;
}

}  // namespace tree
