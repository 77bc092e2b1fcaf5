// The cost of algebraic=1 on its own: the special k of a range listed family by family
// and tested (classes, skips, residues modulo the candidates), with parts of the
// sieve's block width handed over empty as an engine that found nothing would. Prints
// the special k, the proved ones and the time per range and per special k, for the
// R10 and S2 cases of bench/engines.sh and for wider ranges.
// Usage: algebraic_bench
#include <chrono>
#include <cstdio>

#include "algebraic.h"
#include "algebraic_walk.h"
#include "fast_table.h"

namespace {

struct Counting : PartSink {
  size_t lines = 0;
  void partDone(const PartResult& part) override { lines += part.ks.size(); }
};

// The empty parts of [from, to] in blocks of `width` k.
bool emptyParts(int64_t from, int64_t to, int64_t width, PartSink& sink) {
  for (int64_t at = from; at <= to; at += width) {
    PartResult part;
    part.clear(at, to - at < width ? to : at + width - 1);
    sink.partDone(part);
    if (part.to == to) break;
  }
  return true;
}

// The special k up to maxK, counted family by family.
double specialCount(const SearchParams& params) {
  const algebraic::Algebra algebra(params.base, params.c, params.period);
  double count = 0;
  for (const algebraic::Family& f : algebra.families(uint64_t(params.maxK)))
    count += double(algebraic::integerRoot(uint64_t(params.maxK) / f.g, f.m));
  return count;
}

void run(const char* name, SearchParams params, int64_t width) {
  params.algebraic = true;
  const std::optional<CandidateTable> table = pelund::candidates(params);
  const SieveTables tables(params, *table);
  Counting sink;
  const auto begin = std::chrono::steady_clock::now();
  walkWithAlgebraicFactors(tables, params, params.minK, params.maxK, sink, StopToken{},
                           [&](PartSink& merged) { return emptyParts(params.minK, params.maxK, width, merged); });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const double special = specialCount(params);
  std::printf("%-28s special k %11.0f  proved %7zu  %8.3f s  %6.1f ns per special k\n", name, special, sink.lines,
              seconds, seconds * 1e9 / special);
}

SearchParams params(int32_t base, int32_t c, int32_t period, int64_t maxK) {
  SearchParams p;
  p.base = base, p.c = c, p.period = period, p.maxFact = 1000000, p.minK = 1, p.maxK = maxK;
  return p;
}

}  // namespace

int main() {
  const int64_t block = int64_t(1) << 18;  // the sieve's parts
  run("R10 to 1e9, sieve blocks", params(10, -1, 144, 1000000000), block);
  run("R10 to 1e9, one part", params(10, -1, 144, 1000000000), int64_t(1) << 62);
  run("S2 P=5040 to 1e9", params(2, 1, 5040, 1000000000), block);
  run("S2 P=720 to 1e9", params(2, 1, 720, 1000000000), block);
  run("R10 to 1e12, one part", params(10, -1, 144, 1000000000000), int64_t(1) << 62);
  run("R7 to 1e12, one part", params(7, -1, 144, 1000000000000), int64_t(1) << 62);
  run("R12 to 1e12, one part", params(12, -1, 144, 1000000000000), int64_t(1) << 62);
  run("S2 P=5040 to 1e15", params(2, 1, 5040, 1000000000000000), int64_t(1) << 62);
  return 0;
}
