// The whole straightforward search against direct arithmetic: for random small
// bases, signs, periods, bounds and k ranges, every line that the walk writes must
// name candidate primes that divide some k*b^n + c for every n in 1..2P, with a
// period that all their periods divide, and every k without a line must be skipped or
// have an exponent that no candidate prime covers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>

#include "factor_table.h"
#include "search_helpers.h"
#include "walk_driver.h"

namespace {

std::map<int64_t, CoverLine> readLines(const std::string& written) {
  std::map<int64_t, CoverLine> lines;
  std::istringstream in(written);
  for (std::string read; std::getline(in, read);) {
    const std::string withEnd = read + "\n";
    const char* text = withEnd.c_str();
    CoverLine line;
    int used = 0;
    EXPECT_EQ(std::sscanf(text, "%" SCNd64 "  %u  [%n", &line.k, &line.period, &used), 2) << text;
    for (char* at = const_cast<char*>(text) + used; *at != ']';) {
      line.primes.push_back(static_cast<uint32_t>(std::strtoul(at, &at, 10)));
      if (*at == ',') at += 2;
    }
    EXPECT_EQ(formatCoverLine(line), text);
    lines[line.k] = line;
  }
  return lines;
}

bool skippedDirectly(int64_t k, int32_t b, int32_t c) {
  if (k % b == 0) return true;
  for (int32_t f : helpers::distinctPrimeFactors(b - 1))
    if ((k + c) % f == 0) return true;
  return false;
}

void checkLine(const CoverLine& line, const SearchParams& params, const CandidateTable& table) {
  ASSERT_FALSE(line.primes.empty());
  EXPECT_TRUE(std::is_sorted(line.primes.begin(), line.primes.end()));
  EXPECT_EQ(params.period % line.period, 0u);
  for (uint32_t p : line.primes) {
    auto pair = std::find_if(table.factorPeriodList.begin(), table.factorPeriodList.end(),
                             [&](const FactorPeriod& x) { return x.factor == p; });
    ASSERT_NE(pair, table.factorPeriodList.end()) << p << " is no candidate";
    EXPECT_EQ(line.period % pair->period, 0u) << p;
  }
  EXPECT_TRUE(helpers::uncoveredExponents(line.k, params.base, params.c, params.period, line.primes).empty());
}

TEST(SearchOracle, EveryLineCoversAndEveryOtherKIsSkippedOrUncoverable) {
  std::mt19937 random(2024);
  const int32_t periods[] = {4, 6, 8, 12, 18, 24, 36};
  int written = 0;
  for (int trial = 0; trial < 120; ++trial) {
    SearchParams params = helpers::params(2 + random() % 60, random() % 2 ? 1 : -1, periods[random() % 7],
                                          20 + random() % 3000);
    params.minK = 1 + random() % 100000;
    params.maxK = params.minK + 1500;
    SCOPED_TRACE(testing::Message() << "b=" << params.base << " c=" << params.c << " P=" << params.period
                                    << " M=" << params.maxFact << " k=" << params.minK << ".." << params.maxK);
    std::optional<CandidateTable> table = buildFactorTable(params);
    ASSERT_TRUE(table);
    const std::vector<uint32_t> candidates = helpers::primesOf(table->factorPeriodList);
    PartResult walked;
    EXPECT_TRUE(walkKRange(params, *table, walked));
    const std::map<int64_t, CoverLine> lines = readLines(walked.text);
    EXPECT_EQ(walked.ks.size(), lines.size());
    for (int64_t k = params.minK; k <= params.maxK; ++k) {
      const bool canCover = !skippedDirectly(k, params.base, params.c) && candidates.size() >= 2 &&
                            helpers::uncoveredExponents(k, params.base, params.c, params.period, candidates).empty();
      auto line = lines.find(k);
      ASSERT_EQ(line != lines.end(), canCover) << "k=" << k;
      if (canCover) checkLine(line->second, params, *table);
    }
    written += static_cast<int>(lines.size());
  }
  EXPECT_GT(written, 200);  // the settings did produce a fair number of covered k
}

}  // namespace
