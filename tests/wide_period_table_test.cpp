// The candidate tables for periods beyond 5040, up to the residue tree's 65520: the
// streamed table (candidates()), the buffered one and the joint one, on generated
// bases, periods in 5041 .. 65520 (rich in divisors or arbitrary) and small bounds,
// against the tables built directly from orders found by exponentiation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

#include <pelund/pelund.hpp>

#include "factor_table.h"
#include "fast_table.h"
#include "joint_table.h"
#include "search_helpers.h"

namespace {

std::vector<std::pair<uint32_t, uint32_t>> pairs(const std::vector<FactorPeriod>& list) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const FactorPeriod& pair : list) out.emplace_back(pair.factor, pair.period);
  return out;
}

void expectSameTable(const CandidateTable& got, const CandidateTable& expected) {
  EXPECT_EQ(pairs(got.factorPeriodList), pairs(expected.factorPeriodList));
  EXPECT_EQ(pairs(got.periodOrderedList), pairs(expected.periodOrderedList));
  EXPECT_EQ(got.baseMinusOneFactors, expected.baseMinusOneFactors);
}

// The periods of 5041 .. 65520 with the most divisors among some, and arbitrary ones.
int32_t widePeriod(std::mt19937_64& random) {
  static const int32_t rich[] = {5760, 7560, 10080, 15120, 20160, 25200, 27720, 45360, 50400, 55440, 65520};
  if (random() % 2 == 0) return rich[random() % std::size(rich)];
  return int32_t(5041 + random() % (65520 - 5040));
}

TEST(WidePeriodTables, EveryBuilderAgreesWithOrdersByExponentiation) {
  std::mt19937_64 random(51);
  int candidates = 0;
  for (int round = 0; round < 24; ++round) {
    const int32_t period = round == 0 ? 65520 : widePeriod(random);
    const int32_t maxFact = int32_t(5 + random() % 30000);
    const int64_t top = random() % 3 == 0 ? 100 : random() % 2 == 0 ? 100000 : 1000000000;
    const int32_t base = int32_t(2 + random() % (top - 1));
    SCOPED_TRACE("base " + std::to_string(base) + " period " + std::to_string(period) + " maxfact " +
                 std::to_string(maxFact));
    const CandidateTable expected = helpers::bruteTable(base, period, uint32_t(maxFact));
    candidates += int(expected.factorPeriodList.size());
    const SearchParams params = helpers::params(base, 1, period, maxFact);
    expectSameTable(pelund::candidates(params), expected);
    expectSameTable(buildFactorTable(params), expected);
    const auto joint = jointCandidateTables({base}, period, maxFact, pelund::StopToken{});
    ASSERT_TRUE(joint.has_value());
    expectSameTable(joint->front(), expected);
  }
  EXPECT_GT(candidates, 300);
}

TEST(WidePeriodTables, ManyBasesTogetherAtTheLongestPeriod) {
  std::vector<int32_t> bases;
  for (int32_t b = 2; b <= 60; ++b) bases.push_back(b);
  const auto joint = jointCandidateTables(bases, 65520, 30000, pelund::StopToken{});
  ASSERT_TRUE(joint.has_value());
  for (size_t i = 0; i < bases.size(); ++i) {
    SCOPED_TRACE("base " + std::to_string(bases[i]));
    expectSameTable((*joint)[i], helpers::bruteTable(bases[i], 65520, 30000));
  }
}

TEST(WidePeriodTables, PeriodsAboveTheLimitAreRefused) {
  const SearchParams params = helpers::params(10, 1, kTablePeriodLimit + 1, 1000);
  EXPECT_THROW(pelund::candidates(params), pelund::Error);
  EXPECT_THROW(buildFactorTable(params), pelund::Error);
  EXPECT_THROW(jointCandidateTables({10}, kTablePeriodLimit + 1, 1000, pelund::StopToken{}), pelund::Error);
}

// The regrouping by period against a plain stable sort, on generated lists with
// periods up to 65520 (what the tables of long periods hand it).
TEST(WidePeriodTables, RegroupingIsAStableSortByPeriod) {
  std::mt19937_64 random(52);
  for (int round = 0; round < 60; ++round) {
    const int32_t period = int32_t(2 + random() % 65519);
    std::vector<FactorPeriod> list;
    for (int i = int(random() % 300); i > 0; --i)
      list.push_back({uint32_t(random() % 100000), uint32_t(1 + random() % (period + 10))});
    std::vector<FactorPeriod> expected;
    for (uint32_t n = 2; n <= uint32_t(period); ++n)
      for (const FactorPeriod& pair : list)
        if (pair.period == n) expected.push_back(pair);
    ASSERT_EQ(pairs(regroupByPeriod(list, period)), pairs(expected));
  }
}

}  // namespace
