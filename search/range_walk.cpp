// The walk over a range of k (see range_walk.h).
//
// The residue tree's cost follows the covered k and the partial covers whose modulus
// stays below the width of the range, so it grows slowly with the width (about 2.4x
// per 10x), while results must come out in ascending k as the walk goes. The range
// is therefore walked in consecutive parts that grow geometrically, each kGrowth
// times the one before: every part costs about as much as one search up to its end,
// so all parts together cost a small factor more than one search of the whole range,
// and an interrupt loses at most the part in progress. A part stops growing once it
// holds many lines, which bounds the memory for them.
//
// Engine::automatic picks per part the engine with the smaller estimated cost: the
// sieve's measured cost per k times the width, against the tree's size sampled by
// random probes. Both engines give exactly the covered k, so the choice changes the
// time, never the output.
//
// With algebraic factors (params.algebraic) the engines' parts pass through the
// walk of algebraic_walk.h, which merges in the lines that algebraic classes prove.
#include "range_walk.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "algebraic_walk.h"
#include "fast_cover.h"
#include "parallel_walk.h"
#include "residue_tree.h"
#include "run.h"

namespace {

constexpr int64_t kFirstPart = int64_t(1) << 22;
constexpr int64_t kGrowth = 16;
constexpr size_t kMostLines = size_t(1) << 18;  // lines a part aims to stay below

struct Part {
  int64_t from, to;
};

// The part after one of `width` k that held `lines` lines, within [from, to].
int64_t nextWidth(int64_t width, size_t lines) {
  if (lines * kGrowth <= kMostLines) return width <= INT64_MAX / kGrowth ? width * kGrowth : INT64_MAX;
  const double scale = double(kMostLines) / double(lines);
  return std::max<int64_t>(BlockSieve::kBlockSpan, int64_t(double(width) * std::min(1.0, scale)));
}

// The lines of the covered k, built on `threads` threads in consecutive slices (the
// line of a k costs about as much as finding it) and joined in order. False when the
// interrupt flag was raised first.
bool buildLines(const SieveTables& tables, const std::vector<int64_t>& covered, int threads, PartResult& result) {
  const size_t slices = std::min<size_t>(size_t(threads), covered.size() / 4096 + 1);
  std::vector<PartResult> pieces(slices, PartResult{result.from, result.to, {}, {}, {}});
  auto build = [&](size_t s) {
    for (size_t i = covered.size() * s / slices; i < covered.size() * (s + 1) / slices; ++i) {
      if (i % 1024 == 0 && quitting()) return;
      pieces[s].add(fastCoverLine(tables, covered[i]));
    }
  };
  std::vector<std::thread> workers;
  for (size_t s = 1; s < slices; ++s) workers.emplace_back(build, s);
  build(0);
  for (std::thread& worker : workers) worker.join();
  if (quitting()) return false;
  for (const PartResult& piece : pieces) result.append(piece);
  return true;
}

// Searches one part with the residue tree and hands its lines over.
bool treePart(const SieveTables& tables, const Part& part, int threads, PartSink& sink, size_t& lines) {
  std::vector<int64_t> covered;
  if (!residueSearch(tables, part.from, part.to, threads, covered)) return false;
  PartResult result;
  result.clear(part.from, part.to);
  if (!buildLines(tables, covered, threads, result)) return false;
  lines = covered.size();
  sink.partDone(result);
  return true;
}

// Counts the lines the sieve hands over, on their way to the sink.
class CountingSink : public PartSink {
 public:
  explicit CountingSink(PartSink& sink) : sink_(sink) {}
  void partDone(const PartResult& part) override {
    lines += part.ks.size();
    sink_.partDone(part);
  }
  size_t lines = 0;

 private:
  PartSink& sink_;
};

bool treeIsCheaper(const SieveTables& tables, const Part& part, double& sievePerK) {
  if (sievePerK < 0) sievePerK = sieveCostPerK(tables, part.from);
  const double width = double(part.to - part.from) + 1;
  return residueCostEstimate(tables, part.from, part.to) < sievePerK * width;
}

// The walk of the engines alone (the whole walk when algebraic factors are not wanted).
bool walkEngines(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to, PartSink& sink) {
  const int threads = workerThreads(params.threads);
  if (params.engine == Engine::sieve || !tables.searchable) return sieveRange(tables, from, to, threads, sink);
  double sievePerK = -1;
  int64_t width = kFirstPart;
  while (from <= to) {
    const Part part{from, to - from < width ? to : from + width - 1};
    size_t lines = 0;
    if (params.engine == Engine::residue || treeIsCheaper(tables, part, sievePerK)) {
      if (!treePart(tables, part, threads, sink, lines)) return false;
    } else {
      CountingSink counting(sink);
      if (!sieveRange(tables, part.from, part.to, threads, counting)) return false;
      lines = counting.lines;
    }
    if (part.to == to) break;
    from = part.to + 1;
    width = nextWidth(width, lines);
  }
  return true;
}

}  // namespace

bool walkRange(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to, PartSink& sink) {
  if (!params.algebraic) return walkEngines(tables, params, from, to, sink);
  return walkWithAlgebraicFactors(tables, params, from, to, sink, [&](PartSink& merged) {
    return walkEngines(tables, params, from, to, merged);
  });
}
