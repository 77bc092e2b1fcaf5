// The candidate primes of a wide search: the prime factors of Phi_d(b) (cyclotomic.h)
// against GMP, which computes Phi_d(b) independently as the product of (b^e - 1)^mu(d/e)
// and checks that the factors found multiply back into it; small values against trial
// division; and the merged candidate list against the prime factors of b^P - 1.
#include <gtest/gtest.h>
#include <gmp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "cyclotomic.h"
#include "mulmod64.h"

namespace {

struct Mpz {
  mpz_t v;
  Mpz() { mpz_init(v); }
  ~Mpz() { mpz_clear(v); }
  Mpz(const Mpz&) = delete;
};

int moebius(uint32_t n) {
  int sign = 1;
  for (uint32_t q = 2; q <= n; ++q) {
    if (n % q != 0) continue;
    n /= q;
    if (n % q == 0) return 0;
    sign = -sign;
  }
  return sign;
}

// Phi_d(b) = prod over e | d of (b^e - 1)^mu(d/e).
void cyclotomicValue(mpz_t out, uint64_t b, uint32_t d) {
  Mpz num, den, term;
  mpz_set_ui(num.v, 1), mpz_set_ui(den.v, 1);
  for (uint32_t e = 1; e <= d; ++e) {
    if (d % e != 0 || moebius(d / e) == 0) continue;
    mpz_ui_pow_ui(term.v, b, e);
    mpz_sub_ui(term.v, term.v, 1);
    mpz_mul(moebius(d / e) > 0 ? num.v : den.v, moebius(d / e) > 0 ? num.v : den.v, term.v);
  }
  mpz_divexact(out, num.v, den.v);
}

// The product of the primes of period d found: those below 2^64 with their powers, the
// large ones.
void productOf(mpz_t out, const CyclotomicFactors& f) {
  mpz_set_ui(out, 1);
  Mpz power;
  for (size_t i = 0; i < f.primes.size(); ++i) {
    mpz_set_ui(power.v, f.primes[i]);
    mpz_pow_ui(power.v, power.v, f.exponents[i]);
    mpz_mul(out, out, power.v);
  }
  for (const std::string& p : f.largePrimes) {
    mpz_set_str(power.v, p.c_str(), 10);
    EXPECT_GT(mpz_probab_prime_p(power.v, 30), 0) << p;
    mpz_mul(out, out, power.v);
  }
}

// Everything a factor list must satisfy against GMP's Phi_d(b).
void expectConsistent(uint64_t b, const CyclotomicFactors& f) {
  SCOPED_TRACE("Phi_" + std::to_string(f.d) + "(" + std::to_string(b) + ")");
  Mpz value, product, rest;
  cyclotomicValue(value.v, b, f.d);
  // The prime of d may divide Phi_2(b) = b + 1 more than once; for d > 2 at most once.
  if (f.periodPrime != 0) {
    ASSERT_TRUE(mpz_divisible_ui_p(value.v, f.periodPrime));
    for (int e = 0; mpz_divisible_ui_p(value.v, f.periodPrime); ++e) {
      if (f.d > 2) {
        ASSERT_EQ(e, 0);
      }
      mpz_divexact_ui(value.v, value.v, f.periodPrime);
    }
  }
  for (uint64_t q : pelund::distinctPrimeFactors64(f.d)) EXPECT_FALSE(mpz_divisible_ui_p(value.v, q)) << q;
  productOf(product.v, f);
  ASSERT_TRUE(mpz_divisible_p(value.v, product.v));
  mpz_divexact(rest.v, value.v, product.v);
  if (f.complete) {
    EXPECT_EQ(mpz_cmp_ui(rest.v, 1), 0);
  } else {
    char* text = mpz_get_str(nullptr, 10, rest.v);
    EXPECT_EQ(f.cofactorDigits, std::string(text).size());
    free(text);
  }
  EXPECT_TRUE(std::is_sorted(f.primes.begin(), f.primes.end()));
  for (uint64_t p : f.primes) {
    EXPECT_TRUE(pelund::isPrime64(p)) << p;
    EXPECT_EQ(pelund::orderMod64(b, p, f.d), f.d) << p;
  }
  if (f.periodPrime != 0) {
    EXPECT_EQ(f.d % f.periodPrime, 0u);
  }
}

TEST(WideCandidates, AvailabilityFollowsTheBuild) {
  EXPECT_EQ(cyclotomicFactoringAvailable(), bool(PELUND_FACTORING_BUILT));
  const auto all = factorCyclotomics(10, 12, 0.5, pelund::StopToken{});
  ASSERT_TRUE(all.has_value());
  std::vector<uint32_t> ds;
  for (const CyclotomicFactors& f : *all) ds.push_back(f.d);
  EXPECT_EQ(ds, (std::vector<uint32_t>{2, 3, 4, 6, 12}));
  for (const CyclotomicFactors& f : *all) {
    if (!cyclotomicFactoringAvailable()) {
      EXPECT_FALSE(f.complete);
      EXPECT_TRUE(f.primes.empty());
    } else {
      EXPECT_TRUE(f.complete);
    }
  }
  const std::string text = describeCyclotomicFactors(10, *all);
  EXPECT_EQ(text.find("Phi_12(10)"), text.rfind('\n', text.size() - 2) + 1) << text;
  EXPECT_EQ(text.find("built without") != std::string::npos, !cyclotomicFactoringAvailable()) << text;
}

// Small values: the primes of period d dividing Phi_d(b), by trial division.
TEST(WideCandidates, SmallValuesAgreeWithTrialDivision) {
  if (!cyclotomicFactoringAvailable()) GTEST_SKIP() << "built without a factoring library";
  int checked = 0;
  for (uint64_t b = 2; b <= 40; ++b) {
    const uint32_t period = b % 3 == 0 ? 60 : b % 3 == 1 ? 72 : 90;
    const auto all = factorCyclotomics(int64_t(b), period, 0.05, pelund::StopToken{});
    ASSERT_TRUE(all.has_value());
    for (const CyclotomicFactors& f : *all) {
      Mpz value;
      cyclotomicValue(value.v, b, f.d);
      if (mpz_sizeinbase(value.v, 2) > 40) continue;
      uint64_t n = mpz_get_ui(value.v), periodPrime = 0, periodExponent = 0;
      std::vector<uint64_t> primes;
      std::vector<uint32_t> exponents;
      for (uint64_t q = 2; q * q <= n || n > 1; ++q) {
        if (q * q > n) q = n;
        uint32_t e = 0;
        for (; n % q == 0; n /= q) ++e;
        if (e == 0) continue;
        if (f.d % q == 0) periodPrime = q, periodExponent = e;
        else primes.push_back(q), exponents.push_back(e);
      }
      SCOPED_TRACE("Phi_" + std::to_string(f.d) + "(" + std::to_string(b) + ")");
      EXPECT_TRUE(f.complete);
      EXPECT_EQ(f.primes, primes);
      EXPECT_EQ(f.exponents, exponents);
      EXPECT_EQ(f.periodPrime, periodPrime);
      EXPECT_EQ(f.periodPrimeExponent, periodExponent);
      ++checked;
    }
  }
  EXPECT_GT(checked, 300);
}

// The log's lines: each complete one names Phi_d(b) as a product of primes and powers
// that multiplies back into the value, b + 1 with its powers of 2 included (b = 3 mod 4).
TEST(WideCandidates, CompleteLogLinesMultiplyIntoTheValue) {
  if (!cyclotomicFactoringAvailable()) GTEST_SKIP() << "built without a factoring library";
  int lines = 0;
  for (uint64_t b = 2; b <= 80; ++b) {
    const auto all = factorCyclotomics(int64_t(b), 24, 0.05, pelund::StopToken{});
    ASSERT_TRUE(all.has_value());
    const std::string text = describeCyclotomicFactors(int64_t(b), *all);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = text.substr(at, end - at);
      SCOPED_TRACE(line);
      unsigned d = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "Phi_%u(", &d), 1);
      const size_t equals = line.find(" = "), comma = line.rfind(", complete");
      if (equals == std::string::npos) continue;  // not factored completely
      ASSERT_EQ(comma + 10, line.size());
      Mpz product, value, power;
      mpz_set_ui(product.v, 1);
      std::string terms = line.substr(equals + 3, comma - equals - 3) + " * ";
      for (size_t from = 0, star; (star = terms.find(" * ", from)) != std::string::npos; from = star + 3) {
        const std::string term = terms.substr(from, star - from);
        const size_t caret = term.find('^');
        mpz_set_str(power.v, term.substr(0, caret).c_str(), 10);
        mpz_pow_ui(power.v, power.v, caret == std::string::npos ? 1 : std::stoul(term.substr(caret + 1)));
        mpz_mul(product.v, product.v, power.v);
      }
      cyclotomicValue(value.v, b, d);
      EXPECT_EQ(mpz_cmp(product.v, value.v), 0);
      ++lines;
    }
  }
  EXPECT_GT(lines, 400);
}

// Generated bases up to 10^9 and divisors of 720: whatever is found multiplies into
// Phi_d(b), complete means nothing is left, and the listed primes have period d.
TEST(WideCandidates, FactorsMultiplyIntoTheValue) {
  if (!cyclotomicFactoringAvailable()) GTEST_SKIP() << "built without a factoring library";
  std::mt19937_64 random(31);
  int complete = 0, partial = 0;
  for (int i = 0; i < 6; ++i) {
    const uint64_t b = 2 + random() % (i % 2 == 0 ? 1000 : 1000000000);
    const auto all = factorCyclotomics(int64_t(b), i < 3 ? 720 : 360, 0.02, pelund::StopToken{});
    ASSERT_TRUE(all.has_value());
    for (const CyclotomicFactors& f : *all) {
      expectConsistent(b, f);
      (f.complete ? complete : partial) += 1;
    }
  }
  EXPECT_GT(complete, 20);
  EXPECT_GT(partial, 0);
}

// Base 32400, period 11: Phi_11(32400) splits into eleven primes, each of period 11,
// the largest above 10^9; their product is the value.
TEST(WideCandidates, Base32400Period11) {
  if (!cyclotomicFactoringAvailable()) GTEST_SKIP() << "built without a factoring library";
  const auto all = factorCyclotomics(32400, 11, 5.0, pelund::StopToken{});
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->size(), 1u);
  const CyclotomicFactors& f = all->front();
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.primes.size(), 11u);
  EXPECT_EQ(f.periodPrime, 0u);
  expectConsistent(32400, f);
  EXPECT_GT(f.primes.back(), 1000000000u);
  const std::string line = describeCyclotomicFactors(32400, *all);
  EXPECT_EQ(line.rfind("Phi_11(32400) = 23 * 89 * ", 0), 0u) << line;
  EXPECT_NE(line.find(std::to_string(f.primes.back()) + ", complete\n"), std::string::npos) << line;
}

// Base 999999937, period 12: the primes of period 4 and 6 divide b^2 + 1 and
// b^2 - b + 1 (near 10^18); those above 10^9 become candidates with maxfact 2^64 - 1.
TEST(WideCandidates, Base999999937Period12) {
  if (!cyclotomicFactoringAvailable()) GTEST_SKIP() << "built without a factoring library";
  const int64_t b = 999999937;
  const auto all = factorCyclotomics(b, 12, 5.0, pelund::StopToken{});
  ASSERT_TRUE(all.has_value());
  for (const CyclotomicFactors& f : *all) {
    expectConsistent(uint64_t(b), f);
    EXPECT_TRUE(f.complete) << f.d;
  }
  const std::vector<pelund::WidePrime> wide = wideCandidatePrimes(b, 12, UINT64_MAX, {}, *all);
  int above[13] = {};
  for (const pelund::WidePrime& w : wide) {
    EXPECT_EQ(pelund::orderMod64(uint64_t(b), w.prime, 12), w.period);
    EXPECT_GE(w.prime, 1000000000u);
    above[w.period] += 1;
  }
  EXPECT_GT(above[4], 0);
  EXPECT_GT(above[6], 0);
}

// The merged list against the prime factors of b^P - 1 (all primes whose period
// divides P), fully factored by trial division where its cofactor is 1 or prime: the
// exhaustive part is given as the table would give it, below min(maxfact, 10^9).
// Without a factoring library the list is that part alone.
TEST(WideCandidates, MergedListAgreesWithFactorsOfBPowerMinusOne) {
  std::mt19937_64 random(41);
  int compared = 0;
  for (int i = 0; i < 40; ++i) {
    const uint64_t b = 2 + random() % 200;
    const uint32_t period = 2 + uint32_t(random() % 24);
    Mpz value, q;
    mpz_ui_pow_ui(value.v, b, period);
    mpz_sub_ui(value.v, value.v, 1);
    std::vector<uint64_t> primes;
    for (uint64_t p = 2; p < 1000000 && mpz_cmp_ui(value.v, 1) > 0; ++p)
      if (mpz_divisible_ui_p(value.v, p)) {
        primes.push_back(p);
        while (mpz_divisible_ui_p(value.v, p)) mpz_divexact_ui(value.v, value.v, p);
      }
    if (mpz_cmp_ui(value.v, 1) > 0) {
      if (!mpz_fits_ulong_p(value.v) || mpz_probab_prime_p(value.v, 30) == 0) continue;
      primes.push_back(mpz_get_ui(value.v));
    }
    for (uint64_t maxFact : {uint64_t(1000), uint64_t(5000000000), UINT64_MAX}) {
      std::vector<FactorPeriod> exhaustive;
      std::vector<pelund::WidePrime> expected;
      for (uint64_t p : primes) {
        if ((b - 1) % p == 0) continue;
        const uint32_t order = uint32_t(pelund::orderMod64(b, p, period));
        if (p < std::min<uint64_t>(maxFact, 1000000000)) exhaustive.push_back({uint32_t(p), order});
        // Without a factoring library only the exhaustive part is known.
        if (p < maxFact && (cyclotomicFactoringAvailable() || p < 1000000000)) expected.push_back({p, order});
      }
      const auto all = factorCyclotomics(int64_t(b), period, 1.0, pelund::StopToken{});
      ASSERT_TRUE(all.has_value());
      EXPECT_EQ(wideCandidatePrimes(int64_t(b), period, maxFact, exhaustive, *all), expected)
          << "b=" << b << " P=" << period << " maxfact=" << maxFact;
      ++compared;
    }
  }
  EXPECT_GT(compared, 30);
}

TEST(WideCandidates, StopsWhenAsked) {
  std::atomic<bool> stop{true};
  EXPECT_FALSE(factorCyclotomics(999999937, 720, 1.0, pelund::StopToken(stop)).has_value());
}

}  // namespace
