// The per-k coverage walk: first hits against direct modular arithmetic, marking,
// the coverage test, the skips, and the worked examples for base 2 (k = 78557) and
// base 10 (k = 93435).
#include <gtest/gtest.h>

#include <random>

#include "exponent_slots.h"
#include "k_walk.h"
#include "search_helpers.h"

namespace {

// The candidate list for base 2 and period 36 with the primes below 100.
CandidateTable base2Period36() {
  CandidateTable table;
  table.factorPeriodList = {{3, 2}, {5, 4}, {7, 3}, {13, 12}, {19, 18}, {37, 36}, {73, 9}};
  table.periodOrderedList = {{3, 2}, {7, 3}, {5, 4}, {73, 9}, {13, 12}, {19, 18}, {37, 36}};
  return table;
}

// The candidate list for base 10 and period 144 with the primes below 100000.
CandidateTable base10Period144() {
  CandidateTable table;
  table.factorPeriodList = {{7, 6},     {11, 2},    {13, 6},    {17, 16},   {19, 18},    {37, 3},    {73, 8},
                            {101, 4},   {137, 8},   {3169, 72}, {8929, 144}, {9901, 12}, {52579, 18}, {98641, 72}};
  table.periodOrderedList = table.factorPeriodList;
  std::stable_sort(table.periodOrderedList.begin(), table.periodOrderedList.end(),
                   [](const FactorPeriod& x, const FactorPeriod& y) { return x.period < y.period; });
  table.baseMinusOneFactors = {3};
  return table;
}

std::vector<uint32_t> entries(const ExponentSlots& slots, int n) {
  std::vector<uint32_t> list;
  for (uint32_t p : slots.lists[n])
    if (p != 0) list.push_back(p);
  return list;
}

TEST(FirstHit, AgreesWithDirectArithmetic) {
  std::mt19937 random(7);
  const std::vector<uint32_t> primes = helpers::sievePrimes(2000);
  for (int trial = 0; trial < 3000; ++trial) {
    const uint32_t p = primes[random() % primes.size()];
    const int32_t b = 2 + random() % 1000;
    const int32_t c = random() % 2 ? 1 : -1;
    const int32_t limit = 1 + random() % 80;
    const int64_t k = 1 + random() % 1000000;
    SCOPED_TRACE(testing::Message() << "p=" << p << " b=" << b << " c=" << c << " limit=" << limit << " k=" << k);
    uint32_t expected = 0;
    for (int32_t e = 1; e <= limit && expected == 0; ++e)
      if (helpers::dividesTerm(p, k, b, e, c)) expected = e;
    EXPECT_EQ(firstHit(static_cast<uint32_t>(k % p), p, b, c, limit), expected);
  }
}

TEST(FirstHit, NoneWhenThePrimeDividesK) {
  EXPECT_EQ(firstHit(0, 7, 10, -1, 288), 0u);
  EXPECT_EQ(firstHit(0, 3, 2, 1, 72), 0u);
}

TEST(MarkHits, MarksEveryPeriodFromTheFirstHitUpToTwiceP) {
  ExponentSlots slots = makeExponentSlots(6);  // slots 1..12
  markHits(slots, 7, 2, 3);
  markHits(slots, 11, 4, 4);
  markHits(slots, 13, 9, 6);  // 15 lies beyond 12
  markHits(slots, 17, 0, 2);  // no hit: nothing marked
  const std::vector<std::vector<uint32_t>> expected = {{},  {},  {7}, {}, {11},    {7}, {},
                                                       {}, {7, 11}, {13}, {}, {7}, {11}};
  for (int n = 1; n <= 12; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(entries(slots, n), expected[n]);
  }
}

TEST(MarkHits, AFullListGrowsAndKeepsItsFirstEntry) {
  ExponentSlots slots = makeExponentSlots(2);
  for (uint32_t p = 1; p <= 13; ++p) markHits(slots, 100 + p, 4, 4);
  ASSERT_EQ(slots.lists[4].size(), 13u);
  EXPECT_EQ(slots.lists[4].front(), 101u);
  EXPECT_EQ(slots.lists[4].back(), 113u);
  clearSlots(slots);
  markHits(slots, 7, 4, 4);
  EXPECT_EQ(entries(slots, 4), std::vector<uint32_t>{7});
}

TEST(SlotsCovered, NeedsAFirstEntryInEverySlotButSlotZero) {
  ExponentSlots slots = makeExponentSlots(3);  // slots 1..6
  markHits(slots, 5, 1, 2);
  EXPECT_FALSE(slotsCovered(slots));
  markHits(slots, 7, 2, 3);   // 2, 5: slots 4 and 6 open
  markHits(slots, 11, 6, 6);  // slot 4 open
  EXPECT_FALSE(slotsCovered(slots));
  markHits(slots, 13, 4, 6);
  EXPECT_TRUE(slotsCovered(slots));
  clearSlots(slots);
  EXPECT_FALSE(slotsCovered(slots));
}

TEST(IsSkipped, MultiplesOfTheBaseAndKPlusCDivisibleByAFactorOfBMinusOne) {
  struct Case { int32_t b, c; std::vector<int32_t> factors; };
  for (const Case& test : {Case{10, -1, {3}}, Case{7, 1, {2, 3}}, Case{2, 1, {}}, Case{31, -1, {2, 3, 5}}}) {
    SearchParams params = helpers::params(test.b, test.c, 12);
    CandidateTable table;
    table.baseMinusOneFactors = test.factors;
    for (int64_t k = 1; k <= 300; ++k) {
      SCOPED_TRACE(testing::Message() << "b=" << test.b << " c=" << test.c << " k=" << k);
      // A factor f of b-1 divides every term once it divides the first one.
      bool expected = k % test.b == 0;
      for (int32_t f : test.factors) expected |= helpers::dividesTerm(f, k, test.b, 1, test.c);
      EXPECT_EQ(isSkipped(k, params, table), expected);
    }
  }
}

TEST(WorkedExample, K78557Base2Period36) {
  const SearchParams params = helpers::params(2, 1, 36);
  const CandidateTable table = base2Period36();
  const int64_t k = 78557;
  const std::vector<uint32_t> firstHits = {2, 1, 1, 3, 11, 15, 27};  // in periodOrderedList order
  for (std::size_t j = 0; j < table.periodOrderedList.size(); ++j) {
    const uint32_t p = table.periodOrderedList[j].factor;
    EXPECT_EQ(firstHit(k % p, p, 2, 1, 72), firstHits[j]) << p;
  }

  // After the first three pairs slots 3, 11, 15, 23 are open; after 19 only 27 and 63.
  auto openAfter = [&](std::size_t pairs) {
    CandidateTable partial = table;
    partial.periodOrderedList.resize(pairs);
    ExponentSlots slots = makeExponentSlots(36);
    EXPECT_FALSE(coverExponents(k, params, partial, slots));
    std::vector<int> open;
    for (int n = 1; n <= 72; ++n)
      if (firstEntry(slots, n) == 0) open.push_back(n);
    return open;
  };
  const std::vector<int> afterThree = openAfter(3);
  for (int n : {3, 11, 15, 23}) EXPECT_NE(std::find(afterThree.begin(), afterThree.end(), n), afterThree.end()) << n;
  EXPECT_EQ(openAfter(6), (std::vector<int>{27, 63}));

  ExponentSlots slots = makeExponentSlots(36);
  ASSERT_TRUE(coverExponents(k, params, table, slots));
  EXPECT_EQ(entries(slots, 1), (std::vector<uint32_t>{7, 5}));
  EXPECT_EQ(entries(slots, 4), (std::vector<uint32_t>{3, 7}));
  EXPECT_EQ(entries(slots, 12), (std::vector<uint32_t>{3, 73}));

  std::optional<CoverLine> line = searchOneK(k, params, table, slots);
  ASSERT_TRUE(line);
  EXPECT_EQ(formatCoverLine(*line), "78557  36  [3, 5, 7, 13, 19, 37, 73]\n");
}

TEST(WorkedExample, OnlyK78557IsCoveredBelow200000) {
  const SearchParams params = helpers::params(2, 1, 36);
  const CandidateTable table = base2Period36();
  ExponentSlots slots = makeExponentSlots(36);
  std::vector<int64_t> covered;
  for (int64_t k = 1; k <= 199999; ++k)
    if (searchOneK(k, params, table, slots)) covered.push_back(k);
  EXPECT_EQ(covered, std::vector<int64_t>{78557});
}

TEST(WorkedExample, K93435Base10Period144Shrinks) {
  const SearchParams params = helpers::params(10, -1, 144, 100000);
  const CandidateTable table = base10Period144();
  ExponentSlots slots = makeExponentSlots(144);
  std::optional<CoverLine> line = searchOneK(93435, params, table, slots);
  ASSERT_TRUE(line);
  EXPECT_EQ(helpers::primesOf(extractCoverSet(slots, table.factorPeriodList)),
            (std::vector<uint32_t>{7, 11, 13, 37, 101}));
  EXPECT_EQ(formatCoverLine(*line), "93435  6  [7, 11, 13, 37]\n");
}

// Base 14: 3 and 5 both have period 2 (14 = -1 modulo each), 197 has period 4.
// For k = 4 and c = +1, 3 covers every odd and 5 every even exponent.
TEST(CoverExponents, CoverageIsTestedFromTheSecondPairOn) {
  const SearchParams params = helpers::params(14, 1, 4);
  CandidateTable table;
  table.factorPeriodList = table.periodOrderedList = {{3, 2}, {5, 2}, {197, 4}};
  table.baseMinusOneFactors = {13};
  ASSERT_TRUE(helpers::uncoveredExponents(4, 14, 1, 4, {3, 5}).empty());

  ExponentSlots slots = makeExponentSlots(4);
  CandidateTable twoPairs = table;
  twoPairs.periodOrderedList.resize(2);
  std::optional<CoverLine> line = searchOneK(4, params, twoPairs, slots);
  ASSERT_TRUE(line);
  EXPECT_EQ(formatCoverLine(*line), "4  2  [3, 5]\n");
  CandidateTable onePair = table;
  onePair.periodOrderedList.resize(1);
  EXPECT_FALSE(searchOneK(4, params, onePair, slots));

  line = searchOneK(4, params, table, slots);
  ASSERT_TRUE(line);
  EXPECT_EQ(formatCoverLine(*line), "4  2  [3, 5]\n");
  // The walk stopped after the second pair: 197 was never marked.
  for (int n = 1; n <= 8; ++n) EXPECT_EQ(entries(slots, n), std::vector<uint32_t>{n % 2 ? 3u : 5u}) << n;
}

// k = 1, c = -1: every prime's first hit is its own period, so with more than ten
// candidates the slots P and 2P hold more than ten primes.
TEST(CoverExponents, SlotListsBeyondTenEntries) {
  const SearchParams params = helpers::params(2, -1, 720, 100000);
  const CandidateTable table = helpers::bruteTable(2, 720, 100000);
  ASSERT_GT(table.periodOrderedList.size(), 10u);
  ExponentSlots slots = makeExponentSlots(720);
  coverExponents(1, params, table, slots);
  EXPECT_EQ(entries(slots, 720).size(), table.periodOrderedList.size());
  EXPECT_EQ(firstEntry(slots, 720), table.periodOrderedList[0].factor);
  EXPECT_EQ(entries(slots, 1440).size(), table.periodOrderedList.size());
}

}  // namespace
