// The residue-class tree: the covered k of a range found by descending through
// classes k = r (mod M) instead of sieving every k.
//
// A candidate prime p of period d covers exponent n exactly when k = t_(n mod d)
// (mod p). A node of the tree is a class r mod M, M the product of the primes given a
// residue so far, together with the exponents 1..P that those primes cover. Every
// covered k of the class has, for some uncovered exponent n, a prime not yet given a
// residue that covers n, so the class splits into one child per such prime, joined
// to r by the Chinese remainder theorem; a k that several primes cover at n needs only
// the first of them, so the later children exclude the residues of the earlier ones.
// A class with no k in the range ends its branch, and so does one whose free primes
// cannot cover its open exponents even together (a prime of period d covers one class
// of exponents mod d, so at most the open exponents of its fullest class); a class of
// a few thousand k is sieved over its k and the few left confirmed exactly. The cost
// thus follows the number of partial covers that can still be completed, not the
// width of the range: wide ranges of bases whose candidate primes are few and large
// cost seconds where the sieve takes hours.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cover_sieve.h"

// Appends every covered k of [from, to] (1 <= from <= to <= 10^18) to `covered`, in
// ascending order, each once, using `threads` threads (1: the calling thread only).
// Returns false, with `covered` incomplete, when a stop was asked before the end.
bool residueSearch(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                   const StopToken& stop = {});

// A subtree of the tree of one range: the node reached from the root by giving a
// residue to these primes (indices into SieveTables::primes), one per level. The
// exponent each level covers, and so the whole class, follow from the path alone.
using pelund::TreeTask;

// Cuts the tree of [from, to] into at least `wanted` subtrees where it has that many
// (fewer when it is smaller), the widest split first. The list depends on the inputs
// alone, so every process computes the same one; together the subtrees hold every
// covered k of the range.
std::vector<TreeTask> residueTasks(const SieveTables& tables, int64_t from, int64_t to, size_t wanted);

// The tables of the tree of one range, built once for many searches of its subtrees
// (the ranks of a distributed search take them one by one).
struct TreeRange {
  virtual ~TreeRange() = default;
  int64_t from = 0, to = 0;
};
std::shared_ptr<const TreeRange> makeTreeRange(const SieveTables& tables, int64_t from, int64_t to);
std::vector<TreeTask> residueTasks(const TreeRange& range, size_t wanted);

// Searches tasks[first .. first + count - 1] (clipped to the list) of the list that
// residueTasks made for the same tables and range, on `threads` threads, and appends
// the covered k found there to `covered`, ascending and each once. A k may be found in
// two subtrees (when two primes cover the same exponent for it): the union over all
// tasks, sorted and made unique, is exactly what residueSearch finds. Returns false,
// with `covered` incomplete, when a stop was asked before the end. Throws
// pelund::Error for a path that no such list can hold.
bool residueSearchTasks(const SieveTables& tables, int64_t from, int64_t to, const std::vector<TreeTask>& tasks,
                        size_t first, size_t count, int threads, std::vector<int64_t>& covered,
                        const StopToken& stop = {});
bool residueSearchTasks(const TreeRange& range, const std::vector<TreeTask>& tasks, size_t first, size_t count,
                        int threads, std::vector<int64_t>& covered, const StopToken& stop = {});

// An estimate in seconds of what residueSearch(tables, from, to, threads=1, ...) costs on
// this machine, from random probes down the tree; itself cheap (a few milliseconds at most).
double residueCostEstimate(const SieveTables& tables, int64_t from, int64_t to);

// An estimate in seconds of what the block sieve costs per k for these tables on one
// thread, measured by sieving a small sample from `from`.
double sieveCostPerK(const SieveTables& tables, int64_t from);

// For measurements (bench/residue_bench): what the tree did at each depth, and the
// choices it can be run with. The search proper keeps no counts.
struct TreeLevelCounts {
  uint64_t nodes = 0;          // classes visited
  uint64_t bounded = 0;        // ended since their free primes cannot cover the open exponents
  uint64_t childTests = 0;     // children whose class was computed
  uint64_t listedClasses = 0;  // classes whose k were listed
  uint64_t listedK = 0;        // k listed (skipped ones included)
  uint64_t confirmed = 0;      // listed k found covered
  uint64_t survivors = 0;      // k of sieved classes left by their sieve, confirmed one by one
};
struct TreeMeasure {
  bool countingBound = true;    // end classes whose free primes cannot cover the open exponents
  uint64_t listBelow = 0;       // sieve a class of at most this many k (0: the default, by the count of primes)
  uint32_t choices = 0;         // open exponents weighed for each branch (0: the default, all)
  std::vector<TreeLevelCounts> levels;  // filled by the search
  bool plainBranch = false;     // weigh each exponent over every free prime (the same choice, slower)
  bool liftOrder = true;        // try first the children of primes that cover all lifts of an exponent or none
  bool liftSieve = true;        // sieve a class first at the lifts of its path's exponents
  bool quickBound = true;       // pass most nodes by the averages of their classes before counting (the same nodes)
  bool liftTrim = true;         // at a lift, pass over the primes known to be excluded there (the same places)
};
bool residueSearchMeasured(const SieveTables& tables, int64_t from, int64_t to, int threads,
                           std::vector<int64_t>& covered, TreeMeasure& measure);
