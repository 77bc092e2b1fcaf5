// The residue tree of a wide search (see wide_search.h for the mathematics): one
// thread's descent over 256-bit classes, the top of the tree cut into subtrees that
// the threads take from a counter, the covered k merged ascending and each once.
//
// A node is the class x = s (mod M) of x = k - from, s < M, with the count of x below
// the width W of the range (saturated above kListBelow, where it only decides that
// the node is split). Each level of the path keeps, for every free prime, s mod p,
// 1/M mod p and M mod p, so that the child in which prime j covers exponent n,
// x = s + M*i with i = (t - s)/M (mod p_j), costs one product, and going down updates
// the residues with one product each (the primes' inverses modulo each other tabled).
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <memory>

#include "subtree_list.h"
#include "wide_tables.h"
#include "worker_threads.h"

namespace pelund::wide {
namespace {

constexpr uint64_t kListBelow = 2;         // a class of at most this many k is tested k by k
constexpr uint64_t kMany = UINT64_MAX;     // a count above kListBelow
constexpr uint64_t kPollMask = 4095;       // a stop is polled every 4096 nodes
constexpr size_t kTasksPerThread = 64;     // subtrees per thread for a search on threads
constexpr uint32_t kNone = UINT32_MAX;
constexpr uint64_t kTargetTable = uint64_t(1) << 20;  // residues per exponent and prime tabled up to this many
constexpr auto kProgressInterval = std::chrono::milliseconds(250);  // a part searched in subtrees tells its progress

// The tables of one range: the width and each prime's residues relative to `from`.
struct RangeTables {
  RangeTables(const WideTables& t, const U256& from_, const U256& to) : tables(t), from(from_), width(to - from_ + 1) {
    for (const WidePrimeTable& prime : t.primes) fromMod.push_back(from.mod(prime.p));
    // A class is split only while its modulus stays below the width, so a path holds
    // at most the primes whose smallest product does.
    std::vector<uint64_t> ascending;
    for (const WidePrimeTable& prime : t.primes) ascending.push_back(prime.p);
    std::sort(ascending.begin(), ascending.end());
    U256 product = 1;
    bool over = false;
    while (levels < ascending.size() && !over && product < width) product = product.mulSmall(ascending[levels++], &over);
    levels += 2;
    if (uint64_t(t.m) * t.period <= kTargetTable) {
      targets.resize(size_t(t.m) * t.period);
      for (uint32_t n = 0; n < t.period; ++n)
        for (uint32_t j = 0; j < t.m; ++j) targets[size_t(n) * t.m + j] = computeTarget(j, n);
    }
  }
  // (k - from) mod p_j for the k that p_j covers at exponent n (0-based).
  uint64_t target(uint32_t j, uint32_t n) const {
    return targets.empty() ? computeTarget(j, n) : targets[size_t(n) * tables.m + j];
  }
  uint64_t computeTarget(uint32_t j, uint32_t n) const {
    const WidePrimeTable& prime = tables.primes[j];
    return prime.sub(prime.residue[n % prime.d], fromMod[j]);
  }
  std::vector<uint64_t> targets;  // [n * m + j], where the table is small
  const WideTables& tables;
  const U256 from, width;
  std::vector<uint64_t> fromMod;
  size_t levels = 0;
};

// The number of x = s + M*c (c >= 0) below the width; kMany above kListBelow.
uint64_t countOf(const U256& s, bool sOver, const U256& M, bool mOver, const U256& width) {
  if (sOver || s >= width) return 0;
  const U256 rest = width - 1 - s;
  if (mOver || M > rest) return 1;
  bool over = false;
  const U256 most = M.mulSmall(kListBelow, &over);
  if (!over && most <= rest) return kMany;
  // rest / M is below kListBelow: an estimate in doubles, corrected.
  uint64_t q = uint64_t(std::max(0.0, std::floor(rest.toDouble() / M.toDouble())));
  q = std::min<uint64_t>(q, kListBelow);
  while (q > 0 && M.mulSmall(q) > rest) --q;
  while (q + 1 < kListBelow && M.mulSmall(q + 1) <= rest) ++q;
  return q + 1;
}

class WideWalk {
 public:
  WideWalk(const RangeTables& range, std::atomic<bool>& stop, const StopToken& ask)
      : r_(range),
        t_(range.tables),
        m_(t_.m),
        words_(t_.words),
        stop_(stop),
        ask_(ask),
        levels_(range.levels),
        bits_(range.levels * t_.words),
        sMod_(range.levels * t_.m),
        mMod_(range.levels * t_.m),
        mInv_(range.levels * t_.m),
        assigned_(t_.m),
        path_(range.levels),
        excluded_(t_.slots),
        periodMost_(t_.periods.size()),
        classCount_(t_.period + 1),
        excludedMass_(t_.period),
        scratch_(t_.words),
        xRes_(t_.m) {}

  void run(const std::vector<uint32_t>& prefix) {
    std::copy(prefix.begin(), prefix.end(), path_.begin());
    fixedDepth_ = prefix.size();
    root();
    descend(0);
  }
  std::vector<std::vector<uint32_t>> subtrees(const std::vector<uint32_t>& prefix) {
    std::vector<std::vector<uint32_t>> tasks;
    tasks_ = &tasks;
    taskDepth_ = prefix.size() + 1;
    run(prefix);
    tasks_ = nullptr;
    taskDepth_ = SIZE_MAX;
    return tasks;
  }

  std::vector<U256> covered;
  std::atomic<size_t>* total = nullptr;  // the k found by all threads, bounded by `most`
  size_t most = SIZE_MAX;
  bool tooMany = false;

 private:
  void found(const U256& k) {
    covered.push_back(k);
    if (total != nullptr && total->fetch_add(1, std::memory_order_relaxed) + 1 > most) tooMany = true, stop_ = true;
  }
  struct Level {
    U256 s, M = 1;
    uint64_t count = 0;
    uint64_t step = 0;  // s = parent's s + parent's M * step
    // A child by a prime up to this holds more than kListBelow k (set where the node
    // is split): M * p * (kListBelow + 1) stays below the width, in doubles with room.
    double manyUpTo = 0;
  };
  uint64_t* bitsAt(size_t level) { return &bits_[level * words_]; }
  uint64_t* sModAt(size_t level) { return &sMod_[level * m_]; }
  uint64_t* mModAt(size_t level) { return &mMod_[level * m_]; }
  uint64_t* mInvAt(size_t level) { return &mInv_[level * m_]; }
  bool poll() {
    if ((++polls_ & kPollMask) == 0 && tasks_ == nullptr && ask_.stopRequested()) stop_ = true;
    return stop_.load(std::memory_order_relaxed);
  }
  uint32_t slotOf(uint32_t n, uint32_t j) const { return t_.classStart[j] + n % t_.primes[j].d; }
  bool excluded(uint32_t n, uint32_t j) const { return excluded_[slotOf(n, j)] != 0; }
  // An exclusion at n bites on the other exponents of n's class modulo d_j alone, since
  // n itself is covered below every later sibling: a prime of period P has none.
  void exclude(uint32_t n, uint32_t j) {
    if (t_.primes[j].d == t_.period) return;
    const uint32_t slot = slotOf(n, j);
    ++excluded_[slot], exclusions_.push_back({slot, j});
  }
  void undoExclusions(size_t keep) {
    for (; exclusions_.size() > keep; exclusions_.pop_back()) --excluded_[exclusions_.back().first];
  }
  uint64_t childIndex(size_t level, uint32_t n, uint32_t j) {
    const WidePrimeTable& prime = t_.primes[j];
    return prime.mul(prime.sub(r_.target(j, n), sModAt(level)[j]), mInvAt(level)[j]);
  }

  void root() {
    undoExclusions(0);
    std::fill(assigned_.begin(), assigned_.end(), 0);
    std::fill_n(bits_.begin(), words_, 0);
    levels_[0] = Level{0, 1, countOf(0, false, 1, false, r_.width), 0};
    std::fill_n(sMod_.begin(), m_, 0);
    for (uint32_t j = 0; j < m_; ++j) mMod_[j] = 1 % t_.primes[j].p, mInv_[j] = 1 % t_.primes[j].p;
  }

  void descend(size_t level) {
    if (poll()) return;
    const Level& node = levels_[level];
    const bool complete = coversAll(bitsAt(level), t_.period);
    const bool leaf = complete || node.count <= kListBelow;
    if (tasks_ != nullptr && leaf) return tasks_->push_back({path_.begin(), path_.begin() + std::ptrdiff_t(level)});
    if (complete) return listClass(level);
    if (!coverable(level)) return;
    takeResidues(level);
    if (leaf) return testPlaces(level);
    if (tasks_ != nullptr && level == taskDepth_)
      return tasks_->push_back({path_.begin(), path_.begin() + std::ptrdiff_t(level)});
    const uint32_t n = branchExponent(level);
    levels_[level].manyUpTo = r_.width.toDouble() / (node.M.toDouble() * double(kListBelow + 1)) * (1 - 1e-9);
    const size_t keep = exclusions_.size();
    if (level < fixedDepth_) {
      const uint32_t j = path_[level];
      if (j >= m_ || assigned_[j]) throw pelund::Error("wide tree task with a bad prime index");
      for (uint32_t a = 0; a < j; ++a)
        if (!assigned_[a]) exclude(n, a);
      if (!excluded(n, j) && makeChild(level, n, j)) descend(level + 1);
      assigned_[j] = 0;
      return undoExclusions(keep);
    }
    for (uint32_t j = 0; j < m_ && !stop_.load(std::memory_order_relaxed); ++j) {
      if (assigned_[j]) continue;
      if (!excluded(n, j)) {
        if (makeChild(level, n, j)) descend(level + 1);
        assigned_[j] = 0;
      }
      exclude(n, j);
    }
    undoExclusions(keep);
  }

  // Gives prime j the residue with which it covers exponent n; false when the class
  // holds no k of the range.
  bool makeChild(size_t level, uint32_t n, uint32_t j) {
    const uint64_t i = childIndex(level, n, j);
    const Level& node = levels_[level];
    Level& next = levels_[level + 1];
    bool mulOver = false, addOver = false, mOver = false;
    next.s = U256::add(node.s, node.M.mulSmall(i, &mulOver), &addOver);
    next.M = node.M.mulSmall(t_.primes[j].p, &mOver);
    next.step = i;
    next.count = double(t_.primes[j].p) <= node.manyUpTo ? kMany
                                                         : countOf(next.s, mulOver || addOver, next.M, mOver, r_.width);
    if (next.count == 0) return false;
    uint64_t* bits = bitsAt(level + 1);
    std::copy_n(bitsAt(level), words_, bits);
    markClass(bits, n % t_.primes[j].d + 1, t_.primes[j].d, t_.period);
    assigned_[j] = 1;
    path_[level] = j;
    return true;
  }

  // The residues of s, M and 1/M modulo every free prime at `level`, from the parent's.
  void takeResidues(size_t level) {
    if (level == 0) return;
    const uint32_t j = path_[level - 1];
    const uint64_t i = levels_[level].step;
    const uint64_t *sMod = sModAt(level - 1), *mMod = mModAt(level - 1), *mInv = mInvAt(level - 1);
    uint64_t *nextS = sModAt(level), *nextM = mModAt(level), *nextInv = mInvAt(level);
    for (uint32_t q = 0; q < m_; ++q) {
      if (assigned_[q]) continue;
      const WidePrimeTable& prime = t_.primes[q];
      const uint64_t iq = prime.reduce(i);
      nextS[q] = prime.add(sMod[q], prime.mul(mMod[q], iq));
      nextInv[q] = prime.mul(mInv[q], t_.inverse(j, q));
      nextM[q] = prime.mul(mMod[q], t_.modOf(j, q));
    }
  }

  // The counting bound: whether the free primes, each covering the open exponents of
  // at most one class modulo its period, can cover every open exponent between them.
  bool coverable(size_t level) {
    const uint64_t* bits = bitsAt(level);
    uint32_t open = 0;
    for (uint32_t w = 0; w < words_; ++w) open += uint32_t(std::popcount(~bits[w]));
    open -= words_ * 64 - t_.period;
    open_ = open;
    // Every free prime covers one open exponent at least.
    if (m_ - level >= open) return true;
    std::fill(periodMost_.begin(), periodMost_.end(), kNone);
    uint32_t total = 0;
    for (uint32_t j = 0; j < m_; ++j) {
      if (assigned_[j]) continue;
      uint32_t& most = periodMost_[t_.periodIndex[j]];
      if (most == kNone) most = t_.primes[j].d == t_.period ? 1 : mostOpenInOneClass(bits, t_.primes[j].d);
      if ((total += most) >= open) return true;
    }
    return false;
  }
  uint32_t mostOpenInOneClass(const uint64_t* bits, uint32_t d) {
    std::fill_n(classCount_.begin(), d, 0);
    uint32_t most = 0;
    for (uint32_t w = 0; w < words_; ++w) {
      uint64_t open = ~bits[w];
      if (w + 1 == words_ && t_.period % 64 != 0) open &= (uint64_t(1) << (t_.period % 64)) - 1;
      for (; open != 0; open &= open - 1)
        most = std::max(most, ++classCount_[(w * 64 + uint32_t(std::countr_zero(open))) % d]);
    }
    return most;
  }

  // The open exponent to branch on: the first, or with exclusions on the path the one
  // that loses the most children to them (the sum of 1/p of the free primes excluded).
  uint32_t branchExponent(size_t level) {
    const uint64_t* bits = bitsAt(level);
    uint32_t first = kNone;
    for (uint32_t w = 0; w < words_ && first == kNone; ++w)
      if (~bits[w] != 0) first = w * 64 + uint32_t(std::countr_zero(~bits[w]));
    if (exclusions_.empty() || open_ == 1) return first;
    std::fill(excludedMass_.begin(), excludedMass_.end(), 0);
    for (const auto& [slot, j] : exclusions_) {
      if (assigned_[j]) continue;
      const uint32_t d = t_.primes[j].d;
      for (uint32_t n = slot - t_.classStart[j]; n < t_.period; n += d) excludedMass_[n] += t_.weight[j];
    }
    uint32_t best = first;
    uint64_t most = 0;
    for (uint32_t n = first; n < t_.period; ++n)
      if ((bits[n >> 6] >> (n & 63) & 1) == 0 && excludedMass_[n] > most) most = excludedMass_[n], best = n;
    return best;
  }

  // Lists every k of a class whose exponents are all covered, but the skipped ones.
  void listClass(size_t level) {
    const Level& node = levels_[level];
    uint64_t count = node.count;
    if (count == kMany) {
      const U256 places = U256::divmod(r_.width - 1 - node.s, node.M) + 1;
      if (!places.fitsU64()) throw pelund::Error("too many covered k in one part of the range");
      count = places.low64();
    }
    for (uint64_t c = 0; c < count; ++c) {
      if ((c & kPollMask) == kPollMask && poll()) return;
      const U256 k = r_.from + node.s + node.M.mulSmall(c);
      if (!t_.skipped(k)) found(k);
    }
  }

  // Tests each k of a small class from its residues modulo the free primes.
  void testPlaces(size_t level) {
    const Level& node = levels_[level];
    const uint64_t *sMod = sModAt(level), *mMod = mModAt(level);
    for (uint64_t c = 0; c < node.count; ++c) {
      for (uint32_t q = 0; q < m_; ++q) {
        if (assigned_[q]) continue;
        const WidePrimeTable& prime = t_.primes[q];
        xRes_[q] = c == 0 ? sMod[q] : prime.add(sMod[q], prime.mul(mMod[q], prime.reduce(c)));
      }
      if (!confirm(level)) continue;
      const U256 k = r_.from + node.s + node.M.mulSmall(c);
      if (!t_.skipped(k)) found(k);
    }
  }

  // Whether the k with residues xRes_ covers every exponent left open at `level`.
  bool confirm(size_t level) {
    std::copy_n(bitsAt(level), words_, scratch_.begin());
    for (uint32_t w = 0; w < words_; ++w) {
      for (;;) {
        uint64_t open = ~scratch_[w];
        if (w + 1 == words_ && t_.period % 64 != 0) open &= (uint64_t(1) << (t_.period % 64)) - 1;
        if (open == 0) break;
        const uint32_t n = w * 64 + uint32_t(std::countr_zero(open));
        uint32_t j = 0;
        while (j < m_ && (assigned_[j] || xRes_[j] != r_.target(j, n))) ++j;
        if (j == m_) return false;
        markClass(scratch_.data(), n % t_.primes[j].d + 1, t_.primes[j].d, t_.period);
      }
    }
    return true;
  }

  const RangeTables& r_;
  const WideTables& t_;
  const uint32_t m_, words_;
  std::atomic<bool>& stop_;
  const StopToken ask_;
  uint64_t polls_ = 0;
  std::vector<Level> levels_;
  std::vector<uint64_t> bits_, sMod_, mMod_, mInv_;
  std::vector<uint8_t> assigned_;
  std::vector<uint32_t> path_;
  size_t fixedDepth_ = 0, taskDepth_ = SIZE_MAX;
  uint32_t open_ = 0;  // open exponents at the node, as coverable() counted them
  std::vector<std::vector<uint32_t>>* tasks_ = nullptr;
  std::vector<uint16_t> excluded_;
  std::vector<std::pair<uint32_t, uint32_t>> exclusions_;
  std::vector<uint32_t> periodMost_, classCount_;
  std::vector<uint64_t> excludedMass_, scratch_, xRes_;
};

// The log of the modulus at the end of a path: subtrees of a smaller modulus hold more
// k and so, as a rule, more nodes.
double pathModulus(const WideTables& t, const std::vector<uint32_t>& path) {
  double logM = 0;
  for (uint32_t j : path) logM += std::log(double(t.primes[j].p));
  return logM;
}

// At least `wanted` subtrees where the tree has them, the widest split first.
std::vector<std::vector<uint32_t>> splitTree(const RangeTables& range, size_t wanted) {
  std::atomic<bool> stop{false};
  WideWalk walk(range, stop, StopToken{});
  using Path = std::vector<uint32_t>;
  std::vector<Path> tasks{{}}, done;
  auto wider = [&](const Path& a, const Path& b) { return pathModulus(range.tables, a) > pathModulus(range.tables, b); };
  while (!tasks.empty() && tasks.size() + done.size() < wanted) {
    std::pop_heap(tasks.begin(), tasks.end(), wider);
    Path widest = std::move(tasks.back());
    tasks.pop_back();
    std::vector<Path> children = walk.subtrees(widest);
    if (children.size() == 1 && children[0] == widest) {
      done.push_back(std::move(widest));
      continue;
    }
    for (Path& child : children) tasks.push_back(std::move(child)), std::push_heap(tasks.begin(), tasks.end(), wider);
  }
  tasks.insert(tasks.end(), done.begin(), done.end());
  std::stable_sort(tasks.begin(), tasks.end(), [&](const Path& a, const Path& b) { return wider(b, a); });
  return tasks;
}

}  // namespace

TreeResult wideTreeSearch(const WideTables& tables, const U256& from, const U256& to, int threads,
                          std::vector<U256>& covered, const StopToken& ask, size_t most) {
  if (tables.m < 2) return ask.stopRequested() ? TreeResult::stopped : TreeResult::done;
  const RangeTables range(tables, from, to);
  threads = threadsWorthStarting(std::max(threads, 1));
  const std::vector<std::vector<uint32_t>> tasks =
      threads > 1 ? splitTree(range, kTasksPerThread * size_t(threads)) : std::vector<std::vector<uint32_t>>{{}};
  std::atomic<bool> stop{false}, tooMany{false};
  std::atomic<size_t> next{0}, total{0};
  std::vector<std::vector<U256>> found(static_cast<size_t>(threads));
  runOnThreads(threads, [&](int t) {
    try {
      WideWalk walk(range, stop, ask);
      walk.total = &total, walk.most = most;
      for (size_t i = next++; i < tasks.size() && !stop; i = next++) walk.run(tasks[i]);
      if (walk.tooMany) tooMany = true;
      found[size_t(t)] = std::move(walk.covered);
    } catch (...) {
      stop = true;
      throw;
    }
  });
  const size_t start = covered.size();
  for (const std::vector<U256>& part : found) covered.insert(covered.end(), part.begin(), part.end());
  std::sort(covered.begin() + std::ptrdiff_t(start), covered.end());
  covered.erase(std::unique(covered.begin() + std::ptrdiff_t(start), covered.end()), covered.end());
  if (tooMany) return TreeResult::tooMany;
  return !stop && !ask.stopRequested() ? TreeResult::done : TreeResult::stopped;
}

TreeResult wideTreeInSubtrees(const WideTables& tables, WideTreeProgress& progress, int threads, const StopToken& ask,
                              size_t most, const std::function<void(const WideTreeProgress&)>& told) {
  const RangeTables range(tables, progress.from, progress.to);
  const std::vector<std::vector<uint32_t>> tasks =
      tables.m < 2 ? std::vector<std::vector<uint32_t>>{} : splitTree(range, size_t(progress.wanted));
  const size_t count = tasks.size();
  subtree_list::bindToList(progress, tasks, [](const std::vector<uint32_t>& task) -> const auto& { return task; });
  std::vector<std::vector<U256>> found(count);
  const std::unique_ptr<std::atomic<bool>[]> finished(new std::atomic<bool>[count]());
  std::atomic<size_t> next{size_t(progress.done)}, total{progress.covered.size()};
  std::atomic<bool> stop{false}, tooMany{false};
  // On the calling thread: takes in the subtrees done from progress.done on.
  const auto advance = [&] {
    return subtree_list::takeInFinished(progress.done, count, finished.get(), found, progress.covered);
  };
  auto lastTold = std::chrono::steady_clock::now();
  runOnThreads(threadsWorthStarting(std::max(threads, 1)), [&](int t) {
    try {
      WideWalk walk(range, stop, ask);
      walk.total = &total, walk.most = most;
      for (size_t i = next++; i < count && !stop; i = next++) {
        walk.covered.clear();
        walk.run(tasks[i]);
        if (stop) break;  // a subtree cut short is not done
        found[i] = std::move(walk.covered);
        walk.covered = {};
        finished[i].store(true, std::memory_order_release);
        if (t == 0 && std::chrono::steady_clock::now() - lastTold >= kProgressInterval && advance())
          told(progress), lastTold = std::chrono::steady_clock::now();
      }
      if (walk.tooMany) tooMany = true;
    } catch (...) {
      stop = true;
      throw;
    }
  });
  advance();
  if (tooMany) return TreeResult::tooMany;
  if (progress.done < count) {
    told(progress);
    return TreeResult::stopped;
  }
  return TreeResult::done;
}

}  // namespace pelund::wide
