// The wide search against the 64-bit search on generated configurations within its
// caps (identical text), against the straightforward oracle of wide_helpers.h above
// 10^18 (the covered k and their lines repeat with the product of the candidates and
// of the moduli of the skipped classes, so a range shifted by a multiple of it has the
// lines of the range below it), on the covers that the q prime factors of Phi_q(b)
// make (smallest k by CRT over all q! assignments), and under stops.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include <gmpxx.h>

#include "wide_helpers.h"

namespace {

using pelund::U256;
using pelund::WidePrime;
using pelund::wide::WideSearch;
using wide_helpers::Joined;

struct Collected : pelund::Sink {
  std::string text;
  void partDone(const pelund::Part& part) override { text += part.text; }
};

const uint32_t kPeriods[] = {12, 24, 36, 48, 60, 72, 120, 144, 240, 360, 720};

TEST(WideSearch, GeneratedSearchesWithinTheOldCapsGiveThe64BitText) {
  std::mt19937_64 random(11);
  size_t lines = 0;
  for (int round = 0; round < 60; ++round) {
    const int32_t base = int32_t(2 + random() % (round % 3 == 0 ? 50 : 2000)), c = random() % 2 == 0 ? 1 : -1;
    const uint32_t period = kPeriods[random() % 11];
    const int64_t maxFact = int64_t(50 + random() % (period > 144 ? 400 : 3000));
    const int64_t minK = int64_t(1 + random() % (round % 2 == 0 ? 100000 : 1000000000000)),
                  maxK = minK + int64_t(random() % 20000000);
    SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " P=" + std::to_string(period) +
                 " maxfact=" + std::to_string(maxFact) + " k=" + std::to_string(minK) + ".." + std::to_string(maxK));
    const pelund::SearchParams params = pelund::makeParams(base, c, minK, maxK, period, maxFact, 2);
    const pelund::CandidateTable table = pelund::candidates(params);
    const pelund::Search search(params, table);
    Collected expected;
    ASSERT_TRUE(search.walk(minK, maxK, expected, pelund::StopToken{}));
    const WideSearch wide(wide_helpers::wideParams(base, c, period), wide_helpers::widePrimes(table));
    Joined got;
    ASSERT_TRUE(wide.walk(U256(uint64_t(minK)), U256(uint64_t(maxK)), got, pelund::StopToken{}));
    EXPECT_EQ(got.text, expected.text);
    EXPECT_FALSE(got.gap);
    EXPECT_TRUE(got.ascending);
    EXPECT_EQ(got.from, U256(uint64_t(minK)));
    EXPECT_EQ(got.to, U256(uint64_t(maxK)));
    lines += got.ks.size();
  }
  EXPECT_GT(lines, 100u);
}

// The modulus with which the covered k and their lines repeat: the candidates' primes,
// b and the prime factors of b-1 (all coprime).
U256 repeatModulus(int64_t base, const std::vector<WidePrime>& primes) {
  U256 modulus = uint64_t(base);
  uint64_t rest = uint64_t(base) - 1;
  for (uint64_t f = 2; f <= rest; ++f)
    if (rest % f == 0) {
      modulus = modulus.mulSmall(f);
      while (rest % f == 0) rest /= f;
    }
  for (const WidePrime& prime : primes) modulus = modulus.mulSmall(prime.prime);
  return modulus;
}

std::string shifted(const std::string& text, const U256& shift) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t space = text.find(' ', at), end = text.find('\n', at) + 1;
    U256 k;
    EXPECT_TRUE(U256::parse(text.substr(at, space - at), k));
    out += (k + shift).toString() + text.substr(space, end - space);
    at = end;
  }
  return out;
}

TEST(WideSearch, RangesAbove10To18AgainstTheStraightforwardSearch) {
  std::mt19937_64 random(12);
  size_t lines = 0;
  for (int round = 0; round < 40; ++round) {
    const int64_t base = int64_t(2 + random() % 30);
    const int32_t c = random() % 2 == 0 ? 1 : -1;
    const uint32_t period = kPeriods[random() % 6];
    const pelund::SearchParams params = pelund::makeParams(base, c, 1, 2, period, int64_t(20 + random() % 200), 2);
    const std::vector<WidePrime> primes = wide_helpers::widePrimes(pelund::candidates(params));
    const U256 modulus = repeatModulus(base, primes);
    if (modulus.bits() > 230) continue;
    // A multiple of the modulus above 10^18, times a random factor when it leaves room.
    U256 shift = modulus;
    while (shift < U256(1000000000000000000u)) shift = shift.mulSmall(2 + random() % 1000);
    if (shift.bits() < 200) shift = shift.mulSmall(1 + (random() >> (random() % 64)));
    const uint64_t low = 1 + random() % 100000, width = 1 + random() % 300000;
    std::string expected;
    for (uint64_t k = low; k < low + width; ++k) expected += wide_helpers::oracleLine(k, base, c, period, primes);
    SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " P=" + std::to_string(period) +
                 " shift=" + shift.toString() + " k=" + std::to_string(low) + "+" + std::to_string(width));
    const WideSearch wide(wide_helpers::wideParams(base, c, period), primes);
    Joined got;
    ASSERT_TRUE(wide.walk(shift + low, shift + low + width - 1, got, pelund::StopToken{}));
    EXPECT_EQ(got.text, shifted(expected, shift));
    EXPECT_FALSE(got.gap);
    EXPECT_TRUE(got.ascending);
    for (size_t i = 0; i < got.ks.size(); i += 7) EXPECT_EQ(wide.lineOf(got.ks[i]), wide_helpers::oracleLine(got.ks[i], base, c, period, primes));
    lines += got.ks.size();
  }
  EXPECT_GT(lines, 50u);
}

}  // namespace
