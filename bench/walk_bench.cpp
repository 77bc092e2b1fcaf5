// The k walk: the straightforward path against the block sieve, side by side in one
// run, in nanoseconds per k, and the speed-up of the sieve from 1 to 2 threads (the
// medians of three alternating runs of each).
// Usage: walk_bench [scale]   (scale multiplies the k counts; default 1)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "factor_table.h"
#include "parallel_walk.h"
#include "walk_driver.h"

namespace {

struct Case {
  const char* name;
  int32_t base, c, period, maxFact;
  int64_t start;
  int64_t straightforwardCount;  // k timed on the straightforward path
  int64_t fastCount;             // k timed on the sieve
};

template <typename F>
double seconds(F&& run) {
  auto begin = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

class CountingSink : public PartSink {
 public:
  void partDone(const PartResult& part) override { lines += uint32_t(part.ks.size()); }
  uint32_t lines = 0;
};

// The sieve's tables are built inside the timing, as a search builds them.
double nsPerKOnce(const SearchParams& base, const CandidateTable& table, int64_t count, int threads, bool fast,
                  uint32_t& found) {
  SearchParams params = base;
  params.maxK = params.minK + count - 1;
  params.threads = threads;
  double s = seconds([&] {
    if (fast) {
      CountingSink sink;
      sieveRange(SieveTables(params, table), params.minK, params.maxK, threads, sink);
      found = sink.lines;
    } else {
      PartResult lines;
      walkKRange(params, table, lines);
      found = uint32_t(lines.ks.size());
    }
  });
  return s * 1e9 / double(count);
}

void runCase(const Case& c, double scale) {
  SearchParams params;
  params.base = c.base;
  params.c = c.c;
  params.period = c.period;
  params.maxFact = c.maxFact;
  params.minK = c.start;
  CandidateTable table = buildFactorTable(params);
  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, params.period);

  int64_t slowCount = int64_t(double(c.straightforwardCount) * scale);
  int64_t fastCount = int64_t(double(c.fastCount) * scale);
  uint32_t slowFound = 0, found1 = 0, found2 = 0;
  double oneRuns[3], twoRuns[3];
  double slow = nsPerKOnce(params, table, slowCount, 1, false, slowFound);
  double one = 0, two = 0;
  for (int round = 0; round < 3; ++round) {  // alternate, so both see the same machine
    double runs[2] = {nsPerKOnce(params, table, fastCount, 1, true, found1),
                      nsPerKOnce(params, table, fastCount, 2, true, found2)};
    oneRuns[round] = runs[0], twoRuns[round] = runs[1];
  }
  std::sort(oneRuns, oneRuns + 3), std::sort(twoRuns, twoRuns + 3);
  one = oneRuns[1], two = twoRuns[1];
  std::printf("%-34s straightforward %9.1f ns/k (%lld k, %u found) | sieve 1 thread %7.3f ns/k, 2 threads %7.3f ns/k "
              "(%lld k, %u found) | sieve/straightforward %7.0fx | 2-thread speed-up %.2fx\n",
              c.name, slow, (long long)slowCount, slowFound, one, two, (long long)fastCount, found1, slow / one,
              one / two);
  if (found1 != found2) std::printf("  MISMATCH between thread counts: %u vs %u\n", found1, found2);
}

}  // namespace

int main(int argc, char** argv) {
  double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  const Case cases[] = {
      {"R10, P=144, maxfact 1e6, k from 1", 10, -1, 144, 1000000, 1, 200000, 1000000000},
      {"S2, P=36, maxfact 1e6, k from 1", 2, 1, 36, 1000000, 1, 2000000, 1000000000},
      {"S3, P=144, maxfact 1000, k from 1e10", 3, 1, 144, 1000, 10000000000, 200000, 1000000000},
  };
  for (const Case& c : cases) runCase(c, scale);
}
