// The fast engine against the straightforward search: the same covered k and the
// same lines, over generated configurations and k ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>

#include "cover_sieve.h"
#include "factor_table.h"
#include "fast_cover.h"
#include "fast_table.h"
#include "primegen.h"
#include "e2e.h"
#include "k_walk.h"
#include "parallel_walk.h"

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
  std::optional<CandidateTable> table = buildFactorTable(params);
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

// Period 2 admits exactly the odd prime factors of b+1 (b = -1 mod p), so a base
// b = 2^j*p*q - 1 with odd primes p, q has the table {p, q}: two pairs, whose covers
// need the coverage test from the second pair on.
TEST(FastEngineTest, TablesOfTwoPairsAgree) {
  std::mt19937_64 random(1412);
  size_t compared = 0;
  const int32_t oddPrimes[] = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47};
  for (int round = 0; round < 40; ++round) {
    const int32_t p = oddPrimes[random() % std::size(oddPrimes)];
    int32_t q = p;
    while (q == p) q = oddPrimes[random() % std::size(oddPrimes)];
    const int32_t base = (int32_t(1) << (random() % 12)) * p * q - 1;
    if (base < 2) continue;
    const Config config{base, random() % 2 ? 1 : -1, 2, 20000};
    ASSERT_EQ(tableOf(paramsOf(config)).factorPeriodList.size(), 2u) << base;
    const int64_t from = 1 + int64_t(random() % 100000);
    compared += expectSameLines(config, from, from + 3000);
  }
  EXPECT_GT(compared, 500u);
}

}  // namespace

namespace {

TEST(FastTableTest, FactorsOfBaseMinusOneAgreeWithTheGeneratorPass) {
  auto generator = std::make_unique<primegen>();
  const int32_t bases[] = {2, 3, 4, 10, 31, 223092871, 1000000000, 999999937, 999999938, 65537, 4096, 1000000, 30031};
  for (int32_t base : bases) {
    SCOPED_TRACE(base);
    EXPECT_EQ(factorBaseMinusOne(base), primeFactorsOfBaseMinusOne(base, generator.get()));
  }
  EXPECT_EQ(factorBaseMinusOne(223092871), (std::vector<int32_t>{2, 3, 5, 7, 11, 13, 17, 19, 23}));
}

TEST(FastTableTest, PeriodsAgreeWithRepeatedMultiplication) {
  std::mt19937 random(7);
  const uint32_t primes[] = {3, 7, 11, 13, 73, 101, 9901, 333667, 999999937, 1000003, 65537};
  for (int round = 0; round < 2000; ++round) {
    uint32_t p = primes[random() % std::size(primes)];
    uint32_t base = random() % 1000000000 + 2;
    uint32_t period = random() % 5039 + 2;
    if (base % p == 0 || (base - 1) % p == 0) continue;
    SCOPED_TRACE(::testing::Message() << "p=" << p << " b=" << base << " P=" << period);
    uint32_t e = periodOf(p, int32_t(base), int32_t(period));
    EXPECT_EQ(periodDividing(p, base, period), e != 0 && period % e == 0 ? e : 0);
  }
}

TEST(FastTableTest, TablesAgreeWithTheBufferedTablePhase) {
  std::mt19937_64 random(99);
  const int32_t periods[] = {2, 6, 12, 36, 144, 720, 2520, 5040, 97, 4999};
  for (int round = 0; round < 40; ++round) {
    SearchParams params;
    params.base = random() % 2 ? int32_t(random() % 1000000000 + 2) : int32_t(random() % 50 + 2);
    params.period = periods[random() % std::size(periods)];
    params.maxFact = int32_t(random() % 200000 + 5);
    SCOPED_TRACE(::testing::Message() << "b=" << params.base << " P=" << params.period << " M=" << params.maxFact);
    std::optional<CandidateTable> slow = buildFactorTable(params);
    std::optional<CandidateTable> fast = pelund::candidates(params);
    ASSERT_TRUE(slow && fast);
    auto pairs = [](const std::vector<FactorPeriod>& list) {
      std::vector<std::pair<uint32_t, uint32_t>> out;
      for (auto [p, d] : list) out.emplace_back(p, d);
      return out;
    };
    EXPECT_EQ(pairs(fast->factorPeriodList), pairs(slow->factorPeriodList));
    EXPECT_EQ(pairs(fast->periodOrderedList), pairs(slow->periodOrderedList));
    EXPECT_EQ(fast->baseMinusOneFactors, slow->baseMinusOneFactors);
  }
}

}  // namespace

namespace {

// The threaded walk writes the same covering.txt as the straightforward walk, for any
// number of threads, across many blocks.
TEST(ParallelWalkTest, ResultFileIsTheSameForEveryThreadCount) {
  struct Case {
    Config config;
    int64_t from, to;
  };
  const Case cases[] = {
      {{2, -1, 24, 1000}, 400000, 700000},
      {{10, -1, 144, 100000}, 1, 300000},
      {{6, 1, 12, 1000}, 999999999999000000, 999999999999200000},
  };
  e2e::TempDir dir;
  for (const auto& [config, from, to] : cases) {
    SearchParams params = paramsOf(config);
    params.minK = from;
    params.maxK = to;
    CandidateTable table = tableOf(params);
    table.periodOrderedList = regroupByPeriod(table.factorPeriodList, params.period);
    std::string expected;
    for (const CoverLine& line : oracleLines(params, table, from, to)) expected += formatCoverLine(line);
    for (int threads : {1, 2, 3, 8}) {
      SCOPED_TRACE(::testing::Message() << "b=" << config.base << " c=" << config.c << " threads=" << threads);
      params.threads = threads;
      struct Joined : PartSink {
        PartResult whole{1, 0, {}, {}, {}};
        void partDone(const PartResult& part) override { whole.from > whole.to ? void(whole = part) : whole.append(part); }
      } joined;
      EXPECT_TRUE(sieveRange(SieveTables(params, table), from, to, threads, joined));
      EXPECT_EQ(joined.whole.text, expected);
      EXPECT_EQ(std::tie(joined.whole.from, joined.whole.to), std::tie(from, to));
    }
  }
}

// Many more threads than cores, most of them asleep until the writer lets them claim
// a block: the lines are those of one thread, over many blocks; and a stop after some
// blocks ends the walk (every sleeping worker woken) with a prefix of those lines.
TEST(ParallelWalkTest, ManyThreadsWriteWhatOneThreadWrites) {
  SearchParams params = paramsOf({10, -1, 144, 100000});
  CandidateTable table = tableOf(params);
  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, params.period);
  const SieveTables tables(params, table);
  const int64_t from = 5, to = 48 * BlockSieve::kBlockSpan + 1000;
  static std::atomic<bool> stopAsked{false};
  struct Joined : PartSink {
    int64_t stopAfter = -1;  // blocks, then the stop is asked for
    int64_t parts = 0;
    std::string text;
    void partDone(const PartResult& part) override {
      text += part.text;
      if (++parts == stopAfter) stopAsked = true;
    }
  };
  Joined one;
  ASSERT_TRUE(sieveRange(tables, from, to, 1, one));
  ASSERT_EQ(one.parts, 49);
  for (int threads : {5, 33, 200, 1024}) {
    for (int64_t stopAfter : {int64_t(-1), int64_t(3), int64_t(30)}) {
      SCOPED_TRACE(::testing::Message() << "threads=" << threads << " stop after " << stopAfter);
      stopAsked = false;
      Joined many;
      many.stopAfter = stopAfter;
      const bool complete = sieveRange(tables, from, to, threads, many, StopToken(stopAsked));
      EXPECT_EQ(complete, stopAfter < 0);
      EXPECT_EQ(many.parts, stopAfter < 0 ? one.parts : stopAfter);
      EXPECT_EQ(many.text, one.text.substr(0, many.text.size()));
      if (stopAfter < 0) {
        EXPECT_EQ(many.text, one.text);
      }
    }
  }
}

// A sink that throws while workers are sieving ahead: the exception reaches the caller
// after the workers are joined, for any number of threads.
TEST(ParallelWalkTest, AnExceptionOfTheSinkReachesTheCaller) {
  SearchParams params = paramsOf({10, -1, 144, 100000});
  CandidateTable table = tableOf(params);
  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, params.period);
  const SieveTables tables(params, table);
  for (int threads : {1, 2, 4}) {
    struct Refusing : PartSink {
      int parts = 0;
      void partDone(const PartResult&) override {
        if (++parts == 2) throw std::runtime_error("the sink is full");
      }
    } refusing;
    try {
      sieveRange(tables, 1, 40 * BlockSieve::kBlockSpan, threads, refusing);
      ADD_FAILURE() << "no exception with " << threads << " threads";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "the sink is full");
    }
    EXPECT_EQ(refusing.parts, 2);
  }
}

TEST(ParallelWalkTest, ThreadSetting) {
  EXPECT_EQ(workerThreads(1), 1);
  EXPECT_EQ(workerThreads(5), 5);
  EXPECT_GE(workerThreads(0), 1);
}

}  // namespace
