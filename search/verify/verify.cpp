// The independent checker of covering.txt (see verify.h for the mathematics).
//
// Everything is exact and small: the listed primes are below 2^32, so every residue
// is below 2^32 and every product of two residues fits in 64 bits; k (up to 2^63-1)
// enters only as k mod p. A line costs at most about P modular multiplications per
// prime for period P (one walk of the prime's order of b), and a refused order a few
// microseconds: the work of a line is bounded by its size.
#include "verify.h"

#include <algorithm>
#include <numeric>


namespace verify {

uint32_t powMod(uint32_t b, uint64_t e, uint32_t m) {
  uint64_t result = 1 % m;
  uint64_t square = b % m;
  for (; e != 0; e >>= 1) {
    if (e & 1) result = result * square % m;
    square = square * square % m;
  }
  return static_cast<uint32_t>(result);
}

bool isPrime(uint32_t n) {
  if (n < 2) return false;
  for (uint32_t small : {2u, 3u, 5u, 7u, 11u, 13u, 61u}) {
    if (n % small == 0) return n == small;
  }
  uint32_t d = n - 1;
  int twos = 0;
  for (; d % 2 == 0; d /= 2) ++twos;
  for (uint32_t witness : {2u, 7u, 61u}) {
    uint64_t x = powMod(witness, d, n);
    bool passes = x == 1 || x == n - 1;
    for (int r = 1; r < twos && !passes; ++r) {
      x = x * x % n;
      passes = x == n - 1;
    }
    if (!passes) return false;
  }
  return true;
}

namespace {

// A proper factor of the composite n (2^20 <= n < 2^32) whose two prime factors exceed
// 100, by Pollard's rho (x -> x^2 + c, Floyd's cycle finding; another c when the cycle
// closes on n itself): about n^(1/4) steps.
uint32_t properFactor(uint32_t n) {
  for (uint64_t c = 1;; ++c) {
    auto next = [&](uint64_t v) { return (v * v + c) % n; };
    uint64_t x = 2, y = 2, d = 1;
    while (d == 1) {
      x = next(x);
      y = next(next(y));
      d = std::gcd(x > y ? x - y : y - x, uint64_t{n});
    }
    if (d != n) return static_cast<uint32_t>(d);
  }
}

}  // namespace

// Trial division of p-1 stops at its cube root once what is left is 2^20 or more:
// that rest has at most two prime factors, found by a primality test or one split. A
// refused line thus costs microseconds, not the 2^16 divisions up to the square root.
uint32_t multiplicativeOrder(uint32_t b, uint32_t p) {
  uint32_t order = p - 1;
  auto takeOut = [&](uint32_t q) {
    while (order % q == 0 && powMod(b, order / q, p) == 1) order /= q;
  };
  uint32_t rest = p - 1;
  for (uint64_t q = 2; q * q <= rest && (q * q * q <= rest || rest < (1u << 20)); ++q) {
    if (rest % q != 0) continue;
    while (rest % q == 0) rest /= static_cast<uint32_t>(q);
    takeOut(static_cast<uint32_t>(q));
  }
  if (rest > 1 && isPrime(rest)) {
    takeOut(rest);
  } else if (rest > 1) {
    const uint32_t q = properFactor(rest);
    takeOut(q);
    takeOut(rest / q);
  }
  return order;
}

namespace {

// A decimal number as "%u"/"%I64d" write it: digits only, no sign, no leading zero.
// Returns "" and the value, or the reason the text at `pos` is not such a number.
std::string readNumber(std::string_view text, size_t& pos, uint64_t limit, const char* name, uint64_t& value) {
  size_t start = pos;
  value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
    if (value > (limit - digit) / 10) return std::string(name) + " is larger than " + std::to_string(limit);
    value = value * 10 + digit;
  }
  if (pos == start) return std::string("expected ") + name;
  if (text[start] == '0' && pos - start > 1) return std::string(name) + " has a leading zero";
  return "";
}

bool takeLiteral(std::string_view text, size_t& pos, std::string_view literal) {
  if (text.substr(pos, literal.size()) != literal) return false;
  pos += literal.size();
  return true;
}

std::string parsePrimes(std::string_view body, size_t& pos, std::vector<uint32_t>& primes) {
  if (pos < body.size() && body[pos] == ']') return "no primes listed";
  for (;;) {
    uint64_t prime = 0;
    std::string fault = readNumber(body, pos, UINT32_MAX, "prime", prime);
    if (!fault.empty()) return fault;
    primes.push_back(static_cast<uint32_t>(prime));
    if (takeLiteral(body, pos, "]")) return "";
    if (pos == body.size()) return "the list of primes is not closed with ']'";
    if (!takeLiteral(body, pos, ", ")) return "expected \", \" or \"]\" after a prime";
  }
}

std::string signedTerm(int32_t c) { return (c < 0 ? "-" : "+") + std::to_string(c < 0 ? -int64_t{c} : c); }

// The first reason why the primes fail to be prime, ascending, or of an order of b
// dividing the period; "" when they pass.
std::string checkPrimes(const CoveringLine& line, uint64_t base) {
  for (size_t i = 0; i < line.primes.size(); ++i) {
    uint32_t p = line.primes[i];
    if (!isPrime(p)) return std::to_string(p) + " is not prime";
    if (i > 0 && p <= line.primes[i - 1]) {
      return "primes are not strictly ascending: " + std::to_string(line.primes[i - 1]) + " is followed by " +
             std::to_string(p);
    }
    uint32_t b = static_cast<uint32_t>(base % p);
    if (b == 0) return std::to_string(p) + " divides the base " + std::to_string(base);
    if (powMod(b, line.period, p) != 1) {
      return "the order of " + std::to_string(base) + " modulo " + std::to_string(p) + " is " +
             std::to_string(multiplicativeOrder(b, p)) + ", which does not divide the period " +
             std::to_string(line.period);
    }
  }
  return "";
}

// The first n in 1 .. span that no algebraic class holds and whose term no listed
// prime divides, or 0 when all are covered. The residues k*b^n mod p of a prime p
// repeat after the order d of b (d | P | span, as b^P = 1 was checked), and p divides
// the term exactly when the residue is -c mod p, which happens at most once in d
// steps: one walk of d steps finds the hit, then marked every d exponents. A line
// costs the sum of its primes' orders and span/d marks each, at most about span per
// prime, and its classes span/modulus marks each.
uint32_t firstUncovered(const CoveringLine& line, const std::vector<PrimeHits>& hits, uint32_t span) {
  std::vector<bool> covered(span + 1);
  for (const ClaimedClass& claim : line.classes)
    for (uint32_t n = claim.residue == 0 ? claim.modulus : claim.residue; n <= span; n += claim.modulus)
      covered[n] = true;
  for (const PrimeHits& prime : hits)
    for (uint32_t n = prime.first; n != 0 && n <= span; n += prime.order) covered[n] = true;
  for (uint32_t n = 1; n <= span; ++n)
    if (!covered[n]) return n;
  return 0;
}

constexpr int64_t kLargestBase = 1000000000;
constexpr uint32_t kLargestPeriod = 5040;

}  // namespace

PrimeHits primeHits(int64_t k, uint64_t base, int32_t c, uint64_t p, uint32_t limit) {
  const uint64_t start = static_cast<uint64_t>(k) % p, step = base % p, target = c > 0 ? p - 1 : 1;
  PrimeHits hits;
  if (start == 0) {  // p | k: every residue is 0, never -c; the order of b is still walked
    uint64_t power = 1;
    do power = power * step % p;
    while (++hits.order < limit && power != 1);
    return hits;
  }
  uint64_t residue = start;
  do {
    residue = residue * step % p;
    if (residue == target) hits.first = hits.order + 1;
  } while (++hits.order < limit && residue != start);
  return hits;
}

uint32_t firstPrimeTerm(int64_t k, uint64_t base, int32_t c, const std::vector<uint32_t>& primes) {
  if (primes.empty()) return 0;
  // Every term up to the largest prime is at most that prime + 1 before c is added.
  const uint64_t bound = uint64_t{primes.back()} + 1;
  uint64_t power = static_cast<uint64_t>(k);  // k*b^(n-1)
  for (uint32_t n = 1;; ++n) {
    if (power > bound / base) return 0;
    power *= base;
    if (std::binary_search(primes.begin(), primes.end(), c > 0 ? power + 1 : power - 1)) return n;
  }
}

std::string primeTermFault(int64_t k, uint64_t base, int32_t c, uint32_t n) {
  uint64_t term = static_cast<uint64_t>(k);
  for (uint32_t i = 0; i < n; ++i) term *= base;  // only for the n firstPrimeTerm gives
  term = c > 0 ? term + 1 : term - 1;
  return "n=" + std::to_string(n) + " is not proved composite: " + std::to_string(k) + "*" + std::to_string(base) +
         "^" + std::to_string(n) + signedTerm(c) + " is the listed prime " + std::to_string(term) + " itself";
}

std::string parseLine(std::string_view text, CoveringLine& line) {
  line = CoveringLine{};
  if (text.empty() || text.back() != '\n') return "no newline at the end (truncated line)";
  std::string_view body = text.substr(0, text.size() - 1);
  // A file that passed through a Windows text-mode copy ends its lines with CR LF.
  if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
  size_t pos = 0;
  uint64_t value = 0;
  std::string fault = readNumber(body, pos, INT64_MAX, "k", value);
  if (!fault.empty()) return fault;
  line.k = static_cast<int64_t>(value);
  if (!takeLiteral(body, pos, "  ")) return "expected two spaces after k";
  fault = readNumber(body, pos, UINT32_MAX, "period", value);
  if (!fault.empty()) return fault;
  line.period = static_cast<uint32_t>(value);
  if (!takeLiteral(body, pos, "  [")) return "expected two spaces and \"[\" after the period";
  // An algebraic line may list no prime: its classes follow the "]" at once.
  if (body.substr(pos, 5) == "]  + ") ++pos;
  else if (fault = parsePrimes(body, pos, line.primes); !fault.empty()) return fault;
  if (body.substr(pos, 4) == "  + ") return parseClaims(body, pos, line.classes);
  if (pos != body.size()) return "unexpected text after \"]\"";
  return "";
}

LineVerdict checkLine(std::string_view text, int64_t base, int32_t c, CoveringLine* read, LineProof* proof) {
  LineVerdict verdict;
  CoveringLine parsed;
  CoveringLine& line = read != nullptr ? *read : parsed;
  verdict.fault = parseLine(text, line);
  if (!verdict.fault.empty()) return verdict;
  verdict.parsed = true;
  verdict.k = line.k;
  if (base < 2 || base > kLargestBase) {
    verdict.fault = "the base must be 2 to " + std::to_string(kLargestBase);
  } else if (c != 1 && c != -1) {
    verdict.fault = "c must be -1 or 1";
  } else if (line.k < 1) {
    verdict.fault = "k must be at least 1";
  } else if (line.period < 1) {
    verdict.fault = "the period must be at least 1";
  } else if (line.period > kLargestPeriod) {
    // Checked before any arithmetic: a line costs P modular products per prime.
    verdict.fault = "the period must be at most " + std::to_string(kLargestPeriod) + " (the largest a search writes)";
  } else {
    uint64_t b = static_cast<uint64_t>(base);
    uint32_t span = line.period;
    verdict.fault = checkClaims(line.k, line.period, line.classes, b, c, span);
    if (verdict.fault.empty()) verdict.fault = checkPrimes(line, b);
    if (!verdict.fault.empty()) return verdict;
    std::vector<PrimeHits> hits;
    for (uint32_t p : line.primes) hits.push_back(primeHits(line.k, b, c, p, span));
    if (proof != nullptr) *proof = LineProof{true, span, hits, claimYs(line.k, b, line.classes)};
    uint32_t n = firstUncovered(line, hits, span);
    if (n != 0) {
      verdict.fault = "n=" + std::to_string(n) + " is not covered: no listed prime divides " + std::to_string(line.k) +
                      "*" + std::to_string(base) + "^" + std::to_string(n) + signedTerm(c);
    }
    n = verdict.fault.empty() ? firstPrimeTerm(line.k, b, c, line.primes) : 0;
    if (n != 0) verdict.fault = primeTermFault(line.k, b, c, n);
  }
  return verdict;
}

}  // namespace verify
