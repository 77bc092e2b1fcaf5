// The residue-class tree against the block sieve, side by side in one run: seconds,
// tree nodes, covered k and the first of them; the cost estimates of both engines
// beside the measured times; and the cost of a range cut into geometrically growing
// parts against one call over it. With "levels", what the tree does at each depth of
// one case (nodes, classes ended by the counting bound, children computed, classes and
// k listed, k confirmed), optionally with its choices changed.
// Usage: residue_bench [quick | CASE | levels CASE [THREADS [BOUND SIEVEBELOW CHOICES [LIFTS]]]]
//        residue_bench levels BASE,C,PERIOD,MAXFACT,FROM,TO [THREADS [BOUND SIEVEBELOW CHOICES [LIFTS]]]
//   (quick: skip the cases that take tens of seconds; BOUND is 0 or 1)
//   (LIFTS: 3 both lift choices, 1 the child order alone, 2 the lift sieve alone, 0 neither)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>
#include <vector>

#include "fast_table.h"
#include "residue_tree.h"

namespace {

struct Case {
  const char* name;
  int32_t base, c, period, maxFact;
  int64_t from, to;
  int64_t sieveSample;  // k sieved to time the sieve (the whole range when it is at least to - from + 1)
  bool slow;            // skipped in quick mode
};

template <typename F>
double seconds(F&& run) {
  auto begin = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

SieveTables tablesOf(const Case& c) {
  SearchParams params;
  params.base = c.base, params.c = c.c, params.period = c.period, params.maxFact = c.maxFact, params.minK = c.from;
  return SieveTables(params, pelund::candidates(params));
}

// The sieve's seconds over [from, from + count - 1] on `threads` threads, block by block.
double sieveSeconds(const SieveTables& tables, int64_t from, int64_t count, int threads, size_t& found) {
  std::vector<std::vector<int64_t>> parts(static_cast<size_t>(threads));
  const int64_t blocks = (count + BlockSieve::kBlockSpan - 1) / BlockSieve::kBlockSpan;
  std::atomic<int64_t> next{0};
  double s = seconds([&] {
    auto work = [&](int t) {
      BlockSieve sieve(tables);
      for (int64_t i = next++; i < blocks; i = next++) {
        int64_t start = from + i * BlockSieve::kBlockSpan;
        sieve.sieve(start, std::min(from + count - 1, start + BlockSieve::kBlockSpan - 1), parts[size_t(t)]);
      }
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t) workers.emplace_back(work, t);
    work(0);
    for (auto& w : workers) w.join();
  });
  found = 0;
  for (auto& part : parts) found += part.size();
  return s;
}

// Seconds of residueSearch over [from, to] cut into parts [1, 2^20], [2^20 + 1, 2^22], ...
double geometricSeconds(const SieveTables& tables, int64_t from, int64_t to, int threads, size_t& found) {
  std::vector<int64_t> covered;
  double s = seconds([&] {
    for (int64_t start = from, end = std::min<int64_t>(to, int64_t(1) << 20); start <= to;
         start = end + 1, end = end > to / 4 ? to : end * 4)
      residueSearch(tables, start, end, threads, covered);
  });
  found = covered.size();
  return s;
}

void runCase(const Case& c) {
  const SieveTables tables = tablesOf(c);
  const int threads = 2;
  std::vector<int64_t> covered;
  uint64_t nodes = 0;
  double estimate = 0, sieveEstimate = 0;
  double estimateSeconds = seconds([&] { estimate = residueCostEstimate(tables, c.from, c.to); });
  double perK = sieveCostPerK(tables, c.from);
  sieveEstimate = perK * double(c.to - c.from + 1);
  const bool runTree = estimate < 20 * sieveEstimate;  // else the tree would take far too long
  double tree = 0, geometric = 0;
  size_t geometricFound = 0;
  if (runTree) {
    TreeMeasure measure;
    tree = seconds([&] { residueSearchMeasured(tables, c.from, c.to, threads, covered, measure); });
    for (const TreeLevelCounts& level : measure.levels) nodes += level.nodes;
    geometric = geometricSeconds(tables, c.from, c.to, threads, geometricFound);
  }
  const int64_t width = c.to - c.from + 1;
  const int64_t sample = std::min(width, c.sieveSample);
  size_t sieveFound = 0;
  double sieve = sieveSeconds(tables, c.from, sample, threads, sieveFound);
  double sieveWhole = sieve * double(width) / double(sample);
  std::printf("%s\n  primes %zu | tree %.3f s, %llu nodes, %zu covered, first %lld | parts %.3f s (%.2fx, %zu covered)\n",
              c.name, tables.primes.size(), tree, (unsigned long long)nodes, covered.size(),
              covered.empty() ? -1LL : (long long)covered.front(), geometric, geometric / tree, geometricFound);
  std::printf("  sieve %.3f s%s (%zu covered in %lld k) | sieve/tree %.1fx\n", sieveWhole,
              sample < width ? " extrapolated" : "", sieveFound, (long long)sample, sieveWhole / tree);
  std::printf("  estimates (1 thread): tree %.3f s (took %.2f ms), sieve %.3f s (%.2f ns/k)\n", estimate,
              estimateSeconds * 1e3, sieveEstimate, perK * 1e9);
  if (!runTree) std::printf("  (tree not run: estimated at over 20 times the sieve)\n");
  if (runTree && sample == width && sieveFound != covered.size()) std::printf("  MISMATCH between the engines\n");
}

// The tree's counts per depth on one case, with the choices given.
void levelsOf(const Case& c, int threads, TreeMeasure& measure) {
  const SieveTables tables = tablesOf(c);
  std::vector<int64_t> covered;
  const double s = seconds([&] { residueSearchMeasured(tables, c.from, c.to, threads, covered, measure); });
  std::printf("%s: %.3f s on %d threads, %zu covered, first %lld (bound %d, sieve below %llu, choices %u)\n", c.name, s,
              threads, covered.size(), covered.empty() ? -1LL : (long long)covered.front(), measure.countingBound,
              (unsigned long long)measure.listBelow, measure.choices);
  std::printf("%5s %12s %12s %14s %12s %12s %10s %10s\n", "level", "nodes", "bounded", "child tests", "listed",
              "listed k", "confirmed", "survivors");
  TreeLevelCounts sum;
  for (size_t l = 0; l < measure.levels.size(); ++l) {
    const TreeLevelCounts& v = measure.levels[l];
    std::printf("%5zu %12llu %12llu %14llu %12llu %12llu %10llu %10llu\n", l, (unsigned long long)v.nodes,
                (unsigned long long)v.bounded, (unsigned long long)v.childTests, (unsigned long long)v.listedClasses,
                (unsigned long long)v.listedK, (unsigned long long)v.confirmed, (unsigned long long)v.survivors);
    sum.nodes += v.nodes, sum.bounded += v.bounded, sum.childTests += v.childTests;
    sum.listedClasses += v.listedClasses, sum.listedK += v.listedK, sum.confirmed += v.confirmed;
    sum.survivors += v.survivors;
  }
  std::printf("%5s %12llu %12llu %14llu %12llu %12llu %10llu %10llu\n", "all", (unsigned long long)sum.nodes,
              (unsigned long long)sum.bounded, (unsigned long long)sum.childTests,
              (unsigned long long)sum.listedClasses, (unsigned long long)sum.listedK, (unsigned long long)sum.confirmed,
              (unsigned long long)sum.survivors);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
  const bool levels = argc > 2 && std::strcmp(argv[1], "levels") == 0;
  const int only = argc > 1 && !quick ? std::atoi(argv[levels ? 2 : 1]) : -1;
  const Case cases[] = {
      {"S7, P=144, maxfact 1e5, k 1..1.12e12", 7, 1, 144, 100000, 1, 1120000000000, 1 << 26, false},
      {"R15, P=144, maxfact 1e5, k 1..3.64e13", 15, -1, 144, 100000, 1, 36400000000000, 1 << 26, false},
      {"S15, P=144, maxfact 1e5, k 1..9.13e13", 15, 1, 144, 100000, 1, 91300000000000, 1 << 26, false},
      {"R10, P=144, maxfact 1e6, k 1..1e9", 10, -1, 144, 1000000, 1, 1000000000, 1000000000, false},
      {"S2, P=5040, maxfact 1e6, k 1..1e9", 2, 1, 5040, 1000000, 1, 1000000000, 1000000000, true},
      {"S3, P=144, maxfact 1000, k 1..1.3e11", 3, 1, 144, 1000, 1, 130000000000, 1 << 28, false},
      {"S2, P=720, maxfact 1e6, k 1..1e9", 2, 1, 720, 1000000, 1, 1000000000, 1000000000, false},
      {"S7, P=144, maxfact 1e5, k 1..1e18", 7, 1, 144, 100000, 1, 1000000000000000000, 1 << 26, true},
      {"S910, P=720, maxfact 1e5, k 1..4989054506113", 910, 1, 720, 100000, 1, 4989054506113, 1 << 26, true},
      {"S511, P=720, maxfact 1e5, k 1..3876595974396", 511, 1, 720, 100000, 1, 3876595974396, 1 << 26, true},
      {"S7, P=144, maxfact 1e5, k 1..1e17", 7, 1, 144, 100000, 1, 100000000000000000, 1 << 26, true},
  };
  if (levels) {
    Case custom{"custom", 0, 0, 0, 0, 0, 0, 0, true};
    long long from = 0, to = 0;
    const bool isCustom = std::sscanf(argv[2], "%d,%d,%d,%d,%lld,%lld", &custom.base, &custom.c, &custom.period,
                                      &custom.maxFact, &from, &to) == 6;
    custom.from = from, custom.to = to;
    if (!isCustom && (only < 0 || only >= int(std::size(cases)))) return 1;
    TreeMeasure measure;
    const int threads = argc > 3 ? std::atoi(argv[3]) : 1;
    if (argc > 5) measure.countingBound = std::atoi(argv[4]) != 0, measure.listBelow = uint64_t(std::atoll(argv[5]));
    if (argc > 6) measure.choices = uint32_t(std::atoi(argv[6]));
    if (argc > 7) measure.liftOrder = (std::atoi(argv[7]) & 1) != 0, measure.liftSieve = (std::atoi(argv[7]) & 2) != 0;
    levelsOf(isCustom ? custom : cases[only], threads, measure);
    return 0;
  }
  for (int i = 0; i < int(std::size(cases)); ++i)
    if (only == i || (only < 0 && (!quick || !cases[i].slow))) runCase(cases[i]);
}
