// The table phase: the streamed table against the prime generator alone below the
// same bound, and the buffered straightforward table at a smaller bound, scaled by
// the number of primes. Usage: table_bench [maxfact] [period] [base]
// (defaults 1000000000, 5040, 10).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "factor_table.h"
#include "fast_table.h"
#include "primegen.h"

namespace {

template <typename F>
double seconds(F&& run) {
  auto begin = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

uint64_t primesBelow(uint64_t bound, double& elapsed) {
  auto generator = std::make_unique<primegen>();
  uint64_t count = 0;
  elapsed = seconds([&] {
    primegen_init(generator.get());
    while (primegen_next(generator.get()) < bound) ++count;
  });
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  SearchParams params;
  params.maxFact = argc > 1 ? std::atoi(argv[1]) : 1000000000;
  params.period = argc > 2 ? std::atoi(argv[2]) : 5040;
  params.base = argc > 3 ? std::atoi(argv[3]) : 10;

  double generatorTime = 0;
  uint64_t primes = primesBelow(uint64_t(params.maxFact), generatorTime);
  size_t pairs = 0;
  double fastTime = seconds([&] { pairs = pelund::candidates(params).factorPeriodList.size(); });
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("b=%d P=%d maxfact=%d: %llu primes\n", params.base, params.period, params.maxFact,
              (unsigned long long)primes);
  std::printf("  generator alone     %8.3f s\n", generatorTime);
  std::printf("  streamed table      %8.3f s  (%zu pairs)  ratio to generator %.2fx  peak RSS %ld KB\n", fastTime,
              pairs, fastTime / generatorTime, usage.ru_maxrss);

  SearchParams small = params;
  small.maxFact = std::min(params.maxFact, 1000000);
  double smallGenerator = 0;
  uint64_t smallPrimes = primesBelow(uint64_t(small.maxFact), smallGenerator);
  double slowTime = seconds([&] { buildFactorTable(small); });
  double scaled = slowTime * double(primes) / double(smallPrimes);
  std::printf("  buffered table      %8.3f s at maxfact=%d (%llu primes), scaled to %llu primes: %.1f s"
              "  streamed/buffered speed-up %.0fx\n",
              slowTime, small.maxFact, (unsigned long long)smallPrimes, (unsigned long long)primes, scaled,
              scaled / fastTime);
}
