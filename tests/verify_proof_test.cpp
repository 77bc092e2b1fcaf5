// What a verified line proves: every term k*b^n + c (n >= 1) composite. Terms equal to
// a listed prime are refused with the n and the prime, in pelund-verify, verifyLine()
// and verify(); the checker's verdicts agree with a brute force over exact terms (GMP)
// on generated lines of small bases, algebraic claims among them; every line that
// searches of generated configurations write verifies; the order of b agrees with its
// definition on large primes, where p-1 is split past its cube root.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "e2e.h"
#include "pelund/pelund.hpp"
#include "verify.h"

namespace {

bool isPrimeByTrialDivision(uint64_t n) {
  if (n < 2) return false;
  for (uint64_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

struct PrimeTermCase {
  int64_t base;
  int32_t c;
  std::string line;
  std::string fault;
};

// Each covers every n, so the only fault is the term that is its own covering prime.
const PrimeTermCase kPrimeTerms[] = {
    {4, -1, "1  1  [3]\n", "n=1 is not proved composite: 1*4^1-1 is the listed prime 3 itself"},
    {3, -1, "1  1  [2]\n", "n=1 is not proved composite: 1*3^1-1 is the listed prime 2 itself"},
    {8, -1, "1  2  [3, 7]\n", "n=1 is not proved composite: 1*8^1-1 is the listed prime 7 itself"},
    {14, -1, "1  1  [13]\n", "n=1 is not proved composite: 1*14^1-1 is the listed prime 13 itself"},
    // Proper algebraic factors on the even n (on n = 0 mod 3 for 4^n = (4^(n/3))^3), the
    // prime on the rest, and the first term that prime.
    {3, -1, "1  2  [2]  + n=0 (mod 2): y^2-1\n", "n=1 is not proved composite: 1*3^1-1 is the listed prime 2 itself"},
    {4, -1, "1  3  [3]  + n=0 (mod 3): y^3-1\n", "n=1 is not proved composite: 1*4^1-1 is the listed prime 3 itself"},
    {8, -1, "1  2  [7]  + n=0 (mod 2): y^2-1\n", "n=1 is not proved composite: 1*8^1-1 is the listed prime 7 itself"},
    {14, -1, "1  2  [13]  + n=0 (mod 2): y^2-1\n",
     "n=1 is not proved composite: 1*14^1-1 is the listed prime 13 itself"},
};

TEST(VerifyProof, TermsThatAreListedPrimesAreRefused) {
  for (const PrimeTermCase& one : kPrimeTerms) {
    SCOPED_TRACE(one.line);
    EXPECT_EQ(verify::checkLine(one.line, one.base, one.c).fault, one.fault);
    EXPECT_EQ(pelund::verifyLine(one.line, one.base, one.c).fault, one.fault);
    const pelund::Line line = pelund::parseLine(one.line);
    if (!line.classes.empty()) continue;
    EXPECT_FALSE(pelund::verify(one.base, one.c, line.k, line.primes));
    // The same primes for the next k that they cover are a proof again (k + product).
    const int64_t k = line.k + std::accumulate(line.primes.begin(), line.primes.end(), int64_t{1},
                                               [](int64_t a, uint32_t p) { return a * p; });
    EXPECT_TRUE(pelund::verify(one.base, one.c, k, line.primes)) << k;
  }
}

// pelund-verify in a fresh directory on base 4 with c = -1: the prime terms, their
// algebraic twin and a good line after them, reported byte for byte with status 1.
TEST(VerifyProof, CommandReportsPrimeTermsAndExitsWithOne) {
  e2e::TempDir dir;
  dir.write("pelund.ini", "base=4\nmink=1\nmaxk=100\nc=-1\n");
  dir.write("covering.txt", "1  1  [3]\n1  3  [3]  + n=0 (mod 3): y^3-1\n4  1  [3]\n");
  const e2e::RunResult result = e2e::run(dir, {}, "", std::chrono::seconds(60), PELUND_VERIFY_BINARY);
  EXPECT_EQ(result.out,
            "line 1: n=1 is not proved composite: 1*4^1-1 is the listed prime 3 itself : 1  1  [3]\n"
            "line 2: n=1 is not proved composite: 1*4^1-1 is the listed prime 3 itself : "
            "1  3  [3]  + n=0 (mod 3): y^3-1\n"
            "3 lines checked, 2 bad\n");
  EXPECT_EQ(result.exitStatus, 1);
}

// The checker refuses a base or sign no search takes (the library's verifyLine answers
// those in the console's words before it asks the checker).
TEST(VerifyProof, BaseAndSignNoSearchTakesAreRefused) {
  const std::string line = "10176  6  [7, 11, 13, 37]\n";
  ASSERT_EQ(verify::checkLine(line, 10, -1).fault, "");
  const struct {
    int64_t base;
    int32_t c;
    const char* fault;
  } cases[] = {{1, -1, "the base must be 2 to 1000000000"},          {0, -1, "the base must be 2 to 1000000000"},
               {-10, -1, "the base must be 2 to 1000000000"},        {1000000001, -1, "the base must be 2 to 1000000000"},
               {10, 0, "c must be -1 or 1"},                          {10, 3, "c must be -1 or 1"}};
  for (const auto& one : cases) {
    SCOPED_TRACE(std::to_string(one.base) + " " + std::to_string(one.c));
    EXPECT_EQ(verify::checkLine(line, one.base, one.c).fault, one.fault);
  }
}

// Claims of large exponents, where roots and powers are formed by capped squaring:
// 2^29 = 536870912 makes every k*b^n with k a 29th power one; 3^39 = (3^3)^13.
TEST(VerifyProof, LargeExponentsKeepTheirVerdicts) {
  const std::string sixteen = [] {
    std::string claims;
    for (int i = 0; i < 16; ++i) claims += "  + n=0 (mod 5039): y^5039+1";
    return claims;
  }();
  const PrimeTermCase cases[] = {
      {536870912, 1, "1  1  []  + n=0 (mod 1): y^29+1\n", ""},
      {536870912, -1, "68630377364883  1  []  + n=0 (mod 1): y^29-1\n", ""},
      {536870912, -1, "1  1  []  + n=0 (mod 1): y^29-1\n",
       "n=0 (mod 1): y^29-1: at n=1 the factor y-1 is 1, not a proper factor"},
      {536870912, 1, "2  1  []  + n=0 (mod 1): y^29+1\n",
       "n=0 (mod 1): y^29+1: 2*536870912^n = y^29 exactly for no n"},
      {2, 1, "1  5039  []  + n=0 (mod 5039): y^5039+1\n", "n=1 is not covered: no listed prime divides 1*2^1+1"},
      {2, 1, "1  5039  []" + sixteen + "\n", "n=1 is not covered: no listed prime divides 1*2^1+1"},
      {2, 1, "2  5039  []  + n=0 (mod 5039): y^5039+1\n",
       "n=0 (mod 5039): y^5039+1: 2*2^n = y^5039 exactly for n=5038 (mod 5039)"},
      {2, 1, "3  5039  []  + n=0 (mod 5039): y^5039+1\n",
       "n=0 (mod 5039): y^5039+1: 3*2^n = y^5039 exactly for no n"},
      {2, -1, "4052555153018976267  13  []  + n=0 (mod 13): y^13-1\n",
       "n=1 is not covered: no listed prime divides 4052555153018976267*2^1-1"},
      {2, -1, "4052555153018976265  13  []  + n=0 (mod 13): y^13-1\n",
       "n=0 (mod 13): y^13-1: 4052555153018976265*2^n = y^13 exactly for no n"},
      {6, -1, "2187  7  []  + n=0 (mod 7): y^7-1\n", "n=1 is not covered: no listed prime divides 2187*6^1-1"},
      {6, -1, "2187  7  []  + n=1 (mod 7): y^7-1\n", "n=1 (mod 7): y^7-1: 2187*6^n = y^7 exactly for n=0 (mod 7)"},
  };
  for (const PrimeTermCase& one : cases) {
    SCOPED_TRACE(one.line.substr(0, 80));
    EXPECT_EQ(verify::checkLine(one.line, one.base, one.c).fault, one.fault);
  }
}

// ---- Brute force over exact terms.

// A generated line with its parts, and the text the checker reads.
struct Claim {
  verify::ClaimForm form;
  uint32_t m, residue, modulus;
};
struct Generated {
  int64_t base, k;
  int32_t c;
  uint32_t period;
  std::vector<uint32_t> primes;
  std::vector<Claim> claims;
};

std::string claimText(const Claim& claim) {
  std::string text = "  + n=" + std::to_string(claim.residue) + " (mod " + std::to_string(claim.modulus) + "): ";
  if (claim.form == verify::ClaimForm::aurifeuillian) return text + "4y^4+1";
  return text + "y^" + std::to_string(claim.m) + (claim.form == verify::ClaimForm::minusOne ? "-1" : "+1");
}

std::string text(const Generated& g) {
  std::string line = std::to_string(g.k) + "  " + std::to_string(g.period) + "  [";
  for (size_t i = 0; i < g.primes.size(); ++i) line += (i > 0 ? ", " : "") + std::to_string(g.primes[i]);
  line += "]";
  for (const Claim& claim : g.claims) line += claimText(claim);
  return line + "\n";
}

mpz_class term(const Generated& g, uint32_t n) {
  mpz_class power;
  mpz_ui_pow_ui(power.get_mpz_t(), uint64_t(g.base), n);
  return g.k * power + g.c;
}

// y with k*b^n = y^m (4y^4 for the Aurifeuillian form), or 0 when there is none.
mpz_class rootOfShape(const Generated& g, const Claim& claim, uint32_t n) {
  mpz_class power = term(g, n) - g.c, y;
  if (claim.form == verify::ClaimForm::aurifeuillian) {
    if (power % 4 != 0) return 0;
    power /= 4;
  }
  return mpz_root(y.get_mpz_t(), power.get_mpz_t(), claim.m) != 0 ? y : mpz_class(0);
}

// The factor that the claim's form gives the term at n, from its y.
mpz_class algebraicFactor(const Claim& claim, const mpz_class& y) {
  if (claim.form == verify::ClaimForm::minusOne) return y - 1;
  if (claim.form == verify::ClaimForm::plusOne) return y + 1;
  return 2 * y * y - 2 * y + 1;
}

// The line's own statements: primes prime, ascending, prime to b and of an order of b
// dividing P; forms of the sign with an algebraic factor, a prime m (y^2+1 has none).
bool statementsHold(const Generated& g) {
  for (size_t i = 0; i < g.primes.size(); ++i) {
    const uint32_t p = g.primes[i];
    if (!isPrimeByTrialDivision(p) || (i > 0 && p <= g.primes[i - 1]) || g.base % p == 0) return false;
    uint64_t power = 1;
    for (uint32_t e = 0; e < g.period; ++e) power = power * uint64_t(g.base) % p;
    if (power != 1) return false;
  }
  for (const Claim& claim : g.claims) {
    if ((claim.form == verify::ClaimForm::minusOne) != (g.c == -1)) return false;
    if (claim.form != verify::ClaimForm::aurifeuillian && !isPrimeByTrialDivision(claim.m)) return false;
    if (claim.form == verify::ClaimForm::plusOne && claim.m == 2) return false;
  }
  return !g.primes.empty() || !g.claims.empty();
}

// Whether the line proves every term composite, judged over n = 1 .. N: each claimed
// class is exactly the n where k*b^n has the form, and every term has a proper factor,
// from a claim or a listed prime that is not the term itself.
bool provedByBruteForce(const Generated& g, uint32_t N) {
  if (!statementsHold(g)) return false;
  for (uint32_t n = 1; n <= N; ++n) {
    const mpz_class t = term(g, n);
    bool composite = false;
    for (const Claim& claim : g.claims) {
      const mpz_class y = rootOfShape(g, claim, n);
      if ((y != 0) != (n % claim.modulus == claim.residue)) return false;
      if (y == 0) continue;
      const mpz_class f = algebraicFactor(claim, y);
      composite = composite || (f > 1 && f < t && t % f == 0);
    }
    for (uint32_t p : g.primes) composite = composite || (t % p == 0 && t != p);
    if (!composite) return false;
  }
  return true;
}

// A generated line: mostly primes whose order divides P (those of b-1 among them, so
// that small terms are listed primes), a few of the wrong order or composite; claims
// of the true class of a form for k, sometimes shifted or of the other sign.
Generated generate(std::mt19937_64& random) {
  const int64_t bases[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 14, 16, 27, 32};
  const uint32_t periods[] = {1, 2, 3, 4, 5, 6, 8, 12};
  Generated g;
  g.base = bases[random() % std::size(bases)];
  g.c = random() % 2 ? 1 : -1;
  g.period = periods[random() % std::size(periods)];
  // k = 1 lists b-1 as a prime term when b-1 is prime; squares and cubes have classes.
  const int64_t t = int64_t(random() % 6 + 1), kinds[] = {1, t * t, t * t * t, int64_t(random() % 40 + 1),
                                                          int64_t(random() % 100000 + 1)};
  g.k = kinds[random() % std::size(kinds)];
  for (uint32_t p = 2; p < 4096; ++p) {
    if (!isPrimeByTrialDivision(p) || g.base % p == 0) continue;
    uint64_t power = 1;
    for (uint32_t e = 0; e < g.period; ++e) power = power * uint64_t(g.base) % p;
    if ((power == 1 && random() % 3 != 0) || random() % 4000 == 0) g.primes.push_back(p);
  }
  if (random() % 20 == 0) g.primes.push_back(uint32_t(random() % 4000 + 4));
  std::sort(g.primes.begin(), g.primes.end());
  g.primes.erase(std::unique(g.primes.begin(), g.primes.end()), g.primes.end());
  const Claim shapes[] = {{verify::ClaimForm::minusOne, 2, 0, 1}, {verify::ClaimForm::minusOne, 3, 0, 1},
                          {verify::ClaimForm::minusOne, 5, 0, 1}, {verify::ClaimForm::plusOne, 3, 0, 1},
                          {verify::ClaimForm::plusOne, 5, 0, 1},  {verify::ClaimForm::aurifeuillian, 4, 0, 1}};
  for (int i = int(random() % 3); i > 0; --i) {
    Claim claim = shapes[random() % std::size(shapes)];
    if (random() % 8 != 0 && (claim.form == verify::ClaimForm::minusOne) != (g.c == -1)) continue;
    // The true class over one period of the form, found from the exact numbers: the
    // least d | m whose class of the first n that has the shape is every such n.
    std::vector<bool> holds(claim.m + 1);
    uint32_t first = 0;
    for (uint32_t n = claim.m; n >= 1; --n)
      if ((holds[n] = rootOfShape(g, claim, n) != 0)) first = n;
    claim.modulus = claim.m;
    for (uint32_t d = claim.m; d >= 1; --d) {
      bool fits = claim.m % d == 0 && first != 0;
      for (uint32_t n = 1; n <= claim.m && fits; ++n) fits = holds[n] == (n % d == first % d);
      if (fits) claim.modulus = d;
    }
    claim.residue = first == 0 ? uint32_t(random() % claim.modulus) : first % claim.modulus;
    if (random() % 6 == 0) claim.residue = (claim.residue + 1) % claim.modulus;
    g.claims.push_back(claim);
  }
  return g;
}

// A term is at least 2^n - 1 and a listed prime below 2^12, so n <= 12 holds every
// term that can be a listed prime; three spans and three periods of each form hold
// every pattern of hits and of shapes.
TEST(VerifyProof, VerdictsAgreeWithBruteForceOverExactTerms) {
  std::mt19937_64 random(4099);
  int proved = 0, refused = 0, primeTerms = 0, algebraic = 0;
  for (int trial = 0; trial < 6000; ++trial) {
    const Generated g = generate(random);
    uint32_t span = g.period, N = 12;
    for (const Claim& claim : g.claims) span = std::lcm(span, claim.modulus), N = std::max(N, 3 * claim.m);
    N = std::max(N, 3 * span);
    const std::string line = text(g);
    SCOPED_TRACE(line + "base=" + std::to_string(g.base) + " c=" + std::to_string(g.c));
    const bool expected = provedByBruteForce(g, N);
    const std::string fault = verify::checkLine(line, g.base, g.c).fault;
    ASSERT_EQ(fault.empty(), expected) << fault;
    ++(expected ? proved : refused);
    primeTerms += fault.find("is not proved composite") != std::string::npos;
    algebraic += expected && !g.claims.empty();
    // verify() takes no period, but a proof within P is one within the orders' lcm.
    if (g.claims.empty() && statementsHold(g)) {
      ASSERT_EQ(pelund::verify(g.base, g.c, g.k, g.primes), expected);
    }
  }
  std::printf("generated lines: %d proved (%d with claims), %d refused (%d for a prime term)\n", proved, algebraic,
              refused, primeTerms);
  EXPECT_GT(proved, 300);
  EXPECT_GT(algebraic, 30);
  EXPECT_GT(refused, 300);
  EXPECT_GT(primeTerms, 30);
}

// ---- What searches write.

struct Collected : pelund::Sink {
  std::vector<std::string> lines;
  void partDone(const pelund::Part& part) override {
    for (size_t i = 0; i < part.ks.size(); ++i) lines.emplace_back(part.line(i));
  }
};

// Random bases (perfect powers among them), both signs, periods and factor bounds,
// with and without algebraic factors: every line is a proof for all three checkers.
TEST(VerifyProof, EveryLineThatSearchesWriteVerifies) {
  std::mt19937_64 random(2026);
  const int32_t periods[] = {2, 4, 6, 12, 24, 36, 144};
  size_t total = 0, withClaims = 0;
  for (int config = 0; config < 40; ++config) {
    const int32_t base = config % 4 == 0 ? int32_t(std::vector<int32_t>{4, 8, 9, 16, 25, 27, 32, 36}[random() % 8])
                                         : int32_t(random() % 60 + 2);
    const int32_t c = random() % 2 ? 1 : -1, period = periods[random() % std::size(periods)];
    const int64_t maxK = int64_t(random() % 30000 + 100);
    const bool algebraicOn = random() % 2 == 0;
    const pelund::SearchParams params =
        pelund::makeParams(base, c, 1, maxK, period, random() % 2 ? 1000 : 100000, 2, pelund::Engine::automatic,
                           algebraicOn);
    SCOPED_TRACE("base=" + std::to_string(base) + " c=" + std::to_string(c) + " period=" + std::to_string(period) +
                 " maxk=" + std::to_string(maxK) + " algebraic=" + std::to_string(algebraicOn));
    Collected sink;
    ASSERT_TRUE(pelund::Search(params, pelund::candidates(params)).walk(1, maxK, sink, pelund::StopToken{}));
    for (const std::string& line : sink.lines) {
      ASSERT_EQ(verify::checkLine(line, base, c).fault, "") << line;
      ASSERT_EQ(pelund::verifyLine(line, base, c).fault, "") << line;
      const pelund::Line parsed = pelund::parseLine(line);
      if (parsed.classes.empty()) {
        ASSERT_TRUE(pelund::verify(base, c, parsed.k, parsed.primes)) << line;
      }
      withClaims += !parsed.classes.empty();
    }
    total += sink.lines.size();
  }
  std::printf("search lines verified: %zu (%zu with claims)\n", total, withClaims);
  EXPECT_GT(total, 500u);
  EXPECT_GT(withClaims, 20u);
}

// ---- The order of b on large primes.

// The order from its definition: b^d = 1 and b^(d/q) != 1 for each prime q | d, the
// factors of p-1 found by trial division up to the square root.
bool isOrder(uint64_t b, uint32_t p, uint32_t d) {
  auto power = [&](uint64_t e) {
    uint64_t result = 1, square = b % p;
    for (; e != 0; e >>= 1, square = square * square % p)
      if (e & 1) result = result * square % p;
    return result;
  };
  if ((p - 1) % d != 0 || power(d) != 1) return false;
  uint32_t rest = d;
  for (uint32_t q = 2; uint64_t(q) * q <= rest; ++q) {
    if (rest % q != 0) continue;
    if (power(d / q) == 1) return false;
    while (rest % q == 0) rest /= q;
  }
  return rest == 1 || power(d / rest) != 1;
}

// Random primes up to 2^32, and primes p with p-1 = 2*q*r for primes q, r > 100 (the
// rest after the cube root split by Pollard's rho when both pass it) or p-1 = 2*q
// (safe primes), against the definition.
TEST(VerifyProof, OrderOfLargePrimesAgreesWithItsDefinition) {
  std::mt19937_64 random(5039);
  std::vector<uint32_t> primes;
  while (primes.size() < 3000) {
    const uint32_t n = uint32_t(random() | 1);
    if (verify::isPrime(n)) primes.push_back(n);
  }
  auto prime = [&](uint64_t below, uint64_t from) {
    for (;;)
      if (const uint64_t q = random() % (below - from) + from; isPrimeByTrialDivision(q)) return q;
  };
  for (int found = 0; found < 600;) {
    const uint64_t p = random() % 3 == 0 ? 2 * prime(uint64_t(1) << 31, 101) + 1 : 2 * prime(60000, 101) * prime(60000, 101) + 1;
    if (p >= (uint64_t(1) << 32) || !verify::isPrime(uint32_t(p))) continue;
    primes.push_back(uint32_t(p));
    ++found;
  }
  primes.push_back(4294967087u);  // 2 * 2147483543 + 1
  for (uint32_t p : primes) {
    for (uint64_t base : {2ull, 3ull, 10ull, 1000000000ull}) {
      if (base % p == 0) continue;
      const uint32_t order = verify::multiplicativeOrder(uint32_t(base % p), p);
      ASSERT_TRUE(isOrder(base, p, order)) << base << " mod " << p << ": " << order;
    }
  }
}

}  // namespace
