// primegen_bench.cpp — times the iteration of every prime below a bound
// (default 10^9, or argv[1]) through primegen_next, and the same through
// primesieve's iterator in the same run, and prints both and their ratio.
//
// Both sides do the same work per prime (a running count and a sum modulo
// 2^64, which also keeps the loops from being optimised away); the counts and
// sums must agree. The count below 10^9 is 50847534.
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

void print(const char* name, const Figures& f) {
  std::printf("%-22s count %" PRIu64 "  sum mod 2^64 %" PRIu64 "  %.3f s  %.1f M primes/s\n",
              name, f.count, f.sum, f.seconds, f.count / f.seconds / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t bound = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000000;
  std::printf("primes below %" PRIu64 "\n", bound);

  auto pg = std::make_unique<primegen>();  // 324 KB: keep it off the stack
  primegen_init(pg.get());
  const Figures ours = iterateBelow(bound, [&] { return primegen_next(pg.get()); });
  print("primegen_next", ours);

  primesieve::iterator it(0, bound);
  const Figures peer = iterateBelow(bound, [&] { return it.next_prime(); });
  print("primesieve next_prime", peer);

  std::printf("ratio primegen / primesieve: %.2f\n", ours.seconds / peer.seconds);
  if (ours.count != peer.count || ours.sum != peer.sum) {
    std::printf("MISMATCH between the two generators\n");
    return 1;
  }
  return 0;
}
