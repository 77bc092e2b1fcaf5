// The residue-class tree against the block sieve, side by side in one run: seconds,
// tree nodes, covered k and the first of them; the cost estimates of both engines
// beside the measured times; and the cost of a range cut into geometrically growing
// parts against one call over it.
// Usage: residue_bench [quick | case number]   (quick: skip the cases that take tens of seconds)
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
  return SieveTables(params, *buildFactorTableFast(params, nullptr));
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
    tree = seconds([&] { residueSearch(tables, c.from, c.to, threads, covered, nodes); });
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

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
  const int only = argc > 1 && !quick ? std::atoi(argv[1]) : -1;
  const Case cases[] = {
      {"S7, P=144, maxfact 1e5, k 1..1.12e12", 7, 1, 144, 100000, 1, 1120000000000, 1 << 26, false},
      {"R15, P=144, maxfact 1e5, k 1..3.64e13", 15, -1, 144, 100000, 1, 36400000000000, 1 << 26, false},
      {"S15, P=144, maxfact 1e5, k 1..9.13e13", 15, 1, 144, 100000, 1, 91300000000000, 1 << 26, false},
      {"R10, P=144, maxfact 1e6, k 1..1e9", 10, -1, 144, 1000000, 1, 1000000000, 1000000000, false},
      {"S2, P=5040, maxfact 1e6, k 1..1e9", 2, 1, 5040, 1000000, 1, 1000000000, 1000000000, true},
      {"S3, P=144, maxfact 1000, k 1..1.3e11", 3, 1, 144, 1000, 1, 130000000000, 1 << 28, false},
      {"S2, P=720, maxfact 1e6, k 1..1e9", 2, 1, 720, 1000000, 1, 1000000000, 1000000000, false},
      {"S7, P=144, maxfact 1e5, k 1..1e18", 7, 1, 144, 100000, 1, 1000000000000000000, 1 << 26, true},
  };
  for (int i = 0; i < int(std::size(cases)); ++i)
    if (only == i || (only < 0 && (!quick || !cases[i].slow))) runCase(cases[i]);
}
