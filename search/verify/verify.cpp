// The independent checker of covering.txt (see verify.h for the mathematics).
//
// Everything is exact: a listed prime below 2^32 keeps every residue below 2^32 and
// every product of two residues in 64 bits; one up to 2^64 takes 128-bit products. k
// (up to 2^256-1) enters only as k mod p. A line costs at most about P modular
// multiplications per prime for period P (one walk of the prime's order of b), and a
// refused order a few microseconds below 2^32, at most about a millisecond above:
// the work of a line is bounded by its size.
#include "verify.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "mulmod64.h"

namespace verify {

using pelund::isPrime64;
using pelund::mulmod64;
using pelund::powmod64;

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

// Products modulo an odd n below 2^64 in Montgomery's form: a*b/2^64 mod n, which
// is a*b times a unit modulo every factor of n, all the rho below needs.
struct Montgomery {
  uint64_t n, inverse;  // n * inverse = 1 mod 2^64
  explicit Montgomery(uint64_t odd) : n(odd), inverse(odd) {
    for (int i = 0; i < 5; ++i) inverse *= 2 - odd * inverse;  // Newton: 5, 10, ... 160 bits
  }
  uint64_t times(uint64_t a, uint64_t b) const {
    const unsigned __int128 t = static_cast<unsigned __int128>(a) * b;
    const uint64_t m = static_cast<uint64_t>(t) * inverse;
    const uint64_t high = static_cast<uint64_t>(t >> 64);
    const uint64_t mn = static_cast<uint64_t>((static_cast<unsigned __int128>(m) * n) >> 64);
    return high >= mn ? high - mn : high + (n - mn);
  }
};

// A proper factor of the odd composite n (no prime factor below 2^10), by Pollard's
// rho with Brent's cycle finding: x -> x^2 + c, the differences multiplied up in
// batches of 128 before a gcd; another c when a batch closes on n itself.
uint64_t properFactor64(uint64_t n) {
  const Montgomery mont(n);
  for (uint64_t c = 1;; ++c) {
    auto next = [&](uint64_t v) {
      const uint64_t square = mont.times(v, v);
      return square >= n - c ? square - (n - c) : square + c;
    };
    uint64_t x = 0, y = 2, saved = 2, product = 1, d = 1;
    for (uint64_t length = 1; d == 1; length *= 2) {
      x = y;
      for (uint64_t i = 0; i < length; ++i) y = next(y);
      for (uint64_t done = 0; done < length && d == 1; done += 128) {
        saved = y;
        for (uint64_t i = 0; i < 128 && done + i < length; ++i) {
          y = next(y);
          product = mont.times(product, x > y ? x - y : y - x);
        }
        d = std::gcd(product, n);
      }
    }
    if (d == n) {  // the batch passed the factor: step through it again one by one
      do {
        saved = next(saved);
        d = std::gcd(x > saved ? x - saved : saved - x, n);
      } while (d == 1);
    }
    if (d != n) return d;
  }
}

// The distinct primes of n >= 1, unordered.
void primeFactors64(uint64_t n, std::vector<uint64_t>& primes) {
  for (uint64_t q = 2; q < 1024 && q * q <= n; q += q == 2 ? 1 : 2) {
    if (n % q != 0) continue;
    primes.push_back(q);
    while (n % q == 0) n /= q;
  }
  std::vector<uint64_t> open;
  if (n > 1) open.push_back(n);
  while (!open.empty()) {
    const uint64_t m = open.back();
    open.pop_back();
    if (isPrime64(m)) {
      if (std::find(primes.begin(), primes.end(), m) == primes.end()) primes.push_back(m);
      continue;
    }
    // The square of a prime is split by its root: the rho could close on it alone.
    using Wide = unsigned __int128;
    uint64_t root = static_cast<uint64_t>(std::sqrt(static_cast<double>(m)));
    while (Wide(root) * root > m) --root;
    while (Wide(root + 1) * (root + 1) <= m) ++root;
    const uint64_t d = Wide(root) * root == m ? root : properFactor64(m);
    open.push_back(d);
    open.push_back(m / d);
  }
}

}  // namespace

bool isPrimeWide(uint64_t n) { return n <= UINT32_MAX ? isPrime(static_cast<uint32_t>(n)) : isPrime64(n); }

uint64_t multiplicativeOrder64(uint64_t b, uint64_t p) {
  if (p <= UINT32_MAX) return multiplicativeOrder(static_cast<uint32_t>(b % p), static_cast<uint32_t>(p));
  std::vector<uint64_t> primes;
  primeFactors64(p - 1, primes);
  // p - 1 when p divides b, as the definition by powers leaves it.
  const uint64_t order = pelund::orderMod64(b, p, p - 1, primes);
  return order == 0 ? p - 1 : order;
}

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

std::string parsePrimes(std::string_view body, size_t& pos, std::vector<uint64_t>& primes) {
  if (pos < body.size() && body[pos] == ']') return "no primes listed";
  for (;;) {
    uint64_t prime = 0;
    std::string fault = readNumber(body, pos, UINT64_MAX, "prime", prime);
    if (!fault.empty()) return fault;
    primes.push_back(prime);
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
    const uint64_t p = line.primes[i];
    if (!isPrimeWide(p)) return std::to_string(p) + " is not prime";
    if (i > 0 && p <= line.primes[i - 1]) {
      return "primes are not strictly ascending: " + std::to_string(line.primes[i - 1]) + " is followed by " +
             std::to_string(p);
    }
    const uint64_t b = base % p;
    if (b == 0) return std::to_string(p) + " divides the base " + std::to_string(base);
    const bool small = p <= UINT32_MAX;
    if ((small ? powMod(uint32_t(b), line.period, uint32_t(p)) : powmod64(b, line.period, p)) != 1) {
      return "the order of " + std::to_string(base) + " modulo " + std::to_string(p) + " is " +
             std::to_string(multiplicativeOrder64(b, p)) + ", which does not divide the period " +
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

// 2^256 - 1, the largest k.
constexpr std::string_view kLargestK =
    "115792089237316195423570985008687907853269984665640564039457584007913129639935";

// The walk of primeHits with products `times`.
template <class Times>
PrimeHits walkHits(uint64_t start, uint64_t step, uint64_t target, uint32_t limit, const Times& times) {
  PrimeHits hits;
  if (start == 0) {  // p | k: every residue is 0, never -c; the order of b is still walked
    uint64_t power = 1;
    do power = times(power, step);
    while (++hits.order < limit && power != 1);
    return hits;
  }
  uint64_t residue = start;
  do {
    residue = times(residue, step);
    if (residue == target) hits.first = hits.order + 1;
  } while (++hits.order < limit && residue != start);
  return hits;
}

}  // namespace

bool decimalAbove(std::string_view a, std::string_view b) {
  return a.size() != b.size() ? a.size() > b.size() : a > b;
}

std::string readK(std::string_view text, size_t& pos, WideK& k, std::string& kText) {
  const size_t start = pos;
  while (pos < text.size() && pos - start <= kLargestK.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
  const std::string_view digits = text.substr(start, pos - start);
  if (digits.empty()) return "expected k";
  if (digits[0] == '0' && digits.size() > 1) return "k has a leading zero";
  if (decimalAbove(digits, kLargestK)) return "k is larger than 2^256-1";
  k = WideK{};
  for (char digit : digits) {
    unsigned __int128 carry = static_cast<unsigned>(digit - '0');
    for (uint64_t& limb : k.limb) {
      carry += static_cast<unsigned __int128>(limb) * 10;
      limb = static_cast<uint64_t>(carry);
      carry >>= 64;
    }
  }
  kText.assign(digits);
  return "";
}

PrimeHits primeHits(uint64_t kModP, uint64_t base, int32_t c, uint64_t p, uint32_t limit) {
  const uint64_t step = base % p, target = c > 0 ? p - 1 : 1;
  if (p <= UINT32_MAX) return walkHits(kModP, step, target, limit, [p](uint64_t a, uint64_t b) { return a * b % p; });
  return walkHits(kModP, step, target, limit, [p](uint64_t a, uint64_t b) { return mulmod64(a, b, p); });
}

uint32_t firstPrimeTerm(const WideK& k, uint64_t base, int32_t c, const std::vector<uint64_t>& primes) {
  if (primes.empty() || !k.fitsU64()) return 0;
  // Every term up to the largest prime is at most that prime + 1 before c is added.
  const unsigned __int128 bound = static_cast<unsigned __int128>(primes.back()) + 1;
  unsigned __int128 power = k.limb[0];  // k*b^(n-1)
  for (uint32_t n = 1;; ++n) {
    if (power > bound / base) return 0;
    power *= base;
    const unsigned __int128 term = c > 0 ? power + 1 : power - 1;
    if (term <= UINT64_MAX && std::binary_search(primes.begin(), primes.end(), static_cast<uint64_t>(term))) return n;
  }
}

std::string primeTermFault(uint64_t k, uint64_t base, int32_t c, uint32_t n) {
  uint64_t term = k;
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
  std::string fault = readK(body, pos, line.wideK, line.kText);
  if (!fault.empty()) return fault;
  line.k = line.wideK.fitsI64() ? static_cast<int64_t>(line.wideK.limb[0]) : 0;
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
  verdict.kText = line.kText;
  if (base < 2 || base > kLargestBase) {
    verdict.fault = "the base must be 2 to " + std::to_string(kLargestBase);
  } else if (c != 1 && c != -1) {
    verdict.fault = "c must be -1 or 1";
  } else if (line.kText == "0") {
    verdict.fault = "k must be at least 1";
  } else if (line.period < 1) {
    verdict.fault = "the period must be at least 1";
  } else if (line.period > kLargestPeriod) {
    // Checked before any arithmetic: a line costs P modular products per prime.
    verdict.fault = "the period must be at most " + std::to_string(kLargestPeriod) + " (the largest a search writes)";
  } else if (!line.classes.empty() && !line.wideK.fitsI64()) {
    verdict.fault = "k is larger than 9223372036854775807, the largest k of a line with algebraic classes";
  } else {
    uint64_t b = static_cast<uint64_t>(base);
    uint32_t span = line.period;
    verdict.fault = checkClaims(line.k, line.period, line.classes, b, c, span);
    if (verdict.fault.empty()) verdict.fault = checkPrimes(line, b);
    if (!verdict.fault.empty()) return verdict;
    std::vector<PrimeHits> hits;
    for (uint64_t p : line.primes) hits.push_back(primeHits(line.wideK.mod(p), b, c, p, span));
    if (proof != nullptr) *proof = LineProof{true, span, hits, claimYs(line.k, b, line.classes)};
    uint32_t n = firstUncovered(line, hits, span);
    if (n != 0) {
      verdict.fault = "n=" + std::to_string(n) + " is not covered: no listed prime divides " + line.kText + "*" +
                      std::to_string(base) + "^" + std::to_string(n) + signedTerm(c);
    }
    n = verdict.fault.empty() ? firstPrimeTerm(line.wideK, b, c, line.primes) : 0;
    if (n != 0) verdict.fault = primeTermFault(line.wideK.limb[0], b, c, n);
  }
  return verdict;
}

}  // namespace verify
