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

  SearchParams params;
  CandidateTable table;
  SieveTables sieve;

 private:
  mutable std::mutex treeMutex;
  mutable std::shared_ptr<const TreeRange> lastTree;
};
