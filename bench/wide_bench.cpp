// The wide search on a range of k far above 10^18 beside the 64-bit search on a range
// of the same width below it (same base, sign, period and candidates): the lines per
// range and the medians of the times, side by side, and their ratio. With many small
// candidates the wide tree walks classes of 256-bit moduli where the 64-bit one
// walks 128-bit ones and sieves its small classes, so this shows what the width costs.
//
//   bench/wide_bench BASE C PERIOD MAXFACT FROM WIDTH [THREADS [RUNS [LOWFROM]]]
//   e.g. bench/wide_bench 7 1 144 100000 1000000000000000000000000000000 1000000000000 2 3
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <pelund/pelund.hpp>

#include "wide_search.h"

namespace {

double seconds(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

struct WideCount : pelund::wide::WideSink {
  size_t lines = 0;
  void partDone(const pelund::wide::WidePart& part) override { lines += part.ks.size(); }
};
struct Count : pelund::Sink {
  size_t lines = 0;
  void partDone(const pelund::Part& part) override { lines += part.ks.size(); }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) return std::fprintf(stderr, "usage: wide_bench BASE C PERIOD MAXFACT FROM WIDTH [THREADS [RUNS [LOWFROM]]]\n"), 2;
  const int64_t base = std::atoll(argv[1]), c = std::atoll(argv[2]), period = std::atoll(argv[3]),
                maxFact = std::atoll(argv[4]);
  pelund::U256 from, width;
  if (!pelund::U256::parse(argv[5], from) || !pelund::U256::parse(argv[6], width) || !width.fitsU64())
    return std::fprintf(stderr, "bad FROM or WIDTH\n"), 2;
  const int threads = argc > 7 ? std::atoi(argv[7]) : 0, runs = argc > 8 ? std::atoi(argv[8]) : 3;
  const int64_t lowFrom = argc > 9 ? std::atoll(argv[9]) : 1000000000000;
  const int64_t w = int64_t(width.low64());
  const pelund::SearchParams params = pelund::makeParams(base, c, lowFrom, lowFrom + w - 1, period, maxFact, threads,
                                                         pelund::Engine::residue);
  const pelund::CandidateTable table = pelund::candidates(params);
  std::vector<pelund::WidePrime> primes;
  for (const pelund::FactorPeriod& pair : table.factorPeriodList) primes.push_back({pair.factor, pair.period});
  pelund::wide::WideParams wideParams;
  wideParams.base = base, wideParams.c = int32_t(c), wideParams.period = uint32_t(period);
  wideParams.minK = 1, wideParams.maxK = pelund::U256::max(), wideParams.threads = threads;
  const pelund::wide::WideSearch wide(wideParams, primes);
  const pelund::Search narrow(params, table);
  std::printf("b=%lld c=%lld P=%lld maxfact=%lld: %zu candidates; width %lld\n", (long long)base, (long long)c,
              (long long)period, (long long)maxFact, primes.size(), (long long)w);
  std::vector<double> wideTimes, narrowTimes;
  size_t wideLines = 0, narrowLines = 0;
  for (int run = 0; run < runs; ++run) {  // side by side, in turns
    WideCount wc;
    auto begin = std::chrono::steady_clock::now();
    wide.walk(from, from + width - 1, wc, pelund::StopToken{});
    wideTimes.push_back(seconds(begin)), wideLines = wc.lines;
    Count nc;
    begin = std::chrono::steady_clock::now();
    narrow.walk(lowFrom, lowFrom + w - 1, nc, pelund::StopToken{});
    narrowTimes.push_back(seconds(begin)), narrowLines = nc.lines;
  }
  std::printf("wide   [%s, +width): %zu lines, median %.3f s\n", from.toString().c_str(), wideLines, median(wideTimes));
  std::printf("64-bit [%lld, +width) (residue): %zu lines, median %.3f s\n", (long long)lowFrom, narrowLines,
              median(narrowTimes));
  std::printf("ratio wide / 64-bit: %.2f\n", median(wideTimes) / median(narrowTimes));
  return 0;
}
