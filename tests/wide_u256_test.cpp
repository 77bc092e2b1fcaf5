// U256 against GMP on generated values: decimal text both ways, sums and differences
// with their carries, products with their overflow, remainders and quotients by 64-bit
// numbers, long division, and steps of the Chinese remainder theorem with moduli near
// 2^128 and 2^256 as the wide tree takes them.
#include <gtest/gtest.h>

#include <random>
#include <string>

#if __has_include(<gmpxx.h>)
#include <gmpxx.h>
#define PELUND_WIDE_GMP 1
#endif

#include "mulmod64.h"
#include "u256.h"

#ifdef PELUND_WIDE_GMP
namespace {

using pelund::U256;

mpz_class toMpz(const U256& v) {
  mpz_class r = 0;
  for (int i = 3; i >= 0; --i) r = (r << 64) + mpz_class(std::to_string(v.limb[i]));
  return r;
}

const mpz_class kTwo256 = mpz_class(1) << 256;

// Values of every size: random limbs under a random number of bits, and edges.
U256 generated(std::mt19937_64& random) {
  U256 v = U256::fromLimbs(random(), random(), random(), random());
  switch (random() % 6) {
    case 0: return v.shiftRight(int(random() % 256));
    case 1: return U256::max() - U256(random() % 3);
    case 2: return U256(random() % 5);
    case 3: return U256(1).shiftLeft(int(random() % 256)) - U256(random() % 2);
    default: return v;
  }
}

TEST(WideU256, DecimalTextBothWays) {
  std::mt19937_64 random(1);
  for (int i = 0; i < 4000; ++i) {
    const U256 v = generated(random);
    const std::string text = v.toString();
    EXPECT_EQ(text, toMpz(v).get_str());
    U256 back;
    ASSERT_TRUE(U256::parse(text, back));
    EXPECT_EQ(back, v);
    ASSERT_TRUE(U256::parse(std::string(random() % 4, '0') + text, back));
    EXPECT_EQ(back, v);
  }
}

TEST(WideU256, ParseRefusesWhatIsNoDecimalBelow2To256) {
  std::mt19937_64 random(2);
  U256 out;
  EXPECT_FALSE(U256::parse("", out));
  for (int i = 0; i < 500; ++i) {
    const mpz_class beyond = kTwo256 + toMpz(generated(random)) % (kTwo256 * 3);
    EXPECT_FALSE(U256::parse(beyond.get_str(), out)) << beyond.get_str();
    std::string text = toMpz(generated(random)).get_str();
    const char bad[] = {'+', '-', ' ', 'x', '.', '\n'};
    text.insert(text.begin() + std::ptrdiff_t(random() % (text.size() + 1)), bad[random() % 6]);
    EXPECT_FALSE(U256::parse(text, out)) << text;
  }
  EXPECT_TRUE(U256::parse(mpz_class(kTwo256 - 1).get_str(), out));
  EXPECT_EQ(out, U256::max());
}

TEST(WideU256, SumsDifferencesAndOrder) {
  std::mt19937_64 random(3);
  for (int i = 0; i < 20000; ++i) {
    const U256 a = generated(random), b = generated(random);
    const mpz_class x = toMpz(a), y = toMpz(b);
    bool carry = false, borrow = false;
    const U256 sum = U256::add(a, b, &carry), difference = U256::sub(a, b, &borrow);
    EXPECT_EQ(toMpz(sum), mpz_class((x + y) % kTwo256));
    EXPECT_EQ(carry, x + y >= kTwo256);
    EXPECT_EQ(toMpz(difference), mpz_class(((x - y) % kTwo256 + kTwo256) % kTwo256));
    EXPECT_EQ(borrow, x < y);
    EXPECT_EQ(a < b, x < y);
    EXPECT_EQ(a == b, x == y);
    EXPECT_EQ(a.bits(), x == 0 ? 0 : int(mpz_sizeinbase(x.get_mpz_t(), 2)));
    EXPECT_EQ(a.fitsU64(), x < (mpz_class(1) << 64));
  }
}

TEST(WideU256, ProductsWithTheirOverflow) {
  std::mt19937_64 random(4);
  for (int i = 0; i < 20000; ++i) {
    const U256 a = generated(random), b = generated(random);
    const uint64_t small = random() >> (random() % 64);
    const mpz_class x = toMpz(a), y = toMpz(b);
    bool over = false;
    const U256 product = U256::checkedMul(a, b, &over);
    EXPECT_EQ(toMpz(product), mpz_class(x * y % kTwo256));
    EXPECT_EQ(over, x * y >= kTwo256);
    EXPECT_EQ(U256::mulOverflows(a, b), over);
    const U256 scaled = a.mulSmall(small, &over);
    const mpz_class expected = x * mpz_class(std::to_string(small));
    EXPECT_EQ(toMpz(scaled), mpz_class(expected % kTwo256));
    EXPECT_EQ(over, expected >= kTwo256);
  }
}

TEST(WideU256, RemaindersAndQuotients) {
  std::mt19937_64 random(5);
  for (int i = 0; i < 20000; ++i) {
    const U256 a = generated(random), b = generated(random);
    const uint64_t m = std::max<uint64_t>(1, random() >> (random() % 64));
    const mpz_class x = toMpz(a), mm(std::to_string(m));
    uint64_t remainder = 0;
    const U256 quotient = a.divmod(m, &remainder);
    EXPECT_EQ(mpz_class(std::to_string(a.mod(m))), mpz_class(x % mm));
    EXPECT_EQ(toMpz(quotient), mpz_class(x / mm));
    EXPECT_EQ(mpz_class(std::to_string(remainder)), mpz_class(x % mm));
    if (b.isZero()) continue;
    U256 rest;
    const U256 q = U256::divmod(a, b, &rest);
    EXPECT_EQ(toMpz(q), mpz_class(x / toMpz(b)));
    EXPECT_EQ(toMpz(rest), mpz_class(x % toMpz(b)));
    EXPECT_EQ(toMpz(a.shiftLeft(int(m % 300))), mpz_class((x << (m % 300)) % kTwo256));
    EXPECT_EQ(toMpz(a.shiftRight(int(m % 300))), mpz_class(x >> (m % 300)));
  }
}

// One step of the tree's CRT: the class s mod M joined to t mod p is s + M*i with
// i = (t - s)/M mod p, computed from residues alone; GMP checks the class and that
// the product's overflow flag tells exactly when M*p passes 2^256.
TEST(WideU256, ChineseRemainderStepsNear2To128And2To256) {
  std::mt19937_64 random(6);
  int steps = 0;
  for (int round = 0; round < 3000; ++round) {
    const int bits = round % 2 == 0 ? 120 + int(random() % 16) : 190 + int(random() % 66);
    U256 M = U256::fromLimbs(random(), random(), random(), random()).shiftRight(256 - bits);
    M.limb[(bits - 1) / 64] |= uint64_t(1) << ((bits - 1) % 64);
    uint64_t p = (random() >> (random() % 40)) | 1;
    while (!pelund::isPrime64(p) || M.mod(p) == 0) p += 2;
    U256 sMod;
    U256::divmod(U256::fromLimbs(random(), random(), random(), random()), M, &sMod);
    const uint64_t t = random() % p;
    const uint64_t sm = sMod.mod(p), difference = t >= sm ? t - sm : t + (p - sm);
    const uint64_t i = pelund::mulmod64(difference, pelund::powmod64(M.mod(p), p - 2, p), p);
    bool mulOver = false, addOver = false, mOver = false;
    const U256 joined = U256::add(sMod, M.mulSmall(i, &mulOver), &addOver);
    const U256 modulus = M.mulSmall(p, &mOver);
    const mpz_class gM = toMpz(M), gp(std::to_string(p)), gs = toMpz(sMod);
    const mpz_class exact = gs + gM * mpz_class(std::to_string(i));
    EXPECT_EQ(mOver, gM * gp >= kTwo256);
    EXPECT_EQ(toMpz(modulus), mpz_class(gM * gp % kTwo256));
    EXPECT_EQ(mulOver || addOver, exact >= kTwo256);
    EXPECT_EQ(mpz_class(exact % gp), mpz_class(std::to_string(t)));
    EXPECT_EQ(mpz_class(exact % gM), gs);
    EXPECT_TRUE(exact < gM * gp);
    if (!mulOver && !addOver) {
      EXPECT_EQ(toMpz(joined), exact);
      ++steps;
    }
  }
  EXPECT_GT(steps, 1000);
}

}  // namespace
#else
TEST(WideU256, NeedsGmp) { GTEST_SKIP() << "built without GMP"; }
#endif
