// The independent check of one line of covering.txt: re-proved from scratch with exact
// modular arithmetic, sharing nothing with the search that wrote it.
//
// A line "k  P  [p1, p2, ...]" claims that every k*b^n + c (n >= 1) has one of the
// listed primes as a factor. That holds exactly when each p is prime, b^P = 1 (mod p)
// (so the order of b modulo p divides P and p's hits repeat every P exponents) and
// every n from 1 to P has some p dividing k*b^n + c: the pattern of hits over
// 1 .. P then repeats for all n. A divisor proves a term composite only when it is not
// the term itself, so no term may equal a listed prime: the terms grow with n, and
// only the few n with k*b^n + c below 2^32 need that test.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "verify_algebraic.h"

namespace verify {

// Deterministic Miller-Rabin: the bases 2, 7 and 61 decide every n below 2^32.
bool isPrime(uint32_t n);

// b^e mod m for m >= 1 (products below 2^64 since m < 2^32).
uint32_t powMod(uint32_t b, uint64_t e, uint32_t m);

// The least d >= 1 with b^d = 1 (mod p), for a prime p not dividing b: the divisor of
// p-1 left after taking out each prime factor of p-1 as long as the power stays 1.
uint32_t multiplicativeOrder(uint32_t b, uint32_t p);

// The least n >= 1 for which k*b^n + c is one of `primes` (ascending), 0 when none
// is; base >= 2, k >= 1, c = +-1. Such a term is prime whatever divides it.
uint32_t firstPrimeTerm(int64_t k, uint64_t base, int32_t c, const std::vector<uint32_t>& primes);

// The reason a line fails when term n is the listed prime, as checkLine gives it.
std::string primeTermFault(int64_t k, uint64_t base, int32_t c, uint32_t n);

// A line as written: k, the period and the primes in the order written, and the
// algebraic classes of a line that has them (see verify_algebraic.h).
struct CoveringLine {
  int64_t k = 0;
  uint32_t period = 0;
  std::vector<uint32_t> primes;
  std::vector<ClaimedClass> classes;
};

// Reads `text` (one line including its final '\n') in the exact layout
// "%I64d  %u  [p1, p2, ...]\n", or with algebraic classes after the "]" (the list
// of primes then possibly empty), into `line`. Returns "" on success, else the reason.
std::string parseLine(std::string_view text, CoveringLine& line);

// The outcome for one line: `fault` is empty when the line is a proof of coverage;
// `parsed` tells whether k could be read (for the ascending-k check across lines).
struct LineVerdict {
  std::string fault;
  bool parsed = false;
  int64_t k = 0;
};

// Where a listed prime p (prime, not dividing b) divides the terms: b has the order
// `order` modulo p, and p divides k*b^n + c exactly for n = first (mod order), first in
// 1 .. order, or for no n when first is 0 (p | k, or -c/k no power of b modulo p).
struct PrimeHits {
  uint32_t order = 0;
  uint32_t first = 0;
};

// One walk of k*b^n mod p over n = 1 .. the order of b, or `limit` steps when that comes
// first (the order is then `limit`: only for an order that does not divide it).
PrimeHits primeHits(int64_t k, uint64_t base, int32_t c, uint64_t p, uint32_t limit);

// What a line proves, class by class: given by checkLine once the line's primes and
// claims hold (each prime's order dividing the period, each claim its true class), also
// when its coverage or a prime term then fails. `hits` follow the listed primes, `ys`
// the claims: y at the claim's smallest n >= 1.
struct LineProof {
  bool known = false;
  uint32_t span = 0;
  std::vector<PrimeHits> hits;
  std::vector<uint64_t> ys;
};

// Parses `text` and proves (or refutes) its covering set for base b (2 to 10^9, as a
// search takes it) and sign c (+-1); with `line` and `proof` also gives the line as
// read and its classes.
LineVerdict checkLine(std::string_view text, int64_t base, int32_t c, CoveringLine* line = nullptr,
                      LineProof* proof = nullptr);

}  // namespace verify
