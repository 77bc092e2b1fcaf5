// What a pelund::Search holds: its parameters, its candidate table and the engines'
// read-only tables built from them, shared by every walk and thread of the search.
#pragma once

#include <memory>
#include <mutex>

#include "cover_sieve.h"
#include "residue_tree.h"
#include "table.h"

struct pelund::SearchTables {
  SearchTables(const SearchParams& p, const CandidateTable& t) : params(p), table(t), sieve(p, t) {}

  // The tree's tables of the range last asked for: the subtrees of one range are
  // searched many times over, each a fraction of a millisecond.
  std::shared_ptr<const TreeRange> treeRange(int64_t from, int64_t to) const {
    std::lock_guard lock(treeMutex);
    if (!lastTree || lastTree->from != from || lastTree->to != to) lastTree = makeTreeRange(sieve, from, to);
    return lastTree;
  }

  // The tree's cost estimate of the range last asked for: the walk weighs each part's
  // engines by it, and a runner that spreads the part over processes cuts it by the
  // same estimate, a few milliseconds of probes that need not run twice.
  double treeCost(int64_t from, int64_t to) const {
    std::lock_guard lock(costMutex);
    if (costFrom != from || costTo != to) cost = residueCostEstimate(sieve, from, to), costFrom = from, costTo = to;
    return cost;
  }

  SearchParams params;
  CandidateTable table;
  SieveTables sieve;

 private:
  mutable std::mutex treeMutex;
  mutable std::shared_ptr<const TreeRange> lastTree;
  mutable std::mutex costMutex;
  mutable int64_t costFrom = 1, costTo = 0;
  mutable double cost = 0;
};
