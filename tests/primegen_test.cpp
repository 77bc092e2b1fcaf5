// primegen_test.cpp — tests of the prime generator against independent oracles:
// trial division for the small cases and the boundary of the first segment,
// Debian's primesieve for every prime below 10^8 and for windows far out (where
// the 64-bit approach and remainder paths switch on), and a bit-by-bit decode
// for the transposing column decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <primesieve.hpp>
#include <random>
#include <set>
#include <vector>

#include "primegen.h"

namespace {

std::unique_ptr<primegen> freshGenerator() {
  auto pg = std::make_unique<primegen>();
  primegen_init(pg.get());
  return pg;
}

bool isPrimeByTrialDivision(uint64_t n) {
  if (n < 2) return false;
  for (uint64_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

std::vector<uint64_t> primesByTrialDivision(uint64_t from, uint64_t below) {
  std::vector<uint64_t> primes;
  for (uint64_t n = from; n < below; ++n)
    if (isPrimeByTrialDivision(n)) primes.push_back(n);
  return primes;
}

// Sets the record as if every prime below 60 * block had been handed out and
// the segment before it used up (the invariant with next_word = 5000).
void jumpToBlock(primegen* pg, uint64_t block) {
  pg->segment_start = block;
  pg->next_word = primegen_words;
  pg->queue_len = 0;
  pg->word_base = 60 * block;
}

// Number of (x, y), x, y >= 1, with a x^2 + y^2 = n.
int representations(uint64_t n, uint64_t a) {
  int count = 0;
  for (uint64_t x = 1; a * x * x < n; ++x)
    for (uint64_t y = 1; a * x * x + y * y <= n; ++y) count += a * x * x + y * y == n;
  return count;
}

TEST(PrimegenStart, SeventeenPrimesBelow60ComeWithoutSieving) {
  auto pg = std::make_unique<primegen>();
  // Rows of zeros would decode as "all prime": any read before the sieve shows.
  std::memset(pg->sieve_bits, 0, sizeof pg->sieve_bits);
  primegen_init(pg.get());
  for (uint64_t expected : primesByTrialDivision(0, 60)) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(primegen_next(pg.get()), expected);
  }
  EXPECT_EQ(pg->queue_len, 0);
  EXPECT_EQ(pg->next_word, primegen_words);
  EXPECT_EQ(pg->segment_start, 1u);
}

TEST(PrimegenStart, FirstRefillQueuesThePrimesOfTheFirstColumn) {
  auto pg = freshGenerator();
  for (int n = 0; n < 17; ++n) primegen_next(pg.get());
  EXPECT_EQ(primegen_next(pg.get()), 61u);

  // The first column covers 60 .. 1979; 61 is out, the rest wait in descending order.
  std::vector<uint64_t> column = primesByTrialDivision(60, 1980);
  ASSERT_EQ(column.size(), 282u);
  ASSERT_EQ(pg->queue_len, 281);
  for (int n = 0; n < 281; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(pg->queue[n], column[281 - n]);
  }
  EXPECT_EQ(pg->segment_start, 1u + primegen_blocks);
  EXPECT_EQ(pg->next_word, 1);
  EXPECT_EQ(pg->word_base, 60u + 1920u);
}

TEST(PrimegenValues, MatchTrialDivisionBelow60000AndSkipSquares) {
  // The premises of the square cases: 637 = 7^2 * 13 and 58081 = 241^2 have one
  // representation 4x^2 + y^2 each, so only the square strikes remove them.
  ASSERT_EQ(representations(637, 4), 1);
  ASSERT_EQ(representations(58081, 4), 1);

  auto pg = freshGenerator();
  std::set<uint64_t> produced;
  for (uint64_t p = primegen_next(pg.get()); p < 60000; p = primegen_next(pg.get()))
    produced.insert(p);
  std::vector<uint64_t> expected = primesByTrialDivision(0, 60000);
  EXPECT_EQ(std::vector<uint64_t>(produced.begin(), produced.end()), expected);
  for (uint64_t composite : {49u, 121u, 169u, 289u, 637u, 57121u, 58081u}) {
    SCOPED_TRACE(composite);
    EXPECT_EQ(produced.count(composite), 0u);
  }
}

TEST(PrimegenValues, CrossTheFirstSegmentBoundary) {
  std::vector<uint64_t> around = primesByTrialDivision(9600000, 9600100);
  ASSERT_EQ(around, (std::vector<uint64_t>{9600037, 9600047, 9600091}));

  auto pg = freshGenerator();
  uint64_t previous = 0, p = primegen_next(pg.get());
  while (p < 9600047) previous = std::exchange(p, primegen_next(pg.get()));
  EXPECT_EQ(previous, 9600037u);
  EXPECT_EQ(p, 9600047u);
  // The last column of the first segment is used up; the next call sieves.
  EXPECT_EQ(pg->queue_len, 0);
  EXPECT_EQ(pg->next_word, primegen_words);
  EXPECT_EQ(pg->segment_start, 1u + primegen_blocks);
  EXPECT_EQ(primegen_next(pg.get()), 9600091u);
  EXPECT_EQ(pg->segment_start, 1u + 2 * primegen_blocks);
}

TEST(PrimegenValues, PeekShowsTheNextValueWithoutConsumingIt) {
  auto pg = freshGenerator();
  EXPECT_EQ(primegen_peek(pg.get()), 2u);
  EXPECT_EQ(primegen_peek(pg.get()), 2u);
  EXPECT_EQ(primegen_next(pg.get()), 2u);
  for (int n = 1; n < 17; ++n) primegen_next(pg.get());
  // The queue is empty now: peek itself must sieve and refill.
  EXPECT_EQ(primegen_peek(pg.get()), 61u);
  EXPECT_EQ(primegen_peek(pg.get()), 61u);
  EXPECT_EQ(primegen_next(pg.get()), 61u);
  EXPECT_EQ(primegen_next(pg.get()), 67u);
}

TEST(PrimegenValues, ReinitRestartsAtTwo) {
  auto used = freshGenerator();
  while (primegen_next(used.get()) < 20000000) {
  }
  primegen_init(used.get());
  auto fresh = freshGenerator();
  for (int n = 0; n < 100000; ++n) {
    const uint64_t expected = primegen_next(fresh.get());
    ASSERT_EQ(primegen_next(used.get()), expected) << "prime number " << n;
  }
}

TEST(PrimegenTables, SquaresAndInversesOfSixty) {
  std::vector<uint64_t> primes = primesByTrialDivision(7, 240);
  ASSERT_EQ(primes.size(), qqtab.size());
  for (size_t n = 0; n < qqtab.size(); ++n) {
    SCOPED_TRACE(primes[n]);
    EXPECT_EQ(qqtab[n], primes[n] * primes[n]);
    EXPECT_LT(qq60tab[n], qqtab[n]);
    EXPECT_EQ(uint64_t{60} * qq60tab[n] % qqtab[n], 1u);
  }
}

// The straightforward decode: bit b from 31 down, row j from 15 down.
std::vector<uint64_t> decodeBitByBit(const primegen& pg, int w, uint64_t base) {
  std::vector<uint64_t> values;
  for (int b = 31; b >= 0; --b)
    for (int j = primegen_rows - 1; j >= 0; --j)
      if ((~pg.sieve_bits[j][w] >> b) & 1) values.push_back(base + 60 * b + primegen_residues[j]);
  return values;
}

// Random columns of densities from "every bit prime" (a full queue of 512) to
// "none prime", decoded by `decode`, against the bit-by-bit decode.
void checkDecoderOnRandomColumns(void (*decode)(primegen*, int, uint64_t)) {
  auto pg = freshGenerator();
  std::mt19937_64 random(20240603);
  const std::vector<double> densities = {1.0, 0.0, 0.5, 0.05, 0.95, 0.2};
  for (int round = 0; round < 600; ++round) {
    const double density = densities[round % densities.size()];
    std::bernoulli_distribution isPrime(density);
    const int w = static_cast<int>(random() % primegen_words);
    for (int j = 0; j < primegen_rows; ++j) {
      uint32_t word = 0;
      for (int b = 0; b < 32; ++b) word |= uint32_t{isPrime(random)} << b;
      pg->sieve_bits[j][w] = ~word;
    }
    const uint64_t base = 60 * (random() % 1000000000);
    pg->queue_len = 0;
    decode(pg.get(), w, base);

    SCOPED_TRACE(testing::Message() << "round " << round << " column " << w);
    std::vector<uint64_t> expected = decodeBitByBit(*pg, w, base);
    ASSERT_EQ(pg->queue_len, static_cast<int>(expected.size()));
    EXPECT_EQ(std::vector<uint64_t>(pg->queue, pg->queue + pg->queue_len), expected);
  }
}

TEST(PrimegenDecode, PlainDecoderMatchesBitByBitDecode) {
  checkDecoderOnRandomColumns(primegen_detail::decodeColumnPlain);
}

TEST(PrimegenDecode, BmiDecoderMatchesBitByBitDecode) {
  if (!primegen_detail::decodeColumnBmiAvailable()) GTEST_SKIP() << "CPU lacks BMI1/POPCNT";
  checkDecoderOnRandomColumns(primegen_detail::decodeColumnBmi);
}

TEST(PrimegenDecode, FillDecodesTheNextColumnAndAdvances) {
  auto pg = freshGenerator();
  for (int j = 0; j < primegen_rows; ++j) pg->sieve_bits[j][77] = ~(uint32_t{0x80000001} << (j & 1));
  pg->next_word = 77;
  pg->word_base = 6000000;
  pg->queue_len = 0;
  primegen_fill(pg.get());
  EXPECT_EQ(std::vector<uint64_t>(pg->queue, pg->queue + pg->queue_len),
            decodeBitByBit(*pg, 77, 6000000));
  EXPECT_EQ(pg->queue_len, 24);  // 8 rows with bits 0 and 31, 8 with bit 1
  EXPECT_EQ(pg->next_word, 78);
  EXPECT_EQ(pg->word_base, 6000000u + 1920);
}

TEST(PrimegenDecode, NextSkipsAColumnWithoutPrimes) {
  auto pg = freshGenerator();
  for (int j = 0; j < primegen_rows; ++j) {
    pg->sieve_bits[j][10] = ~uint32_t{0};           // nothing prime
    pg->sieve_bits[j][11] = ~uint32_t{0};
  }
  pg->sieve_bits[3][11] = ~(uint32_t{1} << 5);      // one value: 60 * 5 + 13
  pg->next_word = 10;
  pg->word_base = 600000;
  pg->queue_len = 0;
  EXPECT_EQ(primegen_next(pg.get()), 600000u + 1920 + 300 + 13);
  EXPECT_EQ(pg->next_word, 12);
}

TEST(PrimegenSieve, ChangesOnlyTheRows) {
  auto pg = freshGenerator();
  jumpToBlock(pg.get(), 123456789);
  pg->queue_len = 7;
  for (int n = 0; n < primegen_queue_size; ++n) pg->queue[n] = 1000u + n;
  primegen_sieve(pg.get());
  EXPECT_EQ(pg->segment_start, 123456789u);
  EXPECT_EQ(pg->word_base, uint64_t{60} * 123456789);
  EXPECT_EQ(pg->next_word, primegen_words);
  EXPECT_EQ(pg->queue_len, 7);
  for (int n = 0; n < primegen_queue_size; ++n) ASSERT_EQ(pg->queue[n], 1000u + n);
}

TEST(PrimegenOracle, EveryPrimeBelow10To8) {
  auto pg = freshGenerator();
  primesieve::iterator oracle(0, 100000000);
  uint64_t count = 0;
  for (uint64_t expected = oracle.next_prime(); expected < 100000000;
       expected = oracle.next_prime(), ++count)
    ASSERT_EQ(primegen_next(pg.get()), expected) << "prime number " << count;
  EXPECT_EQ(count, 5761455u);  // pi(10^8)
  EXPECT_GT(primegen_next(pg.get()), 100000000u);
}

struct Window {
  const char* why;
  uint64_t firstBlock;
  int segments;
};

void PrintTo(const Window& window, std::ostream* os) {
  *os << window.why << " (block " << window.firstBlock << ", " << window.segments
      << " segments)";
}

// Each window starts on a segment of its own and runs a few segments on,
// compared value by value with primesieve from the same start.
class PrimegenFarWindow : public testing::TestWithParam<Window> {};

TEST_P(PrimegenFarWindow, MatchesPrimesieve) {
  const Window& window = GetParam();
  auto pg = freshGenerator();
  jumpToBlock(pg.get(), window.firstBlock);
  const uint64_t from = 60 * window.firstBlock;
  const uint64_t below = from + uint64_t{60} * primegen_blocks * window.segments;
  primesieve::iterator oracle(from, below);
  uint64_t count = 0;
  for (uint64_t expected = oracle.next_prime(); expected < below;
       expected = oracle.next_prime(), ++count)
    ASSERT_EQ(primegen_next(pg.get()), expected) << window.why << ", prime number " << count;
  EXPECT_GT(count, 100000u * window.segments);
  EXPECT_GE(primegen_next(pg.get()), below);
}

constexpr uint64_t kSegment = primegen_blocks;

INSTANTIATE_TEST_SUITE_P(
    Thresholds, PrimegenFarWindow,
    testing::Values(
        // Integers cross 2*10^9: 32-bit, mixed, then 64-bit large-square remainders.
        Window{"integers around 2e9", (2000000000 - 3 * kSegment * 30) / 60, 3},
        // Classes start more than 10^9 blocks below: 64-bit approach on.
        Window{"blocks around 1e9", 1000000000 - kSegment - 7, 3},
        // Block remainders for the small squares turn 64-bit after 2*10^9.
        Window{"blocks around 2e9", 2000000000 - kSegment, 3},
        Window{"integers near 1e13", 10000000000000 / 60, 2},
        // The last segment whose arithmetic is exact ends below 5.12*10^15.
        Window{"integers just below 5.12e15", 5120000000000000 / 60 - kSegment, 1}),
    [](const testing::TestParamInfo<Window>& info) {
      return "window" + std::to_string(info.index);
    });

}  // namespace
