// The candidate tables of many bases built together, from the roots of unity modulo
// each prime, against the table phase of one base at a time (candidates()): on
// generated sets of bases, dense runs of small bases and scattered ones up to 10^9,
// and periods up to 5040, every table equal in all three lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <pelund/pelund.hpp>

#include "joint_table.h"

namespace {

void expectSameTables(std::vector<int32_t> bases, int32_t period, int32_t maxFact) {
  std::sort(bases.begin(), bases.end());
  bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
  const auto joint = jointCandidateTables(bases, period, maxFact, pelund::StopToken{});
  ASSERT_TRUE(joint.has_value());
  ASSERT_EQ(joint->size(), bases.size());
  for (size_t i = 0; i < bases.size(); ++i) {
    SCOPED_TRACE("base " + std::to_string(bases[i]) + " period " + std::to_string(period) + " maxfact " +
                 std::to_string(maxFact));
    const pelund::CandidateTable single = pelund::candidates(pelund::makeParams(bases[i], 1, 1, 1, period, maxFact));
    const pelund::CandidateTable& together = (*joint)[i];
    auto pairs = [](const std::vector<pelund::FactorPeriod>& list) {
      std::vector<std::pair<uint32_t, uint32_t>> out;
      for (const auto& pair : list) out.emplace_back(pair.factor, pair.period);
      return out;
    };
    ASSERT_EQ(pairs(together.factorPeriodList), pairs(single.factorPeriodList));
    ASSERT_EQ(pairs(together.periodOrderedList), pairs(single.periodOrderedList));
    ASSERT_EQ(together.baseMinusOneFactors, single.baseMinusOneFactors);
  }
}

// Periods rich in divisors, as searches use them, and arbitrary ones.
int32_t generatedPeriod(std::mt19937_64& random) {
  static const int32_t rich[] = {2, 12, 144, 720, 1440, 2520, 5040};
  if (random() % 2 == 0) return rich[random() % std::size(rich)];
  return int32_t(2 + random() % 5039);
}

TEST(JointTables, DenseRunsOfSmallBasesEqualTheTablesOfOneBaseEach) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 12; ++round) {
    const int32_t first = int32_t(2 + random() % 3000), count = int32_t(1 + random() % 120);
    std::vector<int32_t> bases;
    for (int32_t b = first; b < first + count; ++b) bases.push_back(b);
    expectSameTables(bases, generatedPeriod(random), int32_t(5 + random() % 300000));
  }
}

TEST(JointTables, ScatteredBasesUpToTenToTheNineEqualTheTablesOfOneBaseEach) {
  std::mt19937_64 random(12);
  for (int round = 0; round < 12; ++round) {
    std::vector<int32_t> bases;
    const int count = int(1 + random() % 25);
    for (int i = 0; i < count; ++i) {
      const int64_t top = random() % 3 == 0 ? 1000 : random() % 2 == 0 ? 1000000 : 1000000000;
      bases.push_back(int32_t(2 + random() % (top - 1)));
    }
    if (round == 0) bases.push_back(1000000000);
    expectSameTables(bases, generatedPeriod(random), int32_t(5 + random() % 400000));
  }
}

TEST(JointTables, TheDefaultsOfACkTableOverTheFirstBases) {
  std::vector<int32_t> bases;
  for (int32_t b = 2; b <= 300; ++b) bases.push_back(b);
  expectSameTables(bases, 720, 1000000);
}

TEST(JointTables, AStopRequestEndsTheTablePhase) {
  std::atomic<bool> stop{true};
  EXPECT_FALSE(jointCandidateTables({2, 3, 10}, 720, 1000000, pelund::StopToken(stop)).has_value());
}

}  // namespace
