// The fast engine against the straightforward search: the same covered k and the
// same lines, over generated configurations and k ranges.
#include <gtest/gtest.h>

#include <random>

#include "cover_sieve.h"
#include "factor_table.h"
#include "fast_cover.h"
#include "k_walk.h"

namespace {

struct Config {
  int32_t base;
  int32_t c;
  int32_t period;
  int32_t maxFact;
};

SearchParams paramsOf(const Config& config) {
  SearchParams params;
  params.base = config.base;
  params.c = config.c;
  params.period = config.period;
  params.maxFact = config.maxFact;
  return params;
}

CandidateTable tableOf(const SearchParams& params) {
  std::optional<CandidateTable> table = buildFactorTable(params, nullptr);
  EXPECT_TRUE(table.has_value());
  return table.value_or(CandidateTable{});
}

std::vector<CoverLine> oracleLines(const SearchParams& params, const CandidateTable& table, int64_t from, int64_t to) {
  ExponentSlots slots = makeExponentSlots(params.period);
  std::vector<CoverLine> lines;
  for (int64_t k = from; k <= to; ++k)
    if (auto line = searchOneK(k, params, table, slots)) lines.push_back(*line);
  return lines;
}

std::vector<CoverLine> fastLines(const SearchParams& params, const CandidateTable& table, int64_t from, int64_t to) {
  SieveTables tables(params, table);
  BlockSieve sieve(tables);
  std::vector<CoverLine> lines;
  for (int64_t start = from; start <= to; start += BlockSieve::kBlockSpan) {
    std::vector<int64_t> covered;
    EXPECT_TRUE(sieve.sieve(start, std::min(to, start + BlockSieve::kBlockSpan - 1), covered));
    for (int64_t k : covered) lines.push_back(fastCoverLine(tables, k));
  }
  return lines;
}

// Returns the number of lines compared.
size_t expectSameLines(const Config& config, int64_t from, int64_t to) {
  SCOPED_TRACE(::testing::Message() << "b=" << config.base << " c=" << config.c << " P=" << config.period
                                    << " M=" << config.maxFact << " k=" << from << ".." << to);
  SearchParams params = paramsOf(config);
  CandidateTable table = tableOf(params);
  if (table.factorPeriodList.size() < 2) return 0;
  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, params.period);
  std::vector<CoverLine> expected = oracleLines(params, table, from, to);
  std::vector<CoverLine> actual = fastLines(params, table, from, to);
  EXPECT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < std::min(expected.size(), actual.size()); ++i)
    EXPECT_EQ(formatCoverLine(actual[i]), formatCoverLine(expected[i]));
  return expected.size();
}

TEST(FastEngineTest, KnownSearchesAgree) {
  EXPECT_EQ(expectSameLines({2, 1, 36, 1000000}, 1, 200000), 1u);  // 78557 alone
  EXPECT_GT(expectSameLines({10, -1, 144, 1000000}, 1, 200000), 10u);
  EXPECT_GT(expectSameLines({2, -1, 24, 1000}, 500000, 520000), 0u);
  EXPECT_GT(expectSameLines({10, -1, 144, 100000}, 90000, 100000), 0u);
}

TEST(FastEngineTest, GeneratedConfigurationsAgree) {
  std::mt19937_64 random(20261207);
  const int32_t periods[] = {2, 4, 6, 8, 12, 16, 18, 24, 30, 36, 48, 60, 72, 120, 144, 240, 360, 720, 5040};
  size_t compared = 0;
  for (int round = 0; round < 60; ++round) {
    Config config;
    config.base = random() % 3 == 0 ? int32_t(random() % 1000000000 + 2) : int32_t(random() % 40 + 2);
    config.c = random() % 2 ? 1 : -1;
    config.period = periods[random() % std::size(periods)];
    config.maxFact = random() % 4 == 0 ? int32_t(random() % 100000 + 5) : int32_t(random() % 3000 + 5);
    int64_t width = int64_t(random() % 5000 + 1);
    int64_t from = random() % 3 == 0 ? int64_t(random() % 1000000000000000000) + 1 : int64_t(random() % 100000 + 1);
    int64_t to = std::min<int64_t>(from + width, 1000000000000000000);
    compared += expectSameLines(config, from, to);
  }
  EXPECT_GT(compared, 500u);  // the generated searches do cover many k
}

}  // namespace
