// The wide search: covering sets for k up to 2^256 with candidate primes up to 2^64
// and periods up to 65520, by a residue-class tree over 256-bit classes; and, where
// the candidates are within the 64-bit engines' bounds (primes up to 1e9, P up to
// 5040, b below 2^31), by those engines on a part of up to 1e18 k anywhere: the part
// k0+1 .. k0+W is the search of t = 1 .. W with every class moved by k0 modulo its
// prime (cover_sieve.h, shiftedSieveTables), the block sieve or the 64-bit tree as
// their cost estimates choose.
//
// It is the tree of tree/residue_tree.h with wider numbers. A candidate prime p of
// period d covers exponent n exactly for the k = t_(n mod d) (mod p), t_e = -c*b^(-e);
// a node is a class k = from + s (mod M), M the product of the primes given a
// residue on its path, with the exponents 1..P those primes cover. A node is split on
// one open exponent n into one child per free prime (the class joined to the prime's
// residue at n by the Chinese remainder theorem); below a later sibling the residues
// of the primes tried before it at n are excluded, since their k lie in the earlier
// subtrees. A branch ends when its class holds no k of the range, or when its free
// primes cannot cover the open exponents even together (a prime of period d covers
// at most the open exponents of one class modulo d). A class of a few k (above all
// one whose modulus passes the width of the range, which holds one k at most) is not
// split: each of its k is tested against the free primes from its residues, which
// the walk keeps for every free prime at every level, one product each.
//
// Residues modulo the primes are 64-bit (products in 128 bits), the classes 256-bit
// with checked products: a child whose modulus or least k passes 2^256 holds one k
// at most, or none. The lines are those of the 64-bit search (lines/fast_cover.h):
// the first prime of the trial order (ascending period, then prime) at each exponent,
// the set's period the lcm of its primes' periods or, when the primes of the largest
// period's divisors cover on their own, that period.
//
// API (the configuration, the console and the state of a run are wired to it):
//   WideSearch search(params, candidates);   // candidates ascending by prime
//   search.walk(from, to, sink, stop);        // parts to the sink in ascending k
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <pelund/pelund.hpp>

#include "u256.h"
#include "wide_prime.h"

namespace pelund::wide {

// A wide search's settings: b >= 2, c = +1 or -1, P up to 65520, 1 <= minK <= maxK
// (the walk takes its own range), threads as pelund::SearchParams has them (0: all).
struct WideParams {
  int64_t base = 0;
  int32_t c = 0;
  uint32_t period = 0;
  U256 minK, maxK;
  int threads = 0;
};

// A finished part of the range: every k of [from, to] searched, the lines of the
// covered ones in ascending k ("k  P  [p, ...]\n" each), their k and line ends.
struct WidePart {
  U256 from, to;
  std::string text;
  std::vector<U256> ks;
  std::vector<uint32_t> ends;

  void add(const U256& k, std::string_view line) {
    text += line;
    ks.push_back(k);
    ends.push_back(uint32_t(text.size()));
  }
};

// A tree part searched in part (by the wide tree, or beyond 1e18 by the 64-bit tree on
// shifted tables, each with its own list): the first `done` subtrees of the list made
// for `wanted` subtrees are searched, and `covered` holds the covered k they hold,
// ascending and each once; `list` is a hash of the list (below 2^63), so that a list
// made otherwise starts the part again. Given back to the walk, it goes on from there
// (with the same search, on any number of threads).
struct WideTreeProgress {
  U256 from, to;
  uint64_t wanted = 0;  // 0: no part in progress
  uint64_t list = 0;
  uint64_t done = 0;
  std::vector<U256> covered;
};

// Where finished parts go, one after another in ascending k, with no gap.
class WideSink {
 public:
  virtual ~WideSink() = default;
  virtual void partDone(const WidePart&) = 0;
  // How far a long tree part has come, before its partDone: about every
  // quarter of a second while it is searched, and once more when a stop ends it.
  // Called on the walk's thread; the default ignores it.
  virtual void treeProgress(const WideTreeProgress& progress) { (void)progress; }
};

struct WideTables;  // the search's read-only tables

class WideSearch {
 public:
  // `candidates` ascending by prime, each with its period dividing P (a prime that
  // divides b or b-1 covers nothing the search reports and is left out). Throws
  // pelund::Error for settings out of range.
  WideSearch(const WideParams& params, std::vector<WidePrime> candidates);
  ~WideSearch();
  WideSearch(WideSearch&&) noexcept;
  WideSearch& operator=(WideSearch&&) noexcept;

  const WideParams& params() const;
  // Whether any k can be reported: two candidates at least.
  bool searchable() const;

  // Walks k = from .. to ascending in consecutive parts (growing geometrically)
  // handed to `sink` with no gap; nothing when from > to. False when stopped: every
  // k below the end of the last part handed over searched, none after. `walking(from,
  // to)` is called as each part starts (may be an empty function).
  bool walk(const U256& from, const U256& to, WideSink& sink, const StopToken& stop,
            const std::function<void(const U256&, const U256&)>& walking = {}) const;
  // The same walk ended after its first `maxLines` lines (0: no limit): the last part
  // handed over then ends at the k of the last of them. True when the range was
  // walked or the lines were found, false when stopped first. `resume`, the sink's
  // last treeProgress of an earlier walk of the same search from `from`, goes on with
  // that part.
  bool walkLines(const U256& from, const U256& to, uint64_t maxLines, WideSink& sink, const StopToken& stop,
                 const std::function<void(const U256&, const U256&)>& walking = {},
                 const WideTreeProgress* resume = nullptr) const;

  // The covered k of [from, to] (from <= to), ascending and each once, by the wide tree
  // alone on the search's threads. False, with `covered` incomplete, when stopped.
  bool tree(const U256& from, const U256& to, std::vector<U256>& covered, const StopToken& stop) const;

  // The line of one covered k (with "\n"), the same rule as the 64-bit lines; empty
  // when k is not covered (or lies in a class the search leaves out: b | k, or a
  // prime factor of b-1 dividing every term).
  std::string lineOf(const U256& k) const;

 private:
  std::unique_ptr<WideTables> tables_;
};

}  // namespace pelund::wide
