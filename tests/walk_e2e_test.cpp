// The fast walk through the binary: for every thread count, the console (progress
// lines with their counts, the closing report) and covering.txt are exactly what the
// straightforward search gives, and the checker accepts every line.
#include <gtest/gtest.h>

#include <cinttypes>

#include "e2e.h"
#include "factor_table.h"
#include "k_walk.h"

namespace {

struct Setting {
  int32_t base, c, period, maxFact;
  int64_t minK, maxK, kDisp;
};

std::string iniOf(const Setting& s, int threads, const char* engine) {
  char text[512];
  std::snprintf(text, sizeof text,
                "base=%d\nmink=%" PRId64 "\nmaxk=%" PRId64 "\nc=%d\nperiod=%d\nmaxfact=%d\nkdisp=%" PRId64
                "\nthreads=%d\nengine=%s\n",
                s.base, s.minK, s.maxK, s.c, s.period, s.maxFact, s.kDisp, threads, engine);
  return text;
}

// The console and covering.txt of the run, from the straightforward search.
std::pair<std::string, std::string> expectedRun(const Setting& s) {
  SearchParams params;
  params.base = s.base, params.c = s.c, params.period = s.period, params.maxFact = s.maxFact;
  CandidateTable table = buildFactorTable(params);
  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, s.period);
  ExponentSlots slots = makeExponentSlots(s.period);
  char letter = s.c == 1 ? 'S' : 'R';
  char text[256];
  std::snprintf(text, sizeof text, "Covering sets for %c%d k=%" PRId64 " to %" PRId64 " with factor<=%d and period=%d",
                letter, s.base, s.minK, s.maxK, s.maxFact, s.period);
  std::string console = "\n" + e2e::statusLine(text) + "\n", results;
  uint32_t found = 0;
  for (int64_t k = s.minK; k <= s.maxK; ++k) {
    if (s.kDisp > 0 && k % s.kDisp == 0) {
      std::snprintf(text, sizeof text, "Searching at k = %" PRId64 ". %u covering set%s found. ", k, found,
                    found == 1 ? "" : "s");
      console += text + std::string(65, '\b');
    }
    if (auto line = searchOneK(k, params, table, slots)) {
      results += formatCoverLine(*line);
      ++found;
    }
  }
  std::snprintf(text, sizeof text, "%u covering set%s found for %c%d", found, found == 1 ? "" : "s", letter, s.base);
  return {console + e2e::statusLine(text), results};
}

TEST(WalkEndToEnd, EveryEngineAndThreadCountPrintsAndWritesTheStraightforwardRun) {
  const Setting settings[] = {
      {2, -1, 24, 1000, 480000, 700000, 50000},
      {2, 1, 36, 1000000, 1, 200000, 77777},
      {10, -1, 144, 100000, 1, 150000, 1},
      // 125050976086, the smallest Sierpinski number known for base 3
      {3, 1, 144, 1000, 125050976000, 125050977000, 0},
  };
  for (const Setting& s : settings) {
    auto [console, results] = expectedRun(s);
    if (s.base == 3) {
      ASSERT_EQ(results.substr(0, 14), "125050976086  ");
    }
    for (int variant = 0; variant < 9; ++variant) {
      const int threads = (int[]){1, 2, 5}[variant % 3];
      const char* engine = (const char*[]){"sieve", "residue", "auto"}[variant / 3];
      SCOPED_TRACE(iniOf(s, threads, engine));
      e2e::TempDir dir;
      dir.write("pelund.ini", iniOf(s, threads, engine));
      e2e::RunResult run = e2e::run(dir);
      EXPECT_EQ(run.exitStatus, 0);
      EXPECT_TRUE(e2e::maskStamps(run.out) == console) << "console differs";
      EXPECT_EQ(dir.read("covering.txt"), results);
      EXPECT_EQ(e2e::verifyResults(dir).exitStatus, 0);
    }
  }
}

}  // namespace
