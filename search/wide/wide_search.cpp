// The wide search's tables, lines and walk (see wide_search.h). The walk goes in
// consecutive parts growing geometrically from 2^22 k (range_walk.cpp does the same for
// the 64-bit range), so an interrupt loses at most the part in progress (of a long
// tree part, which goes subtree by subtree, the subtrees in progress) and the lines of
// a part stay bounded. A part grows 16 times the one before, or more where the
// tree's cost grows slowly with the width, C(W) ~ W^alpha measured on the last two
// parts: then about 4^(1/alpha) times (up to 2^16), so that each part costs about four
// times the one before and all parts together a small factor more than the last; a
// range of 2^256 k would otherwise go in some sixty parts of nearly the same cost once
// the tree is whole. A part that held lines grows no more than keeps the next below
// 2^18 lines at the same density, and one whose tree finds more than 2^22 k (a jump
// into a dense range) is given up and taken again at a sixteenth of its width. Each
// part goes to the 64-bit engines on shifted tables where they can take it (see
// wide_search.h), else to the wide tree.
#include "wide_search.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numeric>

#include "decimal.h"
#include "elapsed.h"
#include "parallel_walk.h"
#include "residue_tree.h"
#include "subtree_list.h"
#include "wide_tables.h"
#include "worker_threads.h"

namespace pelund::wide {
namespace {

constexpr uint32_t kMostPeriod = 65520;
constexpr int kFirstPartBits = 22;
constexpr uint64_t kGrowth = 16;
constexpr int kMostGrowthBits = 16;
constexpr double kMeasurable = 0.02;  // parts shorter than this (seconds) say nothing of the growth
constexpr size_t kMostLines = size_t(1) << 18;  // lines a part aims to stay below
constexpr size_t kMostFound = size_t(1) << 22;  // a part that finds more is searched again, narrower
constexpr size_t kPairTableLimit = 1024;        // primes up to which their pairs are tabled
// A part costs about this many times the one before; a long one is cut into at most
// kMostSubtrees subtrees (subtree_list::subtreesFor).
constexpr double kPartCostGrowth = 4;
constexpr size_t kMostSubtrees = size_t(1) << 16;
// The 64-bit engines' bounds: primes up to 1e9, periods up to 5040, a range of 1e18 k.
constexpr uint64_t kNarrowPrimes = 1000000000;
constexpr uint32_t kNarrowPeriod = 5040;
constexpr uint64_t kNarrowWidth = 1000000000000000000;

WidePrimeTable makePrime(uint64_t p, uint32_t d, int64_t base, int32_t c) {
  WidePrimeTable prime;
  prime.p = p, prime.d = d, prime.small = p < (uint64_t(1) << 32), prime.mu = UINT64_MAX / p;
  const uint64_t inverse = inverseMod64(uint64_t(base) % p, p);
  uint64_t power = 1;
  for (uint32_t e = 1; e <= d; ++e) {
    power = prime.mul(power, inverse);
    prime.residue.push_back(c == 1 ? p - power : power);
  }
  std::vector<uint32_t> order(d);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return prime.residue[a] < prime.residue[b]; });
  for (uint32_t index : order) prime.sortedResidue.push_back(prime.residue[index]), prime.sortedClass.push_back(index + 1);
  return prime;
}

void tablePairs(WideTables& t) {
  if (t.m > kPairTableLimit) return;
  t.pairInverse.assign(size_t(t.m) * t.m, 0);
  t.pairMod.assign(size_t(t.m) * t.m, 0);
  for (uint32_t i = 0; i < t.m; ++i)
    for (uint32_t j = 0; j < t.m; ++j)
      if (i != j) {
        const uint64_t pj = t.primes[j].p, r = t.primes[i].p % pj;
        t.pairMod[size_t(i) * t.m + j] = r;
        t.pairInverse[size_t(i) * t.m + j] = inverseMod64(r, pj);
      }
}

// The cover line of k from its first hits, in the trial order: the primes that stand
// first at some exponent, ascending, with the lcm of their periods, or the largest
// period alone when the primes of its divisors cover on their own. Period 0: none.
struct WideLine {
  uint32_t period = 0;
  std::vector<uint64_t> primes;
};

bool unite(std::vector<uint64_t>& into, const std::vector<uint64_t>& add) {
  bool grew = false;
  for (size_t w = 0; w < into.size(); ++w) grew |= (add[w] & ~into[w]) != 0, into[w] |= add[w];
  return grew;
}

WideLine coverLine(const WideTables& t, const U256& k) {
  if (k.isZero() || t.skipped(k)) return {};
  struct Member {
    uint64_t p;
    uint32_t d;
    std::vector<uint64_t> bits;
  };
  std::vector<uint64_t> covered(t.words, 0), mine(t.words);
  std::vector<Member> set;
  for (uint32_t j = 0; j < t.m; ++j) {
    const WidePrimeTable& prime = t.primes[j];
    const uint32_t e = prime.classOf(k.mod(prime.p));
    if (e != 0) {
      std::fill(mine.begin(), mine.end(), 0);
      markClass(mine.data(), e, prime.d, t.period);
      if (unite(covered, mine)) set.push_back({prime.p, prime.d, mine});
    }
    if (j >= 1 && coversAll(covered.data(), t.period)) break;
  }
  if (!coversAll(covered.data(), t.period)) return {};
  std::sort(set.begin(), set.end(), [](const Member& a, const Member& b) { return a.p < b.p; });
  uint32_t lcm = 1, largest = 0;
  for (const Member& member : set) largest = std::max(largest, member.d), lcm = std::lcm(lcm, member.d);
  WideLine line{lcm, {}};
  if (lcm > largest) {
    std::vector<uint64_t> kept(t.words, 0);
    for (const Member& member : set)
      if (largest % member.d == 0) unite(kept, member.bits);
    if (coversAll(kept.data(), t.period)) {
      line.period = largest;
      for (const Member& member : set)
        if (largest % member.d == 0) line.primes.push_back(member.p);
      return line;
    }
  }
  for (const Member& member : set) line.primes.push_back(member.p);
  return line;
}

// The 64-bit tables of the search's classes, when they are within those engines' bounds.
std::optional<SieveTables> narrowTables(const WideTables& t) {
  if (t.m < 2 || t.period > kNarrowPeriod || t.params.base > INT32_MAX) return std::nullopt;
  std::vector<SievePrime> primes, skips;
  for (const WidePrimeTable& prime : t.primes) {
    if (prime.p > kNarrowPrimes) return std::nullopt;
    primes.push_back(makeSievePrime(uint32_t(prime.p), prime.d,
                                    std::vector<uint32_t>(prime.residue.begin(), prime.residue.end())));
  }
  for (const WideSkip& skip : t.skips) skips.push_back(makeSievePrime(uint32_t(skip.q), 1, {uint32_t(skip.r)}));
  return SieveTables(int32_t(t.period), std::move(primes), std::move(skips), 1);
}

// The block sieve's covered t of [from, to] on the threads, ascending: blocks taken
// from a counter, each thread with its own sieve. False when stopped.
bool sieveCovered(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                  const StopToken& stop) {
  const int64_t span = BlockSieve::kBlockSpan;
  const uint64_t blocks = uint64_t((to - from) / span) + 1;
  std::vector<std::vector<int64_t>> found(blocks);
  std::atomic<uint64_t> next{0};
  std::atomic<bool> stopped{false};
  runOnThreads(blocks > 1 ? threads : 1, [&](int) {
    BlockSieve sieve(tables, stop);
    for (uint64_t i = next++; i < blocks && !stopped; i = next++) {
      const int64_t first = from + int64_t(i) * span, last = to - first < span ? to : first + span - 1;
      if (!sieve.sieve(first, last, found[i])) stopped = true;
    }
  });
  if (stopped || stop.stopRequested()) return false;
  for (const std::vector<int64_t>& block : found) covered.insert(covered.end(), block.begin(), block.end());
  return true;
}

// The part [progress.from, progress.to] (narrower than 1e18) by the 64-bit engines on
// the tables shifted to origin from - 1. A part in progress (progress.wanted > 0, a
// resume) goes on in the 64-bit tree's subtrees. Otherwise the sieve or the tree takes
// it, whichever is estimated cheaper, and a tree part expected to cost a second or
// more (`lastTree`, the wall seconds of the last tree part, times four, or the tree's
// own estimate) goes subtree by subtree, its progress told as the wide tree's is. When
// done, progress.covered holds every covered k of the part; `byTree` says whether the
// tree took it.
TreeResult narrowSearch(const SieveTables& narrow, WideTreeProgress& progress, double lastTree, int threads,
                        const StopToken& stop, size_t most,
                        const std::function<void(const WideTreeProgress&)>& told, bool& byTree) {
  const U256 origin = progress.from - U256(1);
  const SieveTables shifted =
      shiftedSieveTables(narrow, [&](uint32_t q) { return uint32_t(origin.mod(q)); });
  const int64_t width = int64_t((progress.to - progress.from).low64()) + 1;
  std::vector<int64_t> ts;
  if (progress.wanted == 0) {
    const double sieve = sieveCostPerK(shifted, 1) * double(width), tree = residueCostEstimate(shifted, 1, width);
    byTree = tree < sieve;
    progress.wanted =
        byTree ? subtree_list::subtreesFor(std::max(tree, lastTree * kPartCostGrowth * threads), threads, kMostSubtrees)
               : 0;
    if (progress.wanted == 0 && !(byTree ? residueSearch(shifted, 1, width, threads, ts, stop)
                                               : sieveCovered(shifted, 1, width, threads, ts, stop)))
      return TreeResult::stopped;
  }
  if (progress.wanted == 0) {
    if (ts.size() > most) return TreeResult::tooMany;
    progress.covered.reserve(ts.size());
    for (int64_t t : ts) progress.covered.push_back(origin + U256(uint64_t(t)));
    return TreeResult::done;
  }
  byTree = true;
  const std::shared_ptr<const TreeRange> range = makeTreeRange(shifted, 1, width);
  const std::vector<TreeTask> tasks = residueTasks(*range, size_t(progress.wanted));
  subtree_list::bindToList(progress, tasks, [](const TreeTask& task) -> const auto& { return task.path; });
  std::atomic<size_t> total{progress.covered.size()};
  std::atomic<bool> tooMany{false};
  const bool done = subtree_list::searchInBatches(
      tasks.size(), progress.done, progress.covered, threads,
      [&](size_t first, size_t n, std::vector<U256>& found) {
        std::vector<int64_t> ts;
        if (!residueSearchTasks(*range, tasks, first, n, 1, ts, stop)) return false;
        if ((total += ts.size()) > most) {
          tooMany = true;
          return false;
        }
        for (int64_t t : ts) found.push_back(origin + U256(uint64_t(t)));
        return true;
      },
      [&] { told(progress); });
  if (tooMany) return TreeResult::tooMany;
  if (!done) {
    told(progress);
    return TreeResult::stopped;
  }
  return TreeResult::done;
}

// The part [from, to] holding the lines of `covered` (ascending), built on the threads.
bool buildPart(const WideTables& t, const std::vector<U256>& covered, int threads, WidePart& part,
               const StopToken& stop) {
  std::vector<std::string> lines(covered.size());
  std::atomic<size_t> next{0};
  constexpr size_t kSlice = 256;
  runOnThreads(covered.size() > kSlice ? threads : 1, [&](int) {
    for (size_t s = next.fetch_add(kSlice); s < covered.size(); s = next.fetch_add(kSlice)) {
      if (stop.stopRequested()) return;
      for (size_t i = s; i < std::min(covered.size(), s + kSlice); ++i) {
        const WideLine line = coverLine(t, covered[i]);
        if (line.period == 0)
          throw pelund::Error("k=" + covered[i].toString() + " is not covered by the candidate primes");
        std::string& text = lines[i];
        text = covered[i].toString() + "  ";
        appendDecimal(text, line.period);
        text += "  [";
        for (size_t p = 0; p < line.primes.size(); ++p) {
          if (p > 0) text += ", ";
          appendDecimal(text, line.primes[p]);
        }
        text += "]\n";
      }
    }
  });
  if (stop.stopRequested()) return false;
  for (size_t i = 0; i < covered.size(); ++i) part.add(covered[i], lines[i]);
  return true;
}

// How the tree's cost grows with the width of a part, from the last two parts that
// took measurable time and whose widths differ by 4 bits at least.
class Growth {
 public:
  void record(const U256& width, double seconds) {
    if (seconds < kMeasurable) return;
    const double bits = std::log2(width.toDouble());
    if (measuredSeconds_ > 0 && bits - measuredBits_ >= 4)
      alpha_ = std::log2(seconds / measuredSeconds_) / (bits - measuredBits_);
    if (measuredSeconds_ == 0 || bits - measuredBits_ >= 4) measuredBits_ = bits, measuredSeconds_ = seconds;
  }
  // The factor to grow by, as bits: four times the cost, 16 times the width at least.
  int bits() const {
    if (alpha_ < 0) return 4;
    return alpha_ <= 2.0 / kMostGrowthBits ? kMostGrowthBits : std::clamp(int(2 / alpha_), 4, kMostGrowthBits);
  }

 private:
  double measuredBits_ = 0, measuredSeconds_ = 0, alpha_ = -1;
};

U256 nextWidth(const U256& width, size_t lines, int growthBits) {
  const uint64_t growth = uint64_t(1) << growthBits;
  if (lines == 0 || lines <= kMostLines / growth) {
    const U256 wider = width.shiftLeft(growthBits);
    return wider.shiftRight(growthBits) == width ? wider : U256::max();
  }
  if (lines * kGrowth <= kMostLines) return width.mulSmall(kMostLines / lines);
  const U256 narrower = width.divmod(lines).mulSmall(kMostLines);
  return std::max(narrower, U256(uint64_t(1) << 18));
}

}  // namespace

WideSearch::WideSearch(const WideParams& params, std::vector<WidePrime> candidates)
    : tables_(std::make_unique<WideTables>()) {
  WideTables& t = *tables_;
  if (params.base < 2) throw pelund::Error("base cannot be less than 2");
  if (params.c != 1 && params.c != -1) throw pelund::Error("c must be 1 or -1");
  if (params.period < 2 || params.period > kMostPeriod) throw pelund::Error("period must be 2 to 65520");
  if (params.minK.isZero() || params.minK > params.maxK) throw pelund::Error("mink must be 1 to maxk");
  t.params = params;
  t.period = params.period;
  t.words = (params.period + 63) / 64;
  const uint64_t base = uint64_t(params.base);
  // The trial order of the lines: ascending period, then ascending prime.
  std::stable_sort(candidates.begin(), candidates.end(), [](const WidePrime& a, const WidePrime& b) {
    return a.period != b.period ? a.period < b.period : a.prime < b.prime;
  });
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (const WidePrime& candidate : candidates) {
    const uint64_t p = candidate.prime;
    if (p < 3 || base % p == 0 || (base - 1) % p == 0) continue;
    if (candidate.period == 0 || params.period % candidate.period != 0 ||
        orderMod64(base, p, candidate.period) != candidate.period)
      throw pelund::Error("candidate " + std::to_string(p) + " is not of period " + std::to_string(candidate.period) +
                          " dividing P");
    t.primes.push_back(makePrime(p, candidate.period, params.base, params.c));
  }
  t.m = uint32_t(t.primes.size());
  t.skips.push_back({base, 0});
  for (uint64_t f : distinctPrimeFactors64(uint64_t(base - 1))) t.skips.push_back({f, params.c == 1 ? f - 1 : 1 % f});
  for (uint32_t j = 0; j < t.m; ++j) {
    const uint32_t d = t.primes[j].d;
    t.classStart.push_back(t.slots), t.slots += d;
    auto at = std::find(t.periods.begin(), t.periods.end(), d);
    if (at == t.periods.end()) at = t.periods.insert(at, d);  // at the end
    t.periodIndex.push_back(uint32_t(at - t.periods.begin()));
    t.weight.push_back(uint64_t((u128(1) << 44) / t.primes[j].p));
  }
  tablePairs(t);
  t.narrow = narrowTables(t);
}

WideSearch::~WideSearch() = default;
WideSearch::WideSearch(WideSearch&&) noexcept = default;
WideSearch& WideSearch::operator=(WideSearch&&) noexcept = default;

const WideParams& WideSearch::params() const { return tables_->params; }
bool WideSearch::searchable() const { return tables_->m >= 2; }

std::string WideSearch::lineOf(const U256& k) const {
  const WideLine line = coverLine(*tables_, k);
  if (line.period == 0) return {};
  std::string text = k.toString() + "  ";
  appendDecimal(text, line.period);
  text += "  [";
  for (size_t p = 0; p < line.primes.size(); ++p) {
    if (p > 0) text += ", ";
    appendDecimal(text, line.primes[p]);
  }
  return text + "]\n";
}

bool WideSearch::tree(const U256& from, const U256& to, std::vector<U256>& covered, const StopToken& stop) const {
  return wideTreeSearch(*tables_, from, to, workerThreads(tables_->params.threads), covered, stop) == TreeResult::done;
}

bool WideSearch::walk(const U256& from, const U256& to, WideSink& sink, const StopToken& stop,
                      const std::function<void(const U256&, const U256&)>& walking) const {
  return walkLines(from, to, 0, sink, stop, walking);
}

bool WideSearch::walkLines(const U256& from, const U256& to, uint64_t maxLines, WideSink& sink, const StopToken& stop,
                           const std::function<void(const U256&, const U256&)>& walking,
                           const WideTreeProgress* resume) const {
  if (from > to) return true;
  const int threads = workerThreads(tables_->params.threads);
  if (resume != nullptr && (resume->wanted == 0 || resume->from != from || resume->to > to || resume->to < from))
    resume = nullptr;
  U256 start = from, width = resume != nullptr ? resume->to - from + 1 : U256(1).shiftLeft(kFirstPartBits);
  uint64_t lines = 0;
  Growth growth;
  // The last parts of the wide tree and of the 64-bit tree (none yet: their cost is unknown).
  double lastTreeSeconds = -1, lastNarrowTree = -1;
  for (;;) {
    const auto begin = std::chrono::steady_clock::now();
    if (stop.stopRequested()) return false;
    const U256 end = to - start < width ? to : start + width - 1;
    if (walking) walking(start, end);
    // Few lines wanted: a part holding far more is taken again narrower sooner.
    const size_t most = maxLines != 0 && maxLines < kMostLines / 16 ? kMostLines : kMostFound;
    TreeResult result;
    WideTreeProgress progress{start, end, 0, 0, 0, {}};
    if (resume != nullptr) progress = *resume;
    resume = nullptr;
    const auto tell = [&](const WideTreeProgress& told) { sink.treeProgress(told); };
    if (tables_->narrow && end - start < U256(kNarrowWidth)) {
      bool byTree = false;
      result = narrowSearch(*tables_->narrow, progress, lastNarrowTree, threads, stop, most, tell, byTree);
      if (byTree) lastNarrowTree = secondsSince(begin);
    } else {
      // A part of the wide tree that may take a second or more goes subtree by subtree,
      // its progress told to the sink: the first (its cost is not known yet), and one
      // after a part that took a quarter of a second, as each is planned to cost about
      // four times the one before.
      if (progress.wanted == 0 && (lastTreeSeconds < 0 || lastTreeSeconds * kPartCostGrowth >= subtree_list::kLongPart))
        progress.wanted = subtree_list::subtreesFor(
            std::max(subtree_list::kLongPart, lastTreeSeconds * kPartCostGrowth * threads), threads, kMostSubtrees);
      result = progress.wanted > 0 ? wideTreeInSubtrees(*tables_, progress, threads, stop, most, tell)
                                   : wideTreeSearch(*tables_, start, end, threads, progress.covered, stop, most);
      lastTreeSeconds = secondsSince(begin);
    }
    std::vector<U256> covered = std::move(progress.covered);
    if (result == TreeResult::stopped) return false;
    if (result == TreeResult::tooMany) {  // the part again, narrower
      width = std::max((end - start + 1).shiftRight(4), U256(1));
      continue;
    }
    growth.record(end - start + 1, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    WidePart part{start, end, {}, {}, {}};
    const bool enough = maxLines != 0 && covered.size() >= maxLines - lines;
    if (enough) covered.resize(size_t(maxLines - lines)), part.to = covered.back();
    if (!buildPart(*tables_, covered, threads, part, stop)) {
      // Stopped with the part's subtrees all done: the state keeps their k.
      if (progress.wanted > 0 && !enough) progress.covered = std::move(covered), sink.treeProgress(progress);
      return false;
    }
    sink.partDone(part);
    lines += covered.size();
    if (enough || end == to) return true;
    start = end + 1;
    width = nextWidth(width, covered.size(), growth.bits());
  }
}

}  // namespace pelund::wide
