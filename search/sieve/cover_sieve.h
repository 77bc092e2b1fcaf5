// The fast k walk: a sieve over blocks of consecutive k that finds exactly the k
// that the candidate primes cover, without any exponentiation per k.
//
// For a candidate prime p of period d and a k with t = k mod p, p divides k*b^n + c
// exactly when b^n = -c/t (mod p). The d powers of b are distinct, so each exponent
// class e (1 <= e <= d) belongs to one residue t_e = -c*b^(-e) mod p, and the first
// hit of p for k is e exactly when k = t_e (mod p). Exponent n (1 <= n <= P) is thus
// covered for k exactly when k lies in one of the classes t_(n mod d_j) mod p_j, one
// per prime. Since every period divides P, covering 1..P covers 1..2P.
//
// A block starts from the k that are not skipped and keeps, exponent by exponent,
// those in the union of these classes: a bitmap AND of an OR of periodic patterns
// (word patterns for primes below 64, strides above). The exponents are taken in an
// order chosen greedily on a sample block, so that few of them leave few survivors.
// Those are then followed one by one: their residues mod every prime are taken once,
// and each further exponent costs one comparison per prime until some exponent is
// left uncovered; the few that pass are confirmed on a bit set of all P exponents.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "table.h"

// A modulus whose residue classes are marked in a block: a candidate prime, whose
// classResidue[e-1] is the k mod p with first hit e, or a skip with one residue.
struct SievePrime {
  uint32_t p = 0;
  uint32_t d = 0;                       // period
  std::vector<uint32_t> classResidue;   // [e-1]: the k mod p whose first hit is e
  std::vector<uint32_t> sortedResidue;  // classResidue sorted, for the lookup of e by residue
  std::vector<uint16_t> sortedClass;    // e of each sortedResidue entry
  std::vector<uint64_t> patterns;       // p < 64: word u of residue r at [r * p + u]

  // First hit e (1..d) of k whose residue is t, or 0 when p covers nothing for it.
  uint32_t classOf(uint32_t t) const;
};

// A modulus q with the given classes ([e-1]: the k mod q whose first hit is e; one
// residue for a skip, with d = 1).
SievePrime makeSievePrime(uint32_t q, uint32_t d, std::vector<uint32_t> residues);

// Everything the sieve needs that does not depend on k; built once, shared by threads.
// The residue tree searches from the same tables.
struct SieveTables {
  SieveTables(const SearchParams& params, const CandidateTable& table);
  // From the classes themselves: the primes in the lines' trial order (ascending
  // period, then prime) and the skips; the exponents' order is sampled from k =
  // `sampleFrom` on.
  SieveTables(int32_t period, std::vector<SievePrime> primes, std::vector<SievePrime> skips, int64_t sampleFrom);

  int32_t period = 0;
  std::vector<SievePrime> primes;    // periodOrderedList order
  std::vector<SievePrime> skips;     // classes of k that are skipped: b | k, f | k + c
  std::vector<uint32_t> classOrder;  // the exponents 1..P in the order in which they are sieved
  // For the first exponents of classOrder: row i holds, per prime, the residue of k
  // covered at exponent classOrder[i], so that one survivor is tested with a scan.
  std::vector<uint32_t> residueRows;
  size_t rowCount = 0;
  bool searchable = false;  // at least two candidate primes
  double classCost = 0;     // cost of sieving one exponent, per 64 k of the block
  double survivorCost = 0;  // cost of taking one survivor's residues

 private:
  void complete(int64_t sampleFrom);
  void tableRows();
  friend SieveTables shiftedSieveTables(const SieveTables&, const std::function<uint32_t(uint32_t)>&);
};

// The tables of the same search for k = origin + t: every class of a prime or a skip q
// moved by -(origin mod q), `originMod(q)` giving origin mod q, the exponents' order
// kept. Whether a k is covered depends on k mod q alone, so both engines find on them
// exactly the t for which origin + t is covered: a range of k beyond 10^18 (up to 2^256)
// is searched as t = 1 .. its width.
SieveTables shiftedSieveTables(const SieveTables& tables, const std::function<uint32_t(uint32_t)>& originMod);

// Exponent sets of 1..P as bits 0..P-1: sets the bits of n = e, e + d, ... <= P.
inline void markExponentClass(uint64_t* bits, uint32_t e, uint32_t d, uint32_t period) {
  for (uint32_t n = e - 1; n < period; n += d) bits[n >> 6] |= uint64_t(1) << (n & 63);
}

// Whether every exponent 1..P is in the set.
inline bool coversEveryExponent(const uint64_t* bits, uint32_t period) {
  for (uint32_t w = 0; w < period / 64; ++w)
    if (bits[w] != ~uint64_t(0)) return false;
  return period % 64 == 0 || bits[period / 64] == (uint64_t(1) << (period % 64)) - 1;
}

// First hit of each prime of `tables.primes` for k (0 where it has none).
void firstHits(const SieveTables& tables, int64_t k, std::vector<uint32_t>& hits);

// One thread's working memory for sieving blocks.
class BlockSieve {
 public:
  static constexpr int64_t kBlockSpan = 1 << 18;  // k per block

  explicit BlockSieve(const SieveTables& tables, StopToken stop = {});

  // Appends every covered k of [from, to] (to - from < kBlockSpan) to `covered`, in
  // ascending order. Returns false, with `covered` incomplete, when the stop token
  // asked to stop before the block was done.
  bool sieve(int64_t from, int64_t to, std::vector<int64_t>& covered);

  // Picks up to `picks` exponents greedily, each the one that leaves the fewest
  // survivors in a sample block of `words` * 64 k from `sampleStart`; then the rest in
  // ascending order.
  std::vector<uint32_t> greedyOrder(int64_t sampleStart, int words, size_t picks);

 private:
  void startBlock(int64_t from, int64_t to);
  void markClass(uint32_t n);
  int64_t keepMarked();
  bool survives(uint64_t offset, size_t firstRow);
  bool coversAll();

  const SieveTables& tables_;
  const StopToken stop_;
  int64_t base_ = 0;  // k of bit 0 of the block, a multiple of 64
  int words_ = 0;
  std::vector<uint32_t> baseResidue_;  // base_ mod p, per prime
  std::vector<uint32_t> wordPhase_;    // (base_ / 64) mod p, per prime below 64
  std::vector<uint64_t> survivors_;    // k of the block still possibly covered
  std::vector<uint64_t> hitsAtClass_;  // k covered at the exponent being sieved
  std::vector<uint64_t> coverage_;     // exponents covered by one survivor
  std::vector<uint32_t> residues_;     // one survivor's residue mod each prime
};
