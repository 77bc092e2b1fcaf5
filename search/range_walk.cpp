// The walk over a range of k (see range_walk.h).
//
// The residue tree's cost follows the covered k and the partial covers whose modulus
// stays below the width of the range, so it grows slowly with the width (about 2.4x
// per 10x), while results must come out in ascending k as the walk goes. The range
// is therefore walked in consecutive parts that grow geometrically, each kGrowth
// times the one before: every part costs about as much as one search up to its end,
// so all parts together cost a small factor more than one search of the whole range,
// and an interrupt loses at most the part in progress. A part stops growing once it
// holds many lines, which bounds the memory for the lines of the next, should the tree
// search it.
//
// On a dense range (a line per 10^7 k or more), where the tree's cost follows the
// width of a part (listing and confirming the covered k dominate it), a tree part is
// kept to about half a second, so that the state and the progress lines advance about
// once a second even with engine=residue, at no cost. Where the cost grows more slowly
// than the width (sparse ranges, and the deep trees of large periods), a narrower part
// would cost nearly as much as a wide one, so the parts keep growing and the state
// advances part by part; engine=automatic takes the sieve for the dense ones of these.
// There one part over the rest of the range also costs less than two parts over it,
// so a rest at most kMergeRest times as wide as the next part goes as one part (the
// geometric parts otherwise cost nearly twice one search of the whole range) when its
// lines would stay few, unless the caller stops at a count of lines (its first line
// may lie early in the rest) or spreads parts over processes (which overlap them).
//
// Engine::automatic picks per part the engine with the smaller estimated cost: the
// sieve's measured cost per k times the width, against the tree's size sampled by
// random probes. Both engines give exactly the covered k, so the choice changes the
// time, never the output.
//
// A tree part that is expected to take long (a sparse range late in the walk may hold
// hours of work in one part) goes subtree by subtree: the deterministic list of its
// subtrees (the one pelund-mpi hands out) is searched on the threads in order, each
// thread taking the next subtree, and about every quarter of a second the sink hears
// how many subtrees from the first on are done and the covered k they hold. A state
// saved from that resumes inside the part; a kill loses what the threads had under
// way, under a second of work. A short part goes whole, as before: its progress would
// be worth nothing.
//
// A runner that spreads tree parts over processes may overlap them: it takes the next
// part while the last subtrees of the one before still run and its lines are merged
// and written, so that no process idles between parts. Its width then follows the
// lines of the part before the one in flight, scaled to the width; the first part of
// the walk goes alone, so that its lines tell the width of the next.
//
// With algebraic factors (params.algebraic) the engines' parts pass through the
// walk of algebraic_walk.h, which merges in the lines that algebraic classes prove.
#include "range_walk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "algebraic_walk.h"
#include "elapsed.h"
#include "fast_cover.h"
#include "parallel_walk.h"
#include "residue_tree.h"
#include "search_tables.h"
#include "subtree_list.h"
#include "worker_threads.h"

namespace {

constexpr int64_t kFirstPart = int64_t(1) << 22;
constexpr int64_t kGrowth = 16;
constexpr double kMergeRest = 256;  // a sparse range's rest, at most this many next parts wide, goes as one
constexpr size_t kMostLines = size_t(1) << 18;  // lines a part aims to stay below

struct Part {
  int64_t from, to;
};

constexpr double kPartSeconds = 0.5;     // the aim for a tree part of a dense range
constexpr double kDenseLinesPerK = 1e-7;  // ranges with more lines per k than this are dense
constexpr double kMeasurable = 0.02;      // parts shorter than this say nothing of the growth
constexpr double kFollowsWidth = 0.85;    // cost exponents above this count as following the width

// The most subtrees a long tree part is cut into (subtree_list::subtreesFor).
constexpr size_t kMostSubtrees = size_t(1) << 20;
// A part costs about this many times the one before (16 times as wide, cost growing
// about 2.4 times per 10 times the width).
constexpr double kPartCostGrowth = 4;

// How the tree's cost grows with the width of a part, C(W) ~ W^alpha, from the last two
// tree parts that took measurable time and whose widths differ by a factor of 4 at least.
class TreeTiming {
 public:
  void record(int64_t width, size_t lines, double seconds) {
    dense_ = double(lines) >= double(width) * kDenseLinesPerK;
    last_ = {width, seconds};
    if (seconds < kMeasurable) return;
    const double ratio = double(width) / double(measured_.width);
    if (measured_.seconds > 0 && (ratio >= 4 || ratio <= 0.25)) alpha_ = std::log(seconds / measured_.seconds) / std::log(ratio);
    if (measured_.seconds == 0 || ratio >= 4 || ratio <= 0.25) measured_ = last_;
  }
  // Whether the cost grows more slowly than the width (the growth rule's parts are
  // then not bounded by time).
  bool sparse() const { return !dense_ || alpha_ < kFollowsWidth; }
  // The width of the next part, given the one the growth rule proposes.
  int64_t bound(int64_t proposed) const {
    if (sparse()) return proposed;
    const double scale = kPartSeconds / std::max(last_.seconds, 1e-6);
    const double aim = double(last_.width) * std::clamp(scale, 1.0 / double(kGrowth), double(kGrowth));
    return std::max<int64_t>(BlockSieve::kBlockSpan, aim >= double(proposed) ? proposed : int64_t(aim));
  }

 private:
  struct Sample {
    int64_t width = 0;
    double seconds = 0;
  };
  Sample last_, measured_;
  double alpha_ = 0;
  bool dense_ = false;
};

// The part after one of `width` k that held `lines` lines, within [from, to].
int64_t nextWidth(int64_t width, size_t lines) {
  if (lines * kGrowth <= kMostLines) return width <= INT64_MAX / kGrowth ? width * kGrowth : INT64_MAX;
  const double scale = double(kMostLines) / double(lines);
  return std::max<int64_t>(BlockSieve::kBlockSpan, int64_t(double(width) * std::min(1.0, scale)));
}

}  // namespace

// The lines are built in consecutive slices taken in turn (the line of a k costs about
// as much as finding it). A k that the candidates do not cover has no line: Error.
bool buildLines(const SieveTables& tables, const std::vector<int64_t>& covered, int threads, PartResult& result,
                const StopToken& stop) {
  const size_t slices = std::min<size_t>(size_t(threads) * 4, covered.size() / 4096 + 1);
  std::vector<PartResult> pieces(slices, PartResult{result.from, result.to, {}, {}, {}});
  std::atomic<size_t> next{0};
  runOnThreads(int(std::min<size_t>(size_t(threads), slices)), [&](int) {
    for (size_t s = next++; s < slices; s = next++)
      for (size_t i = covered.size() * s / slices; i < covered.size() * (s + 1) / slices; ++i) {
        if (i % 1024 == 0 && stop.stopRequested()) return;
        const CoverLine line = fastCoverLine(tables, covered[i]);
        if (line.period == 0)
          throw pelund::Error("k=" + std::to_string(covered[i]) + " is not covered by the candidate primes");
        pieces[s].add(covered[i], formatCoverLine(line));
      }
  });
  if (stop.stopRequested()) return false;
  for (const PartResult& piece : pieces) result.append(piece);
  return true;
}

namespace {

// Searches one part with the residue tree and hands its lines over.
bool treePart(const pelund::Search& search, const Part& part, PartSink& sink, size_t& lines, const StopToken& stop,
              pelund::Runner& runner) {
  PartResult result;
  result.clear(part.from, part.to);
  if (!runner.tree(search, part.from, part.to, result, stop)) return false;
  lines = result.ks.size();
  sink.partDone(result);
  return true;
}

// Searches the part [progress.from, progress.to] subtree by subtree, from
// progress.done on, telling the sink how far it has come; its lines go to the sink.
// False when stopped, the sink told where the part stands.
bool treePartInSubtrees(const pelund::Search& search, pelund::TreeProgress progress, PartSink& sink, size_t& lines,
                        const StopToken& stop) {
  const int64_t from = progress.from, to = progress.to;
  const std::shared_ptr<const TreeRange> range = search.tables().treeRange(from, to);
  const std::vector<TreeTask> tasks = residueTasks(*range, size_t(progress.wanted));
  const size_t count = tasks.size();
  // The list is the same for the same search and part; one made otherwise (by another
  // version of the tree) starts the part again.
  subtree_list::bindToList(progress, tasks, [](const TreeTask& task) -> const auto& { return task.path; });
  const bool done = subtree_list::searchInBatches(
      count, progress.done, progress.covered, workerThreads(search.params().threads),
      [&](size_t first, size_t n, std::vector<int64_t>& found) {
        return residueSearchTasks(*range, tasks, first, n, 1, found, stop);
      },
      [&] { sink.treeProgress(progress); });
  PartResult result;
  if (!done || !search.linesOf(from, to, progress.covered, result, stop)) {
    sink.treeProgress(progress);
    return false;
  }
  lines = result.ks.size();
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

// Whether the tree costs less than the sieve on the part; `treeCost` gets the tree's
// estimate (thread-seconds).
bool treeIsCheaper(const pelund::Search& search, const Part& part, double& sievePerK, double& treeCost) {
  if (sievePerK < 0) sievePerK = sieveCostPerK(search.tables().sieve, part.from);
  const double width = double(part.to - part.from) + 1;
  treeCost = search.tables().treeCost(part.from, part.to);
  return treeCost < sievePerK * width;
}

// The walk of the engines alone (the whole walk when algebraic factors are not wanted).
bool walkEngines(const pelund::Search& search, int64_t from, int64_t to, PartSink& sink, const StopToken& stop,
                 pelund::Observer* observer, pelund::Runner& runner, const WalkStart& start) {
  const SieveTables& tables = search.tables().sieve;
  const SearchParams& params = search.params();
  // A part in progress, of this walk's range.
  const pelund::TreeProgress* resume = start.resume;
  if (resume != nullptr && (resume->wanted == 0 || resume->from != from || resume->to > to || resume->to < from ||
                            !tables.searchable))
    resume = nullptr;
  if (!tables.searchable) {
    if (observer != nullptr) observer->walking(from, to);
    return walkWithoutLines(from, to, sink, stop, [] { return false; });
  }
  if (resume == nullptr && params.engine == Engine::sieve) {
    if (observer != nullptr) observer->walking(from, to);
    return runner.sieve(search, from, to, sink, stop);
  }
  const int threads = workerThreads(params.threads);
  // A runner that overlaps tree parts has the next one before the lines of the one in
  // flight are known: its width follows the density of lines of the last part whose
  // lines are (the part before it, for consecutive tree parts).
  const bool ahead = !start.local && runner.overlaps();
  double density = 0;
  bool known = false;  // a part's density of lines is known (the first goes whole)
  int64_t aheadWidth = 0;  // the tree part in flight (0: none)
  const auto settle = [&] {
    const bool settled = aheadWidth == 0 || runner.settle(sink, stop);
    aheadWidth = 0;
    return settled;
  };
  double sievePerK = -1;
  int64_t width = resume != nullptr ? resume->to - resume->from + 1 : kFirstPart;
  double lastTreeSeconds = -1;
  TreeTiming timing;
  while (from <= to) {
    const Part part{from, to - from < width ? to : from + width - 1};
    if (observer != nullptr) observer->walking(part.from, part.to);
    size_t lines = 0;
    double treeSeconds = -1, treeCost = -1;
    if (resume != nullptr || params.engine == Engine::residue || treeIsCheaper(search, part, sievePerK, treeCost)) {
      const auto begin = std::chrono::steady_clock::now();
      pelund::TreeProgress progress{part.from, part.to, 0, 0, 0, {}};
      if (resume != nullptr) progress = *resume;
      else if (start.local)
        progress.wanted = subtree_list::subtreesFor(std::max(treeCost, lastTreeSeconds * kPartCostGrowth * threads),
                                                   threads, kMostSubtrees);
      resume = nullptr;
      if (ahead && known && progress.wanted == 0) {
        size_t before = 0;
        if (!runner.treeAhead(search, part.from, part.to, sink, stop, before)) return false;
        if (aheadWidth > 0) density = double(before) / double(aheadWidth);
        aheadWidth = part.to - part.from + 1;
        lines = size_t(density * double(aheadWidth));
      } else {
        if (!settle()) return false;
        if (progress.wanted > 0 ? !treePartInSubtrees(search, std::move(progress), sink, lines, stop)
                                : !treePart(search, part, sink, lines, stop, runner))
          return false;
        treeSeconds = lastTreeSeconds = secondsSince(begin);
        timing.record(part.to - part.from + 1, lines, treeSeconds);
        density = double(lines) / double(part.to - part.from + 1);
        known = true;
      }
    } else {
      if (!settle()) return false;
      CountingSink counting(sink);
      if (!runner.sieve(search, part.from, part.to, counting, stop)) return false;
      lines = counting.lines;
      density = double(lines) / double(part.to - part.from + 1);
      known = true;
    }
    if (part.to == to) break;
    from = part.to + 1;
    if (params.engine == Engine::sieve)  // after a resumed part
      return settle() && runner.sieve(search, from, to, sink, stop);
    const int64_t proposed = nextWidth(width, lines);
    width = treeSeconds >= 0 ? timing.bound(proposed) : proposed;
    // Where the tree's cost grows more slowly than the width, one part over the rest
    // costs less than the next part and the rest after it: C(a + b) < C(a) + C(b). The
    // rest's lines, at the density of this part, stay within a part's.
    const double rest = double(to - from) + 1;
    if (start.whole && start.local && treeSeconds >= 0 && timing.sparse() && rest <= double(width) * kMergeRest &&
        density * rest * kGrowth <= double(kMostLines))
      width = to - from + 1;
  }
  return settle();
}

}  // namespace

bool walkRange(const pelund::Search& search, int64_t from, int64_t to, PartSink& sink, const StopToken& stop,
               pelund::Observer* observer, pelund::Runner& runner, const WalkStart& start) {
  if (!search.params().algebraic) return walkEngines(search, from, to, sink, stop, observer, runner, start);
  return walkWithAlgebraicFactors(search.tables().sieve, search.params(), from, to, sink, stop, [&](PartSink& merged) {
    return walkEngines(search, from, to, merged, stop, observer, runner, start);
  });
}
