// The cost of a CK table, line by line: the joint table phase of all bases, then each
// base and form's first line on one thread (CPU time of that thread, so that other
// load on the machine does not count), with the sum, the lines that cost most and the
// cost of the lines whose k is tiny. Also the table phase one base at a time, for
// comparison with the joint one.
//
//   build/bench/ck_bench [first last [period [maxfact [maxk]]]]   (2 1024 720 1000000 1e18)
#include <pelund/pelund.hpp>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "first_line.h"
#include "joint_table.h"

namespace {

double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

struct Cost {
  std::string name, line;
  double seconds;
};

}  // namespace

int main(int argc, char** argv) {
  const int32_t first = argc > 1 ? std::atoi(argv[1]) : 2, last = argc > 2 ? std::atoi(argv[2]) : 1024;
  const int32_t period = argc > 3 ? std::atoi(argv[3]) : 720, maxFact = argc > 4 ? std::atoi(argv[4]) : 1000000;
  const int64_t maxK = argc > 5 ? std::atoll(argv[5]) : 1000000000000000000;
  std::vector<int32_t> bases;
  for (int32_t b = first; b <= last; ++b) bases.push_back(b);

  double begin = threadSeconds();
  const auto tables = *jointCandidateTables(bases, period, maxFact, pelund::StopToken{});
  const double joint = threadSeconds() - begin;
  begin = threadSeconds();
  for (int32_t b : bases) pelund::candidates(pelund::makeParams(b, 1, 1, 1, period, maxFact));
  const double single = threadSeconds() - begin;
  std::printf("table phase of %zu bases: %.3f s together, %.3f s one by one\n", bases.size(), joint, single);

  std::vector<Cost> costs;
  double total = 0, tiny = 0, tinyWorst = 0;
  size_t tinyCount = 0;
  for (size_t i = 0; i < bases.size(); ++i)
    for (int32_t c : {1, -1}) {
      const pelund::SearchParams params = pelund::makeParams(bases[i], c, 1, maxK, period, maxFact, 1);
      std::optional<std::string> line;
      int64_t from = 1;
      begin = threadSeconds();
      firstLine(params, tables[i], pelund::StopToken{}, line, from);
      const double seconds = threadSeconds() - begin;
      const std::string name = (c == 1 ? "S" : "R") + std::to_string(bases[i]);
      costs.push_back({name, line ? line->substr(0, line->size() - 1) : "none", seconds});
      total += seconds;
      if (line && std::atoll(line->c_str()) < 100) tiny += seconds, ++tinyCount, tinyWorst = std::max(tinyWorst, seconds);
    }
  std::printf("first lines of %zu searches: %.2f s on one thread\n", costs.size(), total);
  std::printf("lines with k < 100: %zu, %.1f us each on average, %.1f us at most\n", tinyCount,
              tinyCount ? 1e6 * tiny / double(tinyCount) : 0.0, 1e6 * tinyWorst);
  std::sort(costs.begin(), costs.end(), [](const Cost& a, const Cost& b) { return a.seconds > b.seconds; });
  double top = 0;
  for (size_t i = 0; i < costs.size() && i < 15; ++i) {
    std::printf("  %8.3f s  %s  %s\n", costs[i].seconds, costs[i].name.c_str(), costs[i].line.c_str());
    top += costs[i].seconds;
  }
  std::printf("the 15 costliest: %.2f s; lines over 0.2 s: %zu\n", top,
              size_t(std::count_if(costs.begin(), costs.end(), [](const Cost& c) { return c.seconds > 0.2; })));
}
