// The residue-class tree (see residue_tree.h for the mathematics).
//
// Cost per node: one choice of uncovered exponent (a scan of the exponent order
// over a P-bit set) and, per child, two remainders, one modular inverse and one OR of
// the child's exponent class into a copy of the bit set. No node allocates: the bit
// sets of all levels live in one array, and the depth is at most the number of
// primes. A listed k costs one remainder per prime still free and a few scans.
#include "residue_tree.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <system_error>
#include <thread>

#include "modular.h"
#include "run.h"

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kPollMask = 4095;   // quitting() is polled every 4096 nodes or listed k
constexpr int64_t kListFactor = 16;    // a class is listed once it holds fewer than this many k
constexpr size_t kTasksPerThread = 256; // subtrees handed out per thread, at least
constexpr uint32_t kNone = UINT32_MAX;
constexpr u128 kProbeListLimit = 64;     // a probe confirms the k of smaller listed classes
constexpr double kProbeSeconds = 0.002;  // the time the cost estimate may take
constexpr int kMinProbes = 2;  // per batch
constexpr int kProbeBatches = 4;

// The tables of the tree: per prime its modulus, period and the residue of k that
// covers each exponent, in one array; exponents are counted from 0 here.
struct TreeTables {
  explicit TreeTables(const SieveTables& tables);
  const SieveTables& sieve;
  uint32_t period = 0;
  uint32_t words = 0;
  uint32_t m = 0;
  std::vector<uint32_t> p, d;
  std::vector<uint32_t> residueAt;  // [j * period + n]: k mod p_j that covers exponent n + 1
  std::vector<uint32_t> order;      // exponents 0..P-1, hardest first
};

TreeTables::TreeTables(const SieveTables& tables)
    : sieve(tables),
      period(uint32_t(tables.period)),
      words((uint32_t(tables.period) + 63) / 64),
      m(uint32_t(tables.primes.size())) {
  residueAt.resize(size_t(m) * period);
  for (uint32_t j = 0; j < m; ++j) {
    const SievePrime& sp = tables.primes[j];
    p.push_back(sp.p), d.push_back(sp.d);
    for (uint32_t n = 0; n < period; ++n) residueAt[size_t(j) * period + n] = sp.classResidue[n % sp.d];
  }
  for (uint32_t n : tables.classOrder) order.push_back(n - 1);
}

// The inverse of a modulo the prime p (0 < a < p), by the extended Euclidean algorithm.
uint32_t inverseMod(uint32_t a, uint32_t p) {
  int64_t t = 0, nextT = 1;
  uint32_t r = p, nextR = a;
  while (nextR != 0) {
    uint32_t q = r / nextR;
    int64_t t2 = t - int64_t(q) * nextT;
    t = nextT, nextT = t2;
    uint32_t r2 = r - q * nextR;
    r = nextR, nextR = r2;
  }
  return uint32_t(t < 0 ? t + p : t);
}

uint32_t modOf(u128 x, uint32_t p) { return (x >> 64) == 0 ? uint32_t(uint64_t(x) % p) : uint32_t(x % p); }

// The least k >= from with k = r (mod M).
u128 firstInClass(u128 r, u128 M, int64_t from) {
  const u128 f = u128(from);
  const u128 fm = f < M ? f : f % M;
  return f + (r >= fm ? r - fm : r + M - fm);
}

// Sums over random paths: the estimates of the nodes and listed k of the whole tree,
// and the nodes and k the paths themselves went through.
struct ProbeSums {
  double nodes = 0, listed = 0;
  double visited = 0, visitedK = 0;
  double nodeSeconds = 0, listSeconds = 0;  // spent on the paths' nodes and on their listed k
};

double secondsSince(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

// One thread's descent: the bit sets of the current path, the primes given a residue
// on it, and the covered k found.
class TreeWalk {
 public:
  TreeWalk(const TreeTables& tree, int64_t from, int64_t to, std::atomic<bool>& stop);

  // Descends from the root along `prefix` (fixed branches), then over every branch.
  void run(const std::vector<uint32_t>& prefix);
  // The paths to the children of the node at the end of `prefix`, or `prefix` itself
  // when that node is listed.
  std::vector<std::vector<uint32_t>> subtrees(const std::vector<uint32_t>& prefix);

  // Adds one random path's estimates of the size of the tree to `sums`.
  void probe(std::mt19937_64& random, ProbeSums& sums);

  std::vector<int64_t> covered;
  uint64_t nodes = 0;

 private:
  void descend(size_t level, u128 r, u128 M);
  bool child(u128 r, u128 M, uint32_t n, uint32_t j, u128& childR, u128& childM) const;
  void assign(size_t level, uint32_t n, uint32_t j);
  void branch(size_t level, u128 r, u128 M, uint32_t n, uint32_t j);
  u128 classSize(u128 r, u128 M) const;
  void listClass(u128 r, u128 M, const uint64_t* bits, bool complete);
  bool confirm(int64_t k, const uint64_t* bits);
  bool skipped(int64_t k) const;
  uint32_t firstUncovered(const uint64_t* bits) const;
  bool poll() {
    if ((++nodes & kPollMask) == 0 && quitting()) stop_ = true;
    return stop_.load(std::memory_order_relaxed);
  }

  const TreeTables& tree_;
  const int64_t from_, to_;
  const u128 listLimit_;  // a class with a larger modulus is listed
  std::atomic<bool>& stop_;
  std::vector<uint64_t> bits_;  // the exponents covered at each level of the path
  std::vector<uint8_t> assigned_;
  std::vector<uint32_t> path_;
  size_t fixedDepth_ = 0;
  size_t taskDepth_ = SIZE_MAX;
  std::vector<std::vector<uint32_t>>* tasks_ = nullptr;
  std::vector<uint64_t> scratch_;
  std::vector<uint32_t> kResidue_;
  std::vector<u128> childR_, childM_;  // the children of a probed node
  std::vector<uint32_t> childPrime_;
  std::vector<double> childScore_;
};

TreeWalk::TreeWalk(const TreeTables& tree, int64_t from, int64_t to, std::atomic<bool>& stop)
    : tree_(tree),
      from_(from),
      to_(to),
      listLimit_(u128(uint64_t(to - from) + 1) / kListFactor),
      stop_(stop),
      bits_(size_t(tree.m + 2) * tree.words),
      assigned_(tree.m),
      path_(tree.m + 1),
      scratch_(tree.words),
      kResidue_(tree.m),
      childR_(tree.m),
      childM_(tree.m),
      childPrime_(tree.m),
      childScore_(tree.m) {}

void TreeWalk::run(const std::vector<uint32_t>& prefix) {
  std::copy(prefix.begin(), prefix.end(), path_.begin());
  fixedDepth_ = prefix.size();
  std::fill(assigned_.begin(), assigned_.end(), 0);
  std::fill_n(bits_.begin(), tree_.words, 0);
  descend(0, 0, 1);
}

std::vector<std::vector<uint32_t>> TreeWalk::subtrees(const std::vector<uint32_t>& prefix) {
  std::vector<std::vector<uint32_t>> tasks;
  tasks_ = &tasks;
  taskDepth_ = prefix.size() + 1;
  run(prefix);
  taskDepth_ = SIZE_MAX;
  tasks_ = nullptr;
  return tasks;
}

uint32_t TreeWalk::firstUncovered(const uint64_t* bits) const {
  for (uint32_t n : tree_.order)
    if ((bits[n >> 6] >> (n & 63) & 1) == 0) return n;
  return kNone;
}

void TreeWalk::descend(size_t level, u128 r, u128 M) {
  if (poll()) return;
  const uint64_t* bits = &bits_[level * tree_.words];
  const uint32_t n = firstUncovered(bits);
  if (tasks_ != nullptr && (level == taskDepth_ || n == kNone || M > listLimit_)) {
    tasks_->emplace_back(path_.begin(), path_.begin() + std::ptrdiff_t(level));
    return;
  }
  if (n == kNone || M > listLimit_) return listClass(r, M, bits, n == kNone);
  if (level < fixedDepth_) return branch(level, r, M, n, path_[level]);
  for (uint32_t j = 0; j < tree_.m && !stop_.load(std::memory_order_relaxed); ++j)
    if (!assigned_[j]) branch(level, r, M, n, j);
}

// The class (childR mod childM) of r mod M in which prime j covers exponent n;
// whether it holds a k of the range.
bool TreeWalk::child(u128 r, u128 M, uint32_t n, uint32_t j, u128& childR, u128& childM) const {
  const uint32_t p = tree_.p[j];
  const uint32_t t = tree_.residueAt[size_t(j) * tree_.period + n];
  const uint32_t rp = modOf(r, p);
  const uint32_t step = mulMod(t >= rp ? t - rp : t + p - rp, inverseMod(modOf(M, p), p), p);
  childR = r + M * step, childM = M * p;
  return firstInClass(childR, childM, from_) <= u128(to_);
}

// Gives prime j its residue for exponent n at `level`: its exponent class joins the
// covered set of the next level.
void TreeWalk::assign(size_t level, uint32_t n, uint32_t j) {
  uint64_t* childBits = &bits_[(level + 1) * tree_.words];
  std::copy_n(&bits_[level * tree_.words], tree_.words, childBits);
  markExponentClass(childBits, n % tree_.d[j] + 1, tree_.d[j], tree_.period);
  assigned_[j] = 1;
  path_[level] = j;
}

void TreeWalk::branch(size_t level, u128 r, u128 M, uint32_t n, uint32_t j) {
  u128 childR, childM;
  if (!child(r, M, n, j, childR, childM)) return;
  assign(level, n, j);
  descend(level + 1, childR, childM);
  assigned_[j] = 0;
}

// The k of the class r mod M in the range.
u128 TreeWalk::classSize(u128 r, u128 M) const {
  const u128 first = firstInClass(r, M, from_);
  return first > u128(to_) ? 0 : (u128(to_) - first) / M + 1;
}

// One random path down the tree, a child taken with a probability that falls with
// its prime as 1/sqrt(p) (wider classes, larger subtrees, are taken more often).
// Adds to `nodes` and `listed` the path's estimates (its weights, the inverse
// probabilities) of the nodes of the tree and of the k its listed classes hold; the
// k of a listed class are also confirmed, as the search would.
void TreeWalk::probe(std::mt19937_64& random, ProbeSums& sums) {
  std::fill(assigned_.begin(), assigned_.end(), 0);
  std::fill_n(bits_.begin(), tree_.words, 0);
  u128 r = 0, M = 1;
  double weight = 1;
  for (size_t level = 0;; ++level) {
    sums.nodes += weight, ++sums.visited;
    const uint64_t* bits = &bits_[level * tree_.words];
    const uint32_t n = firstUncovered(bits);
    const auto begin = std::chrono::steady_clock::now();
    if (n == kNone || M > listLimit_) {
      const u128 size = classSize(r, M);
      sums.listed += weight * double(size);
      if (size > kProbeListLimit) return;
      listClass(r, M, bits, n == kNone);
      sums.visitedK += double(size), sums.listSeconds += secondsSince(begin);
      return;
    }
    double total = 0;
    size_t count = 0;
    for (uint32_t j = 0; j < tree_.m; ++j)
      if (!assigned_[j] && child(r, M, n, j, childR_[count], childM_[count])) {
        childPrime_[count] = j, childScore_[count] = 1 / std::sqrt(double(tree_.p[j]));
        total += childScore_[count++];
      }
    sums.nodeSeconds += secondsSince(begin);
    if (count == 0) return;
    double pick = std::uniform_real_distribution<double>(0, total)(random);
    size_t i = 0;
    while (i + 1 < count && (pick -= childScore_[i]) > 0) ++i;
    weight *= total / childScore_[i];
    assign(level, n, childPrime_[i]);
    r = childR_[i], M = childM_[i];
  }
}

void TreeWalk::listClass(u128 r, u128 M, const uint64_t* bits, bool complete) {
  for (u128 k = firstInClass(r, M, from_); k <= u128(to_); k += M) {
    if (poll()) return;
    const int64_t kk = int64_t(k);
    if (!skipped(kk) && (complete || confirm(kk, bits))) covered.push_back(kk);
  }
}

bool TreeWalk::skipped(int64_t k) const {
  for (const SievePrime& skip : tree_.sieve.skips)
    if (uint64_t(k) % skip.p == skip.classResidue[0]) return true;
  return false;
}

// Whether k covers every exponent, given the exponents `bits` that the primes on the
// path cover for it: each uncovered exponent, hardest first, needs a free prime.
bool TreeWalk::confirm(int64_t k, const uint64_t* bits) {
  for (uint32_t j = 0; j < tree_.m; ++j)
    if (!assigned_[j]) kResidue_[j] = uint32_t(uint64_t(k) % tree_.p[j]);
  std::copy_n(bits, tree_.words, scratch_.begin());
  for (uint32_t n = firstUncovered(scratch_.data()); n != kNone; n = firstUncovered(scratch_.data())) {
    uint32_t j = 0;
    while (j < tree_.m && (assigned_[j] || kResidue_[j] != tree_.residueAt[size_t(j) * tree_.period + n])) ++j;
    if (j == tree_.m) return false;
    markExponentClass(scratch_.data(), n % tree_.d[j] + 1, tree_.d[j], tree_.period);
  }
  return true;
}

// The modulus of the class at the end of a path, roughly: subtrees of a smaller
// modulus hold more k and so, as a rule, more nodes.
double pathModulus(const TreeTables& tree, const std::vector<uint32_t>& path) {
  double M = 1;
  for (uint32_t j : path) M *= tree.p[j];
  return M;
}

// Subtrees enough to keep every thread busy: the widest subtree (smallest modulus) is
// split into its children until there are enough, so that no one subtree holds most
// of the work; handed out widest first.
std::vector<std::vector<uint32_t>> splitTree(const TreeTables& tree, TreeWalk& walk, int threads) {
  std::vector<std::vector<uint32_t>> tasks{{}};
  std::vector<std::vector<uint32_t>> done;  // leaves: listed classes, not split further
  auto wider = [&](const auto& a, const auto& b) { return pathModulus(tree, a) > pathModulus(tree, b); };
  while (!tasks.empty() && tasks.size() + done.size() < kTasksPerThread * size_t(threads)) {
    std::pop_heap(tasks.begin(), tasks.end(), wider);
    std::vector<uint32_t> widest = std::move(tasks.back());
    tasks.pop_back();
    std::vector<std::vector<uint32_t>> children = walk.subtrees(widest);
    if (children.size() == 1 && children[0].size() == widest.size()) {
      done.push_back(std::move(widest));
      continue;
    }
    for (std::vector<uint32_t>& child : children) {
      tasks.push_back(std::move(child));
      std::push_heap(tasks.begin(), tasks.end(), wider);
    }
  }
  tasks.insert(tasks.end(), done.begin(), done.end());
  std::stable_sort(tasks.begin(), tasks.end(), [&](const auto& a, const auto& b) { return wider(b, a); });
  return tasks;
}

}  // namespace

bool residueSearch(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered) {
  uint64_t nodes = 0;
  return residueSearch(tables, from, to, threads, covered, nodes);
}

bool residueSearch(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                   uint64_t& nodes) {
  if (!tables.searchable) return !quitting();
  const TreeTables tree(tables);
  std::atomic<bool> stop{false};
  threads = std::max(threads, 1);
  std::vector<std::vector<uint32_t>> tasks{{}};
  if (threads > 1) {
    TreeWalk splitter(tree, from, to, stop);
    tasks = splitTree(tree, splitter, threads);
  }
  std::atomic<size_t> next{0};
  std::vector<std::vector<int64_t>> found(static_cast<size_t>(threads));
  std::atomic<uint64_t> visited{0};
  auto work = [&](int t) {
    TreeWalk walk(tree, from, to, stop);
    for (size_t i = next++; i < tasks.size() && !stop; i = next++) walk.run(tasks[i]);
    found[size_t(t)] = std::move(walk.covered);
    visited += walk.nodes;
  };
  std::vector<std::thread> workers;
  try {
    for (int t = 1; t < threads; ++t) workers.emplace_back(work, t);
  } catch (const std::system_error&) {
  }  // fewer threads: the others take the remaining subtrees
  work(0);
  for (std::thread& worker : workers) worker.join();
  nodes += visited;
  const size_t start = covered.size();
  for (const std::vector<int64_t>& part : found) covered.insert(covered.end(), part.begin(), part.end());
  std::sort(covered.begin() + std::ptrdiff_t(start), covered.end());
  covered.erase(std::unique(covered.begin() + std::ptrdiff_t(start), covered.end()), covered.end());
  return !stop && !quitting();
}

// Knuth's estimate of the size of a search tree from random paths, here with unequal
// probabilities; the seconds per node are measured on the paths themselves.
double residueCostEstimate(const SieveTables& tables, int64_t from, int64_t to) {
  if (!tables.searchable) return 0;
  const TreeTables tree(tables);
  std::atomic<bool> stop{false};
  TreeWalk walk(tree, from, to, stop);
  std::mt19937_64 random(uint64_t(from) * 0x9e3779b97f4a7c15u ^ uint64_t(to));
  // The counts are summed over all paths; the seconds per node and per listed k are
  // the least of a few batches, since a thread preempted only ever looks slower.
  ProbeSums sums;
  int probes = 0;
  double perNode = INFINITY, perK = INFINITY;
  for (int batch = 0; batch < kProbeBatches; ++batch) {
    ProbeSums part;
    int partProbes = 0;
    const auto begin = std::chrono::steady_clock::now();
    do walk.probe(random, part);
    while (++partProbes < kMinProbes || secondsSince(begin) < kProbeSeconds / kProbeBatches);
    perNode = std::min(perNode, part.nodeSeconds / part.visited);
    if (part.visitedK > 0) perK = std::min(perK, part.listSeconds / part.visitedK);
    sums.nodes += part.nodes, sums.listed += part.listed, probes += partProbes;
  }
  if (perK == INFINITY) perK = perNode / 4;
  return (sums.nodes * perNode + sums.listed * perK) / probes;
}

// The least of two blocks' seconds: a thread preempted only ever looks slower.
double sieveCostPerK(const SieveTables& tables, int64_t from) {
  BlockSieve sieve(tables);
  std::vector<int64_t> covered;
  const int64_t span = BlockSieve::kBlockSpan;
  from = std::min<int64_t>(from, 1000000000000000000 - 2 * span);
  double least = INFINITY;
  for (int64_t start = from; start < from + 2 * span; start += span) {
    const auto begin = std::chrono::steady_clock::now();
    sieve.sieve(start, start + span - 1, covered);
    least = std::min(least, secondsSince(begin));
  }
  return least / double(span);
}
