// 64-bit modular arithmetic of the wide candidate primes (mulmod64.h) against GMP:
// products, powers and primality on generated values, most of them near 2^64, and
// orders against the least exponent found by repeated multiplication.
#include <gtest/gtest.h>
#include <gmp.h>

#include <random>

#include "mulmod64.h"

namespace {

// A value of GMP from 64 bits (mpz_set_ui takes unsigned long, 64 bits here).
struct Mpz {
  mpz_t v;
  explicit Mpz(uint64_t x = 0) { mpz_init_set_ui(v, x); }
  ~Mpz() { mpz_clear(v); }
  uint64_t get() const { return mpz_get_ui(v); }
};

// Values near 2^64, near 2^32 and anywhere, in turn.
uint64_t generated(std::mt19937_64& random, int kind) {
  const uint64_t r = random();
  switch (kind % 3) {
    case 0: return UINT64_MAX - (r % 4096);
    case 1: return (uint64_t(1) << 32) + (r % 8192) - 4096;
    default: return r >> (r % 60);
  }
}

TEST(WideArith, ProductsAndPowersAgreeWithGmp) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t m = std::max<uint64_t>(1, generated(random, i));
    const uint64_t a = generated(random, i + 1), b = generated(random, i + 2), e = random() >> (random() % 64);
    Mpz x(a), y(b), mod(m), r;
    mpz_mul(r.v, x.v, y.v);
    mpz_mod(r.v, r.v, mod.v);
    ASSERT_EQ(pelund::mulmod64(a, b, m), r.get()) << a << " * " << b << " mod " << m;
    Mpz exponent(e);
    mpz_powm(r.v, x.v, exponent.v, mod.v);
    ASSERT_EQ(pelund::powmod64(a, e, m), r.get()) << a << " ^ " << e << " mod " << m;
  }
}

TEST(WideArith, PrimalityAgreesWithGmp) {
  std::mt19937_64 random(12);
  int primes = 0;
  for (int i = 0; i < 60000; ++i) {
    const uint64_t n = generated(random, i) | (i % 5 != 0);  // mostly odd
    Mpz x(n);
    const bool prime = mpz_probab_prime_p(x.v, 40) > 0;
    primes += prime;
    ASSERT_EQ(pelund::isPrime64(n), prime) << n;
  }
  EXPECT_GT(primes, 500);
  for (uint64_t n = 0; n < 5000; ++n) {
    Mpz x(n);
    ASSERT_EQ(pelund::isPrime64(n), mpz_probab_prime_p(x.v, 40) > 0) << n;
  }
  // Strong pseudoprimes to several small bases at once.
  for (uint64_t n : {3215031751ull, 2152302898747ull, 3474749660383ull, 341550071728321ull, 3825123056546413051ull})
    EXPECT_FALSE(pelund::isPrime64(n)) << n;
}

TEST(WideArith, OrdersAgreeWithRepeatedMultiplication) {
  std::mt19937_64 random(13);
  for (int i = 0; i < 3000; ++i) {
    // A prime p = 1 + j*d near 2^40 .. 2^64 whose p - 1 has a small divisor d, and a
    // period P that d divides or not: the order must be found among P's divisors.
    const uint64_t d = 2 + random() % 200;
    uint64_t p = 0;
    const int bits = 34 + int(random() % 30);
    for (uint64_t j = (random() >> (64 - bits)) / d + 1; !pelund::isPrime64(p = 1 + j * d); ++j) {}
    const uint64_t base = 2 + random() % 1000000000;
    const uint64_t period = (random() % 2 == 0 ? d : 1 + random() % 300) * (1 + random() % 3);
    uint64_t expected = 0, x = 1;
    if (base % p != 0)
      for (uint64_t e = 1; e <= period; ++e)
        if ((x = pelund::mulmod64(x, base, p)) == 1) {
          expected = period % e == 0 ? e : 0;
          break;
        }
    ASSERT_EQ(pelund::orderMod64(base, p, period), expected) << base << " mod " << p << " period " << period;
  }
}

}  // namespace
