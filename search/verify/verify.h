// The independent check of one line of covering.txt: re-proved from scratch with exact
// modular arithmetic, sharing nothing with the search that wrote it.
//
// A line "k  P  [p1, p2, ...]" claims that every k*b^n + c (n >= 1) has one of the
// listed primes as a factor. That holds exactly when each p is prime, b^P = 1 (mod p)
// (so the order of b modulo p divides P and p's hits repeat every P exponents) and
// every n from 1 to P has some p dividing k*b^n + c: the pattern of hits over
// 1 .. P then repeats for all n. A divisor proves a term composite only when it is not
// the term itself, so no term may equal a listed prime: the terms grow with n, and
// only the few n with k*b^n + c below 2^64 need that test.
//
// A line may be wide: k up to 2^256-1, primes up to 2^64-1 and a period up to 65520.
// k enters the proof only as k mod p, taken from its four 64-bit limbs.
#pragma once

#include <climits>
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

// Whether n < 2^64 is prime: isPrime below 2^32, else Miller-Rabin on the first twelve
// primes as bases (see search/table/mulmod64.h).
bool isPrimeWide(uint64_t n);

// The least d >= 1 with b^d = 1 (mod p), for a prime p not dividing b: the divisor of
// p-1 left after taking out each prime factor of p-1 as long as the power stays 1.
uint32_t multiplicativeOrder(uint32_t b, uint32_t p);

// The same for a prime p below 2^64 (b below p, not 0): p-1 split into its primes by
// trial division up to 2^10, then Pollard's rho (Brent's cycles, Montgomery products)
// on what is left, at most about 2^16 steps for a rest of two 32-bit primes.
uint64_t multiplicativeOrder64(uint64_t b, uint64_t p);

// A whole number 0 <= k < 2^256 in four 64-bit limbs, least significant first.
struct WideK {
  uint64_t limb[4] = {0, 0, 0, 0};

  bool fitsU64() const { return (limb[1] | limb[2] | limb[3]) == 0; }
  bool fitsI64() const { return fitsU64() && limb[0] <= uint64_t(INT64_MAX); }
  // k mod m for m >= 1.
  uint64_t mod(uint64_t m) const {
    unsigned __int128 rest = 0;
    for (int i = 3; i >= 0; --i) rest = ((rest << 64) | limb[i]) % m;
    return static_cast<uint64_t>(rest);
  }
};

// Reads k at `pos` as "%I64d" and its wide kin write it: digits only, no sign, no
// leading zero, below 2^256; "" and the value and its text, or the reason (at most
// 79 digits are looked at, so a long number costs no more).
std::string readK(std::string_view text, size_t& pos, WideK& k, std::string& kText);

// Whether the decimal texts (digits, no leading zero) hold a > b.
bool decimalAbove(std::string_view a, std::string_view b);

// The least n >= 1 for which k*b^n + c is one of `primes` (ascending), 0 when none
// is; base >= 2, k >= 1, c = +-1. Such a term is prime whatever divides it. A k of
// 2^64 or more has no such term: every term is then above 2^64.
uint32_t firstPrimeTerm(const WideK& k, uint64_t base, int32_t c, const std::vector<uint64_t>& primes);

// The reason a line fails when term n is the listed prime, as checkLine gives it.
std::string primeTermFault(uint64_t k, uint64_t base, int32_t c, uint32_t n);

// A line as written: k (`k` itself when it is below 2^63, else 0), the period and the
// primes in the order written, and the algebraic classes of a line that has them (see
// verify_algebraic.h).
struct CoveringLine {
  int64_t k = 0;
  WideK wideK;
  std::string kText;
  uint32_t period = 0;
  std::vector<uint64_t> primes;
  std::vector<ClaimedClass> classes;
};

// Reads `text` (one line including its final '\n') in the exact layout
// "%I64d  %u  [p1, p2, ...]\n", or with algebraic classes after the "]" (the list
// of primes then possibly empty), into `line`. Returns "" on success, else the reason.
std::string parseLine(std::string_view text, CoveringLine& line);

// The outcome for one line: `fault` is empty when the line is a proof of coverage;
// `parsed` tells whether k could be read (for the ascending-k check across lines):
// `kText` is then k in decimal, and `k` its value when below 2^63 (else 0).
struct LineVerdict {
  std::string fault;
  bool parsed = false;
  int64_t k = 0;
  std::string kText;
};

// Where a listed prime p (prime, not dividing b) divides the terms: b has the order
// `order` modulo p, and p divides k*b^n + c exactly for n = first (mod order), first in
// 1 .. order, or for no n when first is 0 (p | k, or -c/k no power of b modulo p).
struct PrimeHits {
  uint32_t order = 0;
  uint32_t first = 0;
};

// One walk of k*b^n mod p over n = 1 .. the order of b, or `limit` steps when that comes
// first (the order is then `limit`: only for an order that does not divide it), from
// kModP = k mod p.
PrimeHits primeHits(uint64_t kModP, uint64_t base, int32_t c, uint64_t p, uint32_t limit);

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

// The largest period and span a line may have (that of a wide search's residue tree).
inline constexpr uint32_t kLargestPeriod = 65520;

// Parses `text` and proves (or refutes) its covering set for base b (2 to 10^9, as a
// search takes it) and sign c (+-1); with `line` and `proof` also gives the line as
// read and its classes. A line with algebraic classes and k of 2^63 or more is
// refused: its claims are checked with 64-bit arithmetic.
LineVerdict checkLine(std::string_view text, int64_t base, int32_t c, CoveringLine* line = nullptr,
                      LineProof* proof = nullptr);

}  // namespace verify
