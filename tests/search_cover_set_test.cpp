// Covering set extraction, shrinking and the written line: gcd and lcm_of_array, the
// set of first entries, the shrinking rule checked against direct arithmetic, a case
// where reading the removal literally would write a set that does not cover, and the
// line format on disk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "cover_set.h"
#include "k_walk.h"
#include "search_helpers.h"

namespace {

TEST(Gcd, EuclidOnSmallValues) {
  struct Case { int u, v, expected; };
  for (const Case& c : {Case{12, 18, 6}, Case{18, 12, 6}, Case{7, 0, 7}, Case{0, 7, 7}, Case{17, 5, 1},
                        Case{5040, 144, 144}, Case{36, 36, 36}, Case{1, 1, 1}}) {
    SCOPED_TRACE(testing::Message() << c.u << ", " << c.v);
    EXPECT_EQ(gcd(c.u, c.v), c.expected);
  }
}

TEST(LcmOfArray, UsesTheFirstTwoElementsOnly) {
  struct Case { std::vector<int> v; int expected; };
  for (const Case& c : {Case{{4, 6}, 12}, Case{{1, 36}, 36}, Case{{12, 0}, 0}, Case{{0, 5}, 0},
                        Case{{2, 3, 5}, 6}, Case{{5040, 5040}, 5040}, Case{{5040, 144}, 5040}, Case{{9, 4}, 36}}) {
    SCOPED_TRACE(testing::PrintToString(c.v));
    EXPECT_EQ(lcm_of_array(c.v), c.expected);
  }
}

TEST(LcmOfArray, AgreesWithStdLcmOverAllDivisorPairsOf5040) {
  std::vector<int> divisors;
  for (int d = 1; d <= 5040; ++d)
    if (5040 % d == 0) divisors.push_back(d);
  for (int x : divisors)
    for (int y : divisors) ASSERT_EQ(lcm_of_array({x, y}), std::lcm(x, y)) << x << ", " << y;
}

TEST(ExtractCoverSet, TheFirstEntriesInAscendingFactorOrder) {
  ExponentSlots slots = makeExponentSlots(2);  // slots 1..4
  slots.lists[1] = {13, 3, 0};
  slots.lists[2] = {5, 0};
  slots.lists[3] = {13, 0};
  slots.lists[4] = {3, 11, 0};  // 11 stands first nowhere
  const std::vector<FactorPeriod> list = {{3, 2}, {5, 4}, {7, 3}, {11, 2}, {13, 12}};
  const std::vector<FactorPeriod> set = extractCoverSet(slots, list);
  EXPECT_EQ(helpers::primesOf(set), (std::vector<uint32_t>{3, 5, 13}));
  EXPECT_EQ(set[1].period, 4u);
}

TEST(FormatCoverLine, TwoBlanksAndCommaSeparatedPrimes) {
  EXPECT_EQ(formatCoverLine({78557, 36, {3, 5, 7, 13, 19, 37, 73}}), "78557  36  [3, 5, 7, 13, 19, 37, 73]\n");
  EXPECT_EQ(formatCoverLine({1000000000000000000, 5040, {4294967291u}}), "1000000000000000000  5040  [4294967291]\n");
}

// The lines of a part keep their ends through add and append: each reads back whole.
TEST(PartLines, AddAndAppendKeepEveryLineWhole) {
  PartResult first, second;
  first.clear(1, 10000);
  first.add(4, formatCoverLine({4, 2, {3, 5}}));
  second.clear(10001, 99999);
  second.add(93435, formatCoverLine({93435, 6, {7, 11, 13, 37}}));
  first.append(second);
  EXPECT_EQ(first.from, 1);
  EXPECT_EQ(first.to, 99999);
  EXPECT_EQ(first.text, "4  2  [3, 5]\n93435  6  [7, 11, 13, 37]\n");
  EXPECT_EQ(first.ks, (std::vector<int64_t>{4, 93435}));
  EXPECT_EQ(first.line(0), "4  2  [3, 5]\n");
  EXPECT_EQ(first.line(1), "93435  6  [7, 11, 13, 37]\n");
}

// The line expected for a covered k, decided by direct arithmetic: the primes whose
// periods divide the largest period W replace the set when they alone cover every
// exponent 1..2P.
CoverLine expectedLine(int64_t k, const SearchParams& params, const std::vector<FactorPeriod>& set) {
  uint32_t lcm = 1, widest = 0;
  std::vector<uint32_t> kept;
  for (const FactorPeriod& pair : set) {
    lcm = std::lcm(lcm, pair.period);
    widest = std::max(widest, pair.period);
  }
  for (const FactorPeriod& pair : set)
    if (widest % pair.period == 0) kept.push_back(pair.factor);
  if (lcm > widest && helpers::uncoveredExponents(k, params.base, params.c, params.period, kept).empty())
    return {k, widest, kept};
  return {k, lcm, helpers::primesOf(set)};
}

TEST(Shrinking, AgreesWithDirectArithmeticOnEveryCoveredK) {
  struct Case { int32_t b, c, P; uint32_t M; int64_t maxK; };
  int shrunk = 0, refused = 0;
  for (const Case& t : {Case{47, 1, 12, 1000, 300000}, Case{68, 1, 12, 10000, 20000}, Case{10, -1, 144, 100000, 100000},
                        Case{32, -1, 24, 10000, 5000}, Case{18, -1, 36, 10000, 5000}}) {
    const SearchParams params = helpers::params(t.b, t.c, t.P, t.M);
    const CandidateTable table = helpers::bruteTable(t.b, t.P, t.M);
    ExponentSlots slots = makeExponentSlots(t.P);
    for (int64_t k = 1; k <= t.maxK; ++k) {
      std::optional<CoverLine> line = searchOneK(k, params, table, slots);
      if (!line) continue;
      SCOPED_TRACE(testing::Message() << "b=" << t.b << " c=" << t.c << " P=" << t.P << " k=" << k);
      const std::vector<FactorPeriod> set = extractCoverSet(slots, table.factorPeriodList);
      const CoverLine expected = expectedLine(k, params, set);
      ASSERT_EQ(*line, expected);
      ASSERT_TRUE(helpers::uncoveredExponents(k, t.b, t.c, t.P, line->primes).empty());
      shrunk += line->primes.size() < set.size();
      refused += line->primes.size() == set.size() && line->period > std::ranges::max(set, {}, &FactorPeriod::period).period;
    }
  }
  // Both branches of the rule were exercised.
  EXPECT_GT(shrunk, 0);
  EXPECT_GT(refused, 0);
}

// Reading the removal literally accepts a shrunken set whenever each slot list keeps
// some nonzero entry, even one of a prime outside the set. Base 47 has three primes
// of period 4 (5, 13, 17 divide 47^2 + 1), so two of them can hit the same exponents.
TEST(Shrinking, RefusesASetThatTheLiteralRemovalWouldAccept) {
  const SearchParams params = helpers::params(47, -1, 12, 1000);
  const CandidateTable table = helpers::bruteTable(47, 12, 1000);
  ExponentSlots slots = makeExponentSlots(12);
  std::optional<CoverLine> line;
  CoverLine literal;
  int64_t k = 1;
  for (; k <= 3000000; ++k) {
    line = searchOneK(k, params, table, slots);
    if (!line) continue;
    literal = helpers::literalShrinkLine(k, slots, extractCoverSet(slots, table.factorPeriodList));
    if (!(literal == *line)) break;
  }
  ASSERT_LE(k, 3000000) << "no k found where the two readings differ";
  SCOPED_TRACE(k);
  EXPECT_FALSE(helpers::uncoveredExponents(k, 47, -1, 12, literal.primes).empty());
  EXPECT_TRUE(helpers::uncoveredExponents(k, 47, -1, 12, line->primes).empty());
  EXPECT_EQ(line->primes, helpers::primesOf(extractCoverSet(slots, table.factorPeriodList)));
  EXPECT_EQ(line->period, 12u);
}

}  // namespace
