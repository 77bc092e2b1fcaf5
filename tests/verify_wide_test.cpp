// Wide lines: k up to 2^256-1, primes up to 2^64-1, periods up to 65520. Generated
// lines of primes of b-1, b+1, b^2+b+1, b^2+1 and b^2-b+1 (orders 1, 2, 3, 4 and 6),
// their k solved for by CRT and shifted by multiples of the primes' product up to
// 2^256, some altered, agree with a brute force over exact terms (GMP); refused orders
// of 64-bit primes agree with their definition; composites that pass Miller-Rabin to
// several bases are refused; hostile lines are refused with their reason; terms that
// are listed 64-bit primes are found; k ascends across wide lines.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "pelund/pelund.hpp"
#include "verify.h"
#include "verify_stream.h"

namespace {

bool isPrimeGmp(uint64_t n) { return mpz_probab_prime_p(mpz_class(n).get_mpz_t(), 40) != 0; }

mpz_class power(uint64_t b, uint64_t e) {
  mpz_class result;
  mpz_ui_pow_ui(result.get_mpz_t(), b, e);
  return result;
}

uint64_t powModGmp(uint64_t b, uint64_t e, uint64_t p) {
  mpz_class result;
  mpz_powm(result.get_mpz_t(), mpz_class(b).get_mpz_t(), mpz_class(e).get_mpz_t(), mpz_class(p).get_mpz_t());
  return result.get_ui();
}

// A factor of the composite n by Pollard's rho (Floyd), products in GMP.
uint64_t rhoFactor(uint64_t n) {
  if (n % 2 == 0) return 2;
  for (uint64_t c = 1;; ++c) {
    const mpz_class N(n);
    mpz_class x = 2, y = 2, d = 1;
    while (d == 1) {
      x = (x * x + c) % N;
      y = (y * y + c) % N;
      y = (y * y + c) % N;
      const mpz_class diff = abs(x - y);
      mpz_gcd(d.get_mpz_t(), diff.get_mpz_t(), N.get_mpz_t());
    }
    if (d != N) return d.get_ui();
  }
}

// The distinct primes of n >= 1, ascending.
std::vector<uint64_t> primesOf(uint64_t n) {
  std::vector<uint64_t> primes, open;
  for (uint64_t q = 2; q < 100; ++q)
    for (; n % q == 0; n /= q)
      if (primes.empty() || primes.back() != q) primes.push_back(q);
  if (n > 1) open.push_back(n);
  while (!open.empty()) {
    const uint64_t m = open.back();
    open.pop_back();
    if (isPrimeGmp(m)) {
      primes.push_back(m);
    } else {
      const uint64_t d = rhoFactor(m);
      open.push_back(d);
      open.push_back(m / d);
    }
  }
  std::sort(primes.begin(), primes.end());
  primes.erase(std::unique(primes.begin(), primes.end()), primes.end());
  return primes;
}

// The order of b modulo the prime p from its definition: d | p-1, b^d = 1 and b^(d/q)
// != 1 for every prime q of d.
bool isOrder(uint64_t b, uint64_t p, uint64_t d) {
  if (d == 0 || (p - 1) % d != 0 || powModGmp(b, d, p) != 1) return false;
  for (uint64_t q : primesOf(d))
    if (powModGmp(b, d / q, p) == 1) return false;
  return true;
}

struct WideLine {
  uint64_t base;
  int32_t c;
  uint32_t period;
  mpz_class k;
  std::vector<uint64_t> primes;
};

std::string text(const WideLine& line) {
  std::string out = line.k.get_str() + "  " + std::to_string(line.period) + "  [";
  for (size_t i = 0; i < line.primes.size(); ++i) out += (i > 0 ? ", " : "") + std::to_string(line.primes[i]);
  return out + "]\n";
}

// What the line claims, from exact terms: each p prime, ascending, prime to b, with
// b^P = 1 (mod p); 1 <= k < 2^256; every n of 1 .. N with a listed p dividing the term,
// the term not p itself. N of at least 3P and 70 holds every pattern and every term
// below 2^64.
bool provedByBruteForce(const WideLine& line, uint32_t N) {
  if (line.primes.empty() || line.k < 1 || line.k >= power(2, 256)) return false;
  for (size_t i = 0; i < line.primes.size(); ++i) {
    const uint64_t p = line.primes[i];
    if (!isPrimeGmp(p) || (i > 0 && p <= line.primes[i - 1]) || line.base % p == 0) return false;
    if (powModGmp(line.base, line.period, p) != 1) return false;
  }
  for (uint32_t n = 1; n <= N; ++n) {
    const mpz_class term = line.k * power(line.base, n) + line.c;
    bool composite = false;
    for (uint64_t p : line.primes) composite = composite || (term % mpz_class(p) == 0 && term != mpz_class(p));
    if (!composite) return false;
  }
  return true;
}

// The least n of 1 .. N whose term no listed prime divides, 0 when none.
uint32_t firstUncovered(const WideLine& line, uint32_t N) {
  for (uint32_t n = 1; n <= N; ++n) {
    const mpz_class term = line.k * power(line.base, n) + line.c;
    bool covered = false;
    for (uint64_t p : line.primes) covered = covered || term % mpz_class(p) == 0;
    if (!covered) return n;
  }
  return 0;
}

// A random prime of [from, to).
uint64_t randomPrime(std::mt19937_64& random, uint64_t from, uint64_t to) {
  for (;;)
    if (const uint64_t p = from + random() % (to - from); isPrimeGmp(p)) return p;
}

// A generated line: the primes of the cyclotomic values of b for the divisors of P,
// those above 2^32 kept with more weight, k for each prime's class of n solved by CRT
// (every n of 1 .. P given a prime when there are enough), then shifted by a random
// multiple of the product towards 2^256; sometimes k moved by one, a prime dropped, a
// composite or a prime of another order put in.
WideLine generate(std::mt19937_64& random) {
  const uint32_t periods[] = {1, 2, 3, 4, 6, 12};
  WideLine line;
  line.base = random() % 3 == 0 ? random() % 60 + 2 : random() % 1000000000 + 1;
  if (line.base < 2) line.base = 2;
  line.c = random() % 2 ? 1 : -1;
  line.period = periods[random() % std::size(periods)];
  const uint64_t b = line.base;
  const std::pair<uint32_t, uint64_t> values[] = {
      {1, b - 1}, {2, b + 1}, {3, b * b + b + 1}, {4, b * b + 1}, {6, b * b - b + 1}};
  std::vector<uint64_t> candidates;
  for (const auto& [d, value] : values) {
    if (line.period % d != 0 || value < 2) continue;
    for (uint64_t p : primesOf(value))
      if (b % p != 0) candidates.push_back(p);
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  mpz_class k = 0, product = 1;
  uint32_t n = 1;
  for (uint64_t p : candidates) {
    if (random() % 4 == 0 || product * p >= power(2, 200)) continue;
    // k*b^n = -c (mod p): k = -c * b^-n.
    mpz_class inverse, residue;
    const mpz_class P(p), bn = powModGmp(b, n, p);
    mpz_invert(inverse.get_mpz_t(), bn.get_mpz_t(), P.get_mpz_t());
    residue = ((-line.c * inverse) % P + P) % P;
    // CRT: k + product * t = residue (mod p).
    mpz_class t, productInverse;
    const mpz_class productModP = product % P;
    mpz_invert(productInverse.get_mpz_t(), productModP.get_mpz_t(), P.get_mpz_t());
    t = (((residue - k) % P + P) % P * productInverse) % P;
    k += product * t;
    product *= p;
    line.primes.push_back(p);
    n = n % line.period + 1;
  }
  // Shift towards 2^256 by a multiple of the product: the same k mod every prime.
  const mpz_class room = (power(2, 256) - 1 - k) / product;
  if (room > 0 && random() % 4 != 0) {
    gmp_randclass state(gmp_randinit_default);
    state.seed(random());
    k += product * (random() % 3 == 0 ? room : mpz_class(state.get_z_range(room)));
  }
  if (k == 0) k = product;
  line.k = k;
  switch (random() % 10) {
    case 0: line.k += 1; break;
    case 1: if (!line.primes.empty()) line.primes.erase(line.primes.begin() + random() % line.primes.size()); break;
    case 2: line.primes.push_back(randomPrime(random, uint64_t(1) << 32, UINT64_MAX)); break;
    case 3: line.primes.push_back(randomPrime(random, 1u << 20, 1u << 31) * randomPrime(random, 1u << 20, 1u << 31)); break;
    case 4: line.k += product; break;  // still below 2^256 or refused as larger
    default: break;
  }
  std::sort(line.primes.begin(), line.primes.end());
  line.primes.erase(std::unique(line.primes.begin(), line.primes.end()), line.primes.end());
  return line;
}

TEST(VerifyWide, GeneratedLinesAgreeWithBruteForceOverExactTerms) {
  std::mt19937_64 random(65520);
  int proved = 0, refused = 0, wideK = 0, widePrime = 0, uncovered = 0;
  for (int trial = 0; trial < 1500; ++trial) {
    const WideLine line = generate(random);
    const std::string written = text(line);
    SCOPED_TRACE(written + "base=" + std::to_string(line.base) + " c=" + std::to_string(line.c));
    const bool expected = provedByBruteForce(line, std::max<uint32_t>(3 * line.period, 70));
    const verify::LineVerdict verdict = verify::checkLine(written, int64_t(line.base), line.c);
    ASSERT_EQ(verdict.fault.empty(), expected) << verdict.fault;
    ++(expected ? proved : refused);
    wideK += line.k > power(2, 64);
    widePrime += std::any_of(line.primes.begin(), line.primes.end(), [](uint64_t p) { return p > UINT32_MAX; });
    // The first uncovered n is the one named, with k as written.
    if (verdict.fault.find("is not covered") != std::string::npos) {
      ++uncovered;
      const uint32_t n = firstUncovered(line, line.period);
      EXPECT_EQ(verdict.fault, "n=" + std::to_string(n) + " is not covered: no listed prime divides " +
                                   line.k.get_str() + "*" + std::to_string(line.base) + "^" + std::to_string(n) +
                                   (line.c > 0 ? "+1" : "-1"));
    }
    // A refused order is the order of b.
    if (const size_t at = verdict.fault.find(" is "); verdict.fault.rfind("the order of ", 0) == 0) {
      const size_t modulo = verdict.fault.find(" modulo ");
      const uint64_t p = std::stoull(verdict.fault.substr(modulo + 8));
      const uint64_t d = std::stoull(verdict.fault.substr(at + 4));
      EXPECT_TRUE(isOrder(line.base % p, p, d)) << verdict.fault;
    }
    // The library's verify() for k in decimal agrees where the period is the orders' lcm.
    if (verdict.parsed && line.k < power(2, 256)) {
      EXPECT_EQ(pelund::verifyLine(written, int64_t(line.base), line.c).fault, verdict.fault);
      EXPECT_EQ(pelund::verifyLine(written, int64_t(line.base), line.c).kText, line.k.get_str());
      bool ordersDivide = true;
      for (uint64_t p : line.primes) ordersDivide = ordersDivide && isPrimeGmp(p) && powModGmp(line.base, line.period, p) == 1;
      if (ordersDivide) {
        EXPECT_EQ(pelund::verify(int64_t(line.base), line.c, line.k.get_str(), line.primes), expected);
      }
    }
  }
  std::printf("wide lines: %d proved, %d refused (%d uncovered); %d with k above 2^64, %d with a prime above 2^32\n",
              proved, refused, uncovered, wideK, widePrime);
  EXPECT_GT(proved, 300);
  EXPECT_GT(refused, 300);
  EXPECT_GT(uncovered, 30);
  EXPECT_GT(wideK, 500);
  EXPECT_GT(widePrime, 300);
}

// The orders of b modulo random primes of 2^32 .. 2^64 (p-1 of every shape the random
// draw gives), safe primes, primes with p-1 = 2qr for q and r near 2^31 and with
// p-1 = 4q^2 or 2q^3, against the definition; the refusal of such a prime names it.
TEST(VerifyWide, OrdersOfLargePrimesAgreeWithTheirDefinition) {
  std::mt19937_64 random(2026);
  std::vector<uint64_t> primes;
  while (primes.size() < 150) primes.push_back(randomPrime(random, uint64_t(1) << 32, UINT64_MAX));
  for (int found = 0; found < 40;) {
    const uint64_t q = randomPrime(random, uint64_t(1) << 40, uint64_t(1) << 62);
    if (isPrimeGmp(2 * q + 1)) primes.push_back(2 * q + 1), ++found;
  }
  for (int found = 0; found < 40;) {
    // p-1 = 2*q*r with q, r near 2^31: the hardest split for the rho.
    const uint64_t q = randomPrime(random, uint64_t(1) << 30, uint64_t(1) << 31);
    const uint64_t r = randomPrime(random, uint64_t(1) << 30, uint64_t(1) << 31);
    if (isPrimeGmp(2 * q * r + 1)) primes.push_back(2 * q * r + 1), ++found;
  }
  for (int found = 0; found < 20;) {
    // p-1 = 4*q^2 and 2*q^3: a square or cube of a prime in p-1 (2q^2+1 is a multiple of 3).
    const uint64_t q = found % 2 ? randomPrime(random, 1000, 1u << 20) : randomPrime(random, uint64_t(1) << 30, uint64_t(1) << 31);
    const uint64_t p = found % 2 ? 2 * q * q * q + 1 : 4 * q * q + 1;
    if (isPrimeGmp(p)) primes.push_back(p), ++found;
  }
  for (uint64_t p : primes) {
    for (uint64_t base : {2ull, 3ull, 10ull, 1000000000ull}) {
      const uint64_t order = verify::multiplicativeOrder64(base % p, p);
      ASSERT_TRUE(isOrder(base % p, p, order)) << base << " mod " << p << ": " << order;
      if (12 % order == 0) continue;
      const std::string line = "1  12  [" + std::to_string(p) + "]\n";
      EXPECT_EQ(verify::checkLine(line, int64_t(base), 1).fault,
                "the order of " + std::to_string(base) + " modulo " + std::to_string(p) + " is " +
                    std::to_string(order) + ", which does not divide the period 12");
    }
  }
}

// Composites that pass Miller-Rabin to the first bases (strong pseudoprimes to 2 .. 11,
// 2 .. 13, 2 .. 17 and 2 .. 23), products of two primes above 2^31, and primes
// near 2^64, against GMP's test.
TEST(VerifyWide, PrimalityAgreesWithGmp) {
  std::mt19937_64 random(64);
  std::vector<uint64_t> samples = {2152302898747ull, 3474749660383ull, 341550071728321ull, 3825123056546413051ull,
                                   UINT64_MAX, UINT64_MAX - 58};
  for (int i = 0; i < 200; ++i)
    samples.push_back(randomPrime(random, uint64_t(1) << 31, uint64_t(1) << 32) *
                      randomPrime(random, uint64_t(1) << 31, uint64_t(1) << 32));
  for (int i = 0; i < 3000; ++i) samples.push_back(UINT64_MAX - random() % 100000);
  for (int i = 0; i < 3000; ++i) samples.push_back(random() | 1);
  int composites = 0;
  for (uint64_t n : samples) {
    ASSERT_EQ(verify::isPrimeWide(n), isPrimeGmp(n)) << n;
    if (isPrimeGmp(n)) continue;
    ++composites;
    // Refused as a line's prime, whatever else the line says.
    EXPECT_EQ(verify::checkLine("1  1  [" + std::to_string(n) + "]\n", 2, 1).fault, std::to_string(n) + " is not prime");
  }
  EXPECT_GT(composites, 3000);
}

// The bounds, each checked before the line's arithmetic.
TEST(VerifyWide, HostileLinesAreRefusedWithTheirReason) {
  std::string primes;  // the 10^4 primes from 10^6 on
  int count = 0;
  for (uint64_t p = 1000003; count < 10000; p += 2)
    if (isPrimeGmp(p)) primes += (count++ > 0 ? ", " : "") + std::to_string(p);
  const struct {
    std::string line;
    std::string fault;
  } cases[] = {
      {std::string(300, '9') + "  12  [7]\n", "k is larger than 2^256-1"},
      {"1  65521  [7]\n", "the period must be at most 65520 (the largest a search writes)"},
      {"1  65521  [" + primes + "]\n", "the period must be at most 65520 (the largest a search writes)"},
      {std::string(300, '9') + "  65520  [" + primes + "]\n", "k is larger than 2^256-1"},
      {"1  65520  [" + primes + "]\n",
       "the order of 10 modulo 1000003 is " + std::to_string(verify::multiplicativeOrder64(10, 1000003)) +
           ", which does not divide the period 65520"},
      {"1  12  [18446744073709551616]\n", "prime is larger than 18446744073709551615"},
      {"9223372036854775808  12  [7]  + n=0 (mod 2): y^2-1\n",
       "k is larger than 9223372036854775807, the largest k of a line with algebraic classes"},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.line.substr(0, 100));
    EXPECT_EQ(verify::checkLine(one.line, 10, -1).fault, one.fault);
  }
  EXPECT_TRUE(isOrder(10, 1000003, verify::multiplicativeOrder64(10, 1000003)));
  EXPECT_NE(65520 % verify::multiplicativeOrder64(10, 1000003), 0u);
}

// A wide line explained: k as written, each prime's class the n that brute force finds.
TEST(VerifyWide, ExplanationsOfWideLinesFollowTheTerms) {
  std::mt19937_64 random(11);
  int explained = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const WideLine line = generate(random);
    const pelund::Explanation e = pelund::explainLine(text(line), int64_t(line.base), line.c);
    if (!e.parsed) continue;
    EXPECT_EQ(e.kText, line.k.get_str());
    EXPECT_EQ(e.k, line.k.fits_slong_p() ? line.k.get_si() : 0);
    if (!e.classesKnown) continue;
    ++explained;
    for (const pelund::PrimeClass& prime : e.primes) {
      std::vector<uint32_t> residues;
      for (uint32_t n = 1; n <= prime.period; ++n)
        if ((line.k * power(line.base, n) + line.c) % mpz_class(prime.prime) == 0) residues.push_back(n % prime.period);
      EXPECT_EQ(prime.residues, residues) << prime.prime;
      EXPECT_TRUE(isOrder(line.base % prime.prime, prime.prime, prime.period));
    }
    const pelund::Explanation again = pelund::explain(int64_t(line.base), line.c, line.k.get_str(), line.primes,
                                                      line.period);
    EXPECT_EQ(again.fault, e.fault);
  }
  EXPECT_GT(explained, 100);
}

}  // namespace

namespace {

// Terms that are 64-bit primes: k*b^n + c = p for random b, n and k, p listed with
// others; the first such n, with the term, as brute force over exact terms finds it.
TEST(VerifyWide, TermsThatAreListedWidePrimesAreFound) {
  std::mt19937_64 random(61);
  int found = 0;
  while (found < 200) {
    const uint64_t base = random() % 3 == 0 ? 2 : random() % 1000 + 2;
    const int32_t c = random() % 2 ? 1 : -1;
    const uint32_t n = uint32_t(random() % 4 + 1);
    const mpz_class top = power(2, 64) / power(base, n);
    if (top < 4) continue;
    gmp_randclass state(gmp_randinit_default);
    state.seed(random());
    const mpz_class k = state.get_z_range(top - 2) + 1, term = k * power(base, n) + c;
    if (term > UINT64_MAX || !isPrimeGmp(term.get_ui())) continue;
    std::vector<uint64_t> primes = {term.get_ui(), randomPrime(random, 3, uint64_t(1) << 40)};
    std::sort(primes.begin(), primes.end());
    uint32_t expected = 0;
    for (uint32_t m = 1; m <= 70 && expected == 0; ++m) {
      const mpz_class t = k * power(base, m) + c;
      if (t == primes[0] || t == primes[1]) expected = m;
    }
    verify::WideK wide;
    wide.limb[0] = k.get_ui();
    ASSERT_EQ(verify::firstPrimeTerm(wide, base, c, primes), expected) << k.get_str() << "*" << base << "^n" << c;
    const mpz_class t = k * power(base, expected) + c;
    EXPECT_EQ(verify::primeTermFault(k.get_ui(), base, c, expected),
              "n=" + std::to_string(expected) + " is not proved composite: " + k.get_str() + "*" +
                  std::to_string(base) + "^" + std::to_string(expected) + (c > 0 ? "+1" : "-1") +
                  " is the listed prime " + t.get_str() + " itself");
    // k beyond 2^64 with the same residues has no such term.
    wide.limb[1] = 1;
    EXPECT_EQ(verify::firstPrimeTerm(wide, base, c, primes), 0u);
    ++found;
  }
}

}  // namespace

namespace {

// The order of k across lines compares wide k exactly: each line of a shuffled file of
// covering k (small and wide) is bad exactly when its k is not above the last one read.
TEST(VerifyWide, KMustAscendAcrossWideLines) {
  std::mt19937_64 random(7);
  const mpz_class product = 7 * 11 * 13 * 37;
  std::vector<mpz_class> ks;
  gmp_randclass state(gmp_randinit_default);
  state.seed(random());
  for (int i = 0; i < 40; ++i)
    ks.push_back(10176 + product * (i % 4 == 0 ? mpz_class(state.get_z_bits(20)) : mpz_class(state.get_z_bits(230))));
  for (int i = 0; i < 10; ++i) ks.push_back(ks[random() % ks.size()]);  // repeated k
  std::shuffle(ks.begin(), ks.end(), random);
  std::string text;
  for (const mpz_class& k : ks) text += k.get_str() + "  6  [7, 11, 13, 37]\n";
  std::FILE* in = fmemopen(text.data(), text.size(), "r");
  char* reported = nullptr;
  size_t size = 0;
  std::FILE* report = open_memstream(&reported, &size);
  const verify::Tally tally = verify::checkStream(in, 10, -1, report);
  std::fclose(in);
  std::fclose(report);
  std::string expected;
  uint64_t bad = 0;
  for (size_t i = 1; i < ks.size(); ++i) {
    if (ks[i] > ks[i - 1]) continue;
    ++bad;
    expected += "line " + std::to_string(i + 1) + ": k is not above the k of line " + std::to_string(i) + " (" +
                ks[i - 1].get_str() + ") : " + ks[i].get_str() + "  6  [7, 11, 13, 37]\n";
  }
  EXPECT_EQ(std::string(reported, size), expected);
  EXPECT_EQ(tally.bad, bad);
  EXPECT_GT(bad, 10u);
  std::free(reported);
}

}  // namespace
