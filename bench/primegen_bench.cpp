// primegen_bench.cpp — times the iteration of every prime below a bound
// (default 10^9, or argv[1]) through primegen_next, and the same through
// primesieve's iterator (next_prime) in the same run, and prints both and
// their ratio.
//
// Both sides do the same work per prime (a running count and a sum modulo
// 2^64, which also keeps the loops from being optimised away); the counts and
// sums must agree. The count below 10^9 is 50847534. Each side runs three
// times, alternating, each time from a fresh generator or iterator; the
// figures of every run and the medians are printed, and the ratio is that of
// the medians.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <primesieve.hpp>

#include "primegen.h"

namespace {

struct Figures {
  uint64_t count = 0;
  uint64_t sum = 0;
  double seconds = 0;
};

template <typename Next>
Figures iterateBelow(uint64_t bound, Next next) {
  Figures f;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t p = next(); p < bound; p = next()) {
    ++f.count;
    f.sum += p;
  }
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return f;
}

Figures runPrimegen(uint64_t bound) {
  auto pg = std::make_unique<primegen>();  // 324 KB: keep it off the stack
  primegen_init(pg.get());
  return iterateBelow(bound, [&] { return primegen_next(pg.get()); });
}

Figures runPrimesieve(uint64_t bound) {
  primesieve::iterator it(0, bound);
  return iterateBelow(bound, [&] { return it.next_prime(); });
}

void print(const char* name, const Figures& f) {
  std::printf("%-22s count %" PRIu64 "  sum mod 2^64 %" PRIu64 "  %.3f s  %.1f M primes/s\n",
              name, f.count, f.sum, f.seconds, f.count / f.seconds / 1e6);
}

Figures median(Figures runs[3]) {
  std::sort(runs, runs + 3, [](const Figures& a, const Figures& b) { return a.seconds < b.seconds; });
  return runs[1];
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t bound = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000000;
  std::printf("primes below %" PRIu64 "\n", bound);

  Figures ours[3], peer[3];
  for (int run = 0; run < 3; ++run) {
    ours[run] = runPrimegen(bound);
    print("primegen_next", ours[run]);
    peer[run] = runPrimesieve(bound);
    print("primesieve next_prime", peer[run]);
  }
  const Figures a = median(ours), b = median(peer);
  std::printf("median of 3:\n");
  print("primegen_next", a);
  print("primesieve next_prime", b);
  std::printf("ratio primegen / primesieve: %.2f\n", a.seconds / b.seconds);
  for (int run = 0; run < 3; ++run)
    if (ours[run].count != peer[run].count || ours[run].sum != peer[run].sum) {
      std::printf("MISMATCH between the two generators\n");
      return 1;
    }
  return 0;
}
