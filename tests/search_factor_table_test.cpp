// The table phase: prime buffer size, factors of b-1, periods, the candidate lists
// and their log text for the worked examples, an independent sieve-and-order build
// on random settings, the "Loading at factor" progress lines and the interrupt poll.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "factor_table.h"
#include "reports.h"
#include "primegen.h"
#include "run.h"
#include "search_helpers.h"

namespace {

using Pairs = std::vector<FactorPeriod>;

std::string pairsText(const Pairs& pairs) {
  std::string text;
  for (const FactorPeriod& p : pairs) text += "(" + std::to_string(p.factor) + ", " + std::to_string(p.period) + ") ";
  return text;
}

struct Built {
  std::optional<CandidateTable> table;
  std::string log;
  std::string console;
};

// The table phase as a run shows and logs it: progress through the console's observer,
// the list in the log's text.
Built build(int32_t b, int32_t P, int32_t M, int32_t F = 0) {
  SearchParams params = helpers::params(b, 1, P, M);
  ConsoleObserver observer{uint32_t(F)};
  testing::internal::CaptureStdout();
  Built built{buildFactorTable(params, observer, pelund::StopToken{}), "", ""};
  built.console = testing::internal::GetCapturedStdout();
  if (built.table && !built.table->factorPeriodList.empty()) built.log = factorListText(built.table->factorPeriodList);
  return built;
}

TEST(PrimeBufferCapacity, KnownValuesAndRoomForEveryBound) {
  EXPECT_EQ(primeBufferCapacity(1109), 191u);
  EXPECT_EQ(primeBufferCapacity(1000000000), 55493193u);
  // Room for every prime up to M and the first prime above it.
  const std::vector<uint32_t> primes = helpers::sievePrimes(2000100);
  std::size_t below = 0;  // primes <= M
  for (uint32_t m = 5; m <= 2000000; ++m) {
    while (primes[below] <= m) ++below;
    ASSERT_GE(primeBufferCapacity(m), below + 1) << m;
  }
}

TEST(BufferPrimes, EndsWithTheFirstPrimeAboveTheBound) {
  auto generator = std::make_unique<primegen>();
  EXPECT_EQ(bufferPrimes(13, generator.get()), (std::vector<uint32_t>{2, 3, 5, 7, 11, 13, 17}));
  EXPECT_EQ(bufferPrimes(14, generator.get()), (std::vector<uint32_t>{2, 3, 5, 7, 11, 13, 17}));
  std::vector<uint32_t> expected = helpers::sievePrimes(1000004);
  const std::vector<uint32_t> buffered = bufferPrimes(1000000, generator.get());
  EXPECT_EQ(buffered.back(), 1000003u);
  EXPECT_EQ(buffered, expected);
}

TEST(PrimeFactorsOfBaseMinusOne, DistinctPrimesAscending) {
  auto generator = std::make_unique<primegen>();
  struct Case { int32_t b; std::vector<int32_t> expected; };
  for (const Case& c : {Case{2, {}}, Case{3, {2}}, Case{10, {3}}, Case{31, {2, 3, 5}}, Case{1025, {2}},
                        Case{223092871, {2, 3, 5, 7, 11, 13, 17, 19, 23}}, Case{1000000000, {3, 37, 333667}}}) {
    SCOPED_TRACE(c.b);
    EXPECT_EQ(primeFactorsOfBaseMinusOne(c.b, generator.get()), c.expected);
  }
  std::mt19937 random(11);
  for (int trial = 0; trial < 200; ++trial) {
    const int32_t b = 2 + random() % 200000;
    SCOPED_TRACE(b);
    EXPECT_EQ(primeFactorsOfBaseMinusOne(b, generator.get()), helpers::distinctPrimeFactors(b - 1));
  }
}

TEST(PeriodOf, AgreesWithTheOrderFoundByFastExponentiation) {
  std::mt19937 random(5);
  const std::vector<uint32_t> primes = helpers::sievePrimes(100000);
  for (int trial = 0; trial < 5000; ++trial) {
    const uint32_t p = primes[1 + random() % (primes.size() - 1)];
    const int32_t b = 2 + random() % 1000000000;
    const int32_t P = 2 + random() % 400;
    if (b % p == 0) continue;
    SCOPED_TRACE(testing::Message() << "p=" << p << " b=" << b << " P=" << P);
    // The least e <= P with b^e = 1, whether or not it divides P.
    uint32_t expected = 0;
    for (int32_t e = 1; e <= P && expected == 0; ++e)
      if (helpers::powMod(b, e, p) == 1) expected = e;
    EXPECT_EQ(periodOf(p, b, P), expected);
  }
}

TEST(BuildFactorTable, Base10Period144Below1000) {
  const Built built = build(10, 144, 1000);
  ASSERT_TRUE(built.table);
  const Pairs list = {{7, 6}, {11, 2}, {13, 6}, {17, 16}, {19, 18}, {37, 3}, {73, 8}, {101, 4}, {137, 8}};
  EXPECT_EQ(pairsText(built.table->factorPeriodList), pairsText(list));
  EXPECT_EQ(pairsText(built.table->periodOrderedList),
            pairsText({{11, 2}, {37, 3}, {101, 4}, {7, 6}, {13, 6}, {73, 8}, {137, 8}, {17, 16}, {19, 18}}));
  EXPECT_EQ(built.table->baseMinusOneFactors, std::vector<int32_t>{3});
  EXPECT_EQ(built.log, "factor and period list:\n7  6\n11  2\n13  6\n17  16\n19  18\n37  3\n73  8\n101  4\n137  8\n\n");
  EXPECT_EQ(built.console, "");
}

TEST(BuildFactorTable, Base10Period144BelowAMillion) {
  const Built built = build(10, 144, 1000000);
  ASSERT_TRUE(built.table);
  EXPECT_EQ(pairsText(built.table->factorPeriodList),
            pairsText({{7, 6}, {11, 2}, {13, 6}, {17, 16}, {19, 18}, {37, 3}, {73, 8}, {101, 4}, {137, 8},
                       {3169, 72}, {8929, 144}, {9901, 12}, {52579, 18}, {98641, 72}, {333667, 9}}));
}

TEST(BuildFactorTable, SmallWorkedCases) {
  struct Case { int32_t b, P, M; Pairs list, ordered; std::vector<int32_t> factors; };
  const std::vector<Case> cases = {
      {2, 12, 100, {{3, 2}, {5, 4}, {7, 3}, {13, 12}}, {{3, 2}, {7, 3}, {5, 4}, {13, 12}}, {}},
      {2, 12, 13, {{3, 2}, {5, 4}, {7, 3}}, {{3, 2}, {7, 3}, {5, 4}}, {}},
      {2, 12, 14, {{3, 2}, {5, 4}, {7, 3}, {13, 12}}, {{3, 2}, {7, 3}, {5, 4}, {13, 12}}, {}},
      {10, 6, 100, {{7, 6}, {11, 2}, {13, 6}, {37, 3}}, {{11, 2}, {37, 3}, {7, 6}, {13, 6}}, {3}},
      {31, 6, 1000, {{7, 6}, {19, 6}, {331, 3}}, {{331, 3}, {7, 6}, {19, 6}}, {2, 3, 5}},
      {2, 2, 1000, {{3, 2}}, {{3, 2}}, {}},  // one pair: for algebraic proofs only, no k walk
      {3, 2, 1000, {}, {}, {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "b=" << c.b << " P=" << c.P << " M=" << c.M);
    const Built built = build(c.b, c.P, c.M);
    ASSERT_TRUE(built.table);
    EXPECT_EQ(pairsText(built.table->factorPeriodList), pairsText(c.list));
    EXPECT_EQ(pairsText(built.table->periodOrderedList), pairsText(c.ordered));
    EXPECT_EQ(built.table->baseMinusOneFactors, c.factors);
    std::string log;
    if (!c.list.empty()) {
      log = "factor and period list:\n";
      for (const FactorPeriod& p : c.list) log += std::to_string(p.factor) + "  " + std::to_string(p.period) + "\n";
      log += "\n";
    }
    EXPECT_EQ(built.log, log);
  }
}

TEST(BuildFactorTable, AgreesWithAnIndependentBuildOnRandomSettings) {
  std::mt19937 random(3);
  const int32_t periods[] = {2, 4, 6, 12, 16, 18, 24, 36, 48, 60, 72, 144, 360, 720};
  for (int trial = 0; trial < 60; ++trial) {
    const int32_t b = 2 + random() % (trial % 2 ? 100 : 1000000);
    const int32_t P = periods[random() % std::size(periods)];
    const int32_t M = 5 + random() % 60000;
    SCOPED_TRACE(testing::Message() << "b=" << b << " P=" << P << " M=" << M);
    const Built built = build(b, P, M);
    const CandidateTable expected = helpers::bruteTable(b, P, M);
    ASSERT_TRUE(built.table);
    EXPECT_EQ(pairsText(built.table->factorPeriodList), pairsText(expected.factorPeriodList));
    if (expected.factorPeriodList.size() >= 2) {
      EXPECT_EQ(pairsText(built.table->periodOrderedList), pairsText(expected.periodOrderedList));
    }
    EXPECT_EQ(built.table->baseMinusOneFactors, expected.baseMinusOneFactors);
  }
}

// The "Loading at factor = N." texts shown, each checked for its 35 backspaces.
std::vector<uint32_t> loadingLines(const std::string& console) {
  const std::string head = "Loading at factor = ";
  const std::string backspaces(35, '\b');
  std::vector<uint32_t> shown;
  std::size_t at = 0;
  while (at < console.size()) {
    EXPECT_EQ(console.compare(at, head.size(), head), 0) << console.substr(at);
    const std::size_t dot = console.find('.', at);
    shown.push_back(std::stoul(console.substr(at + head.size(), dot - at - head.size())));
    EXPECT_EQ(console.substr(dot + 1, 35), backspaces);
    at = dot + 1 + 35;
  }
  return shown;
}

TEST(LoadingProgress, MultiplesOfTheStepUpToTheBound) {
  struct Case { int32_t M, F; std::vector<uint32_t> shown; };
  const std::vector<Case> cases = {
      {1000, 100, {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}},
      {1000, 1000, {1000}},
      {1000, 1001, {}},
      {1000, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "M=" << c.M << " F=" << c.F);
    EXPECT_EQ(loadingLines(build(10, 144, c.M, c.F).console), c.shown);
  }
  const std::vector<uint32_t> steps = loadingLines(build(2, 12, 1011, 2).console);
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.front(), 4u);
  EXPECT_EQ(steps.back(), 1012u);
}

TEST(LoadingProgress, OneLinePerPrimeStepThatReachesAMultiple) {
  // For F = 2 every step from one prime to the next reaches an even number, from
  // 2 -> 3 (showing 2) up to the last prime below M.
  const int32_t M = 5000;
  const std::vector<uint32_t> primes = helpers::sievePrimes(M + 100);
  std::vector<uint32_t> expected;
  for (std::size_t i = 0; primes[i] < static_cast<uint32_t>(M); ++i)
    if (primes[i + 1] / 2 > primes[i] / 2) expected.push_back(primes[i + 1] / 2 * 2);
  EXPECT_EQ(loadingLines(build(10, 144, M, 2).console), expected);
}

// A stop asked before the first prime ends the phase there, with no table and nothing
// shown: what the run says of it ("Ending factor load at factor=2.") is its own.
TEST(InterruptPoll, EndsAtTheFirstPrimeWithoutAList) {
  gb_quitting = 1;
  ConsoleObserver observer{10};
  uint32_t stoppedAt = 0;
  testing::internal::CaptureStdout();
  const std::optional<CandidateTable> table =
      buildFactorTable(helpers::params(10, 1, 144, 100000), observer, stopToken(), &stoppedAt);
  const std::string console = testing::internal::GetCapturedStdout();
  gb_quitting = 0;
  EXPECT_FALSE(table);
  EXPECT_EQ(stoppedAt, 2u);
  EXPECT_EQ(console, "");
}

}  // namespace
