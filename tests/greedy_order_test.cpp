// The block sieve's greedy order of exponents, which marks each exponent's hits in
// the sample once, against the greedy choice made k by k: on generated bases, signs,
// periods and sample starts, the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include <pelund/pelund.hpp>

#include "cover_sieve.h"

namespace {

// Each pick is the exponent, first in the order of those left, whose hits keep the
// fewest of the k kept so far; the k of the sample start as not skipped.
std::vector<uint32_t> greedyByK(const SieveTables& tables, int64_t start, int words, size_t picks) {
  const int64_t first = start & ~int64_t(63);
  std::vector<int64_t> kept;
  for (int64_t k = first; k < first + 64 * int64_t(words); ++k) {
    bool skipped = false;
    for (const SievePrime& skip : tables.skips) skipped = skipped || uint64_t(k) % skip.p == skip.classResidue[0];
    if (!skipped) kept.push_back(k);
  }
  auto hit = [&](int64_t k, uint32_t n) {
    for (const SievePrime& sp : tables.primes)
      if (uint64_t(k) % sp.p == sp.classResidue[(n - 1) % sp.d]) return true;
    return false;
  };
  std::vector<uint32_t> rest(size_t(tables.period)), order;
  std::iota(rest.begin(), rest.end(), 1u);
  for (size_t pick = 0; pick < picks && !rest.empty(); ++pick) {
    size_t best = 0, bestCount = SIZE_MAX;
    for (size_t i = 0; i < rest.size(); ++i) {
      const size_t count = size_t(std::count_if(kept.begin(), kept.end(), [&](int64_t k) { return hit(k, rest[i]); }));
      if (count < bestCount) bestCount = count, best = i;
    }
    std::erase_if(kept, [&](int64_t k) { return !hit(k, rest[best]); });
    order.push_back(rest[best]);
    rest.erase(rest.begin() + std::ptrdiff_t(best));
    if (bestCount == 0) break;
  }
  order.insert(order.end(), rest.begin(), rest.end());
  return order;
}

TEST(GreedyOrder, TheOrderIsTheGreedyChoiceMadeKByK) {
  std::mt19937_64 random(144);
  const int32_t periods[] = {12, 36, 144, 720};
  for (int round = 0; round < 12; ++round) {
    const int32_t base = int32_t(2 + random() % 500), c = random() % 2 == 0 ? 1 : -1;
    const int32_t period = periods[random() % 4];
    const int64_t start = int64_t(1 + random() % 1000000000000);
    const pelund::SearchParams params = pelund::makeParams(base, c, start, start + 1, period, 20000);
    const SieveTables tables(params, pelund::candidates(params));
    if (!tables.searchable) continue;
    SCOPED_TRACE("base " + std::to_string(base) + " c " + std::to_string(c) + " period " + std::to_string(period));
    const int words = int(1 + random() % 8);
    const size_t picks = size_t(1 + random() % 10);
    EXPECT_EQ(BlockSieve(tables).greedyOrder(start, words, picks), greedyByK(tables, start, words, picks));
  }
}

}  // namespace
