// The residue-class tree (see residue_tree.h for the mathematics).
//
// A node is the class x = s (mod M) of x = k - from, with s < M, and the number of k
// of the range in it. Each level of the path keeps, for every free prime, s mod p,
// 1/M mod p and (where the node is split) M mod p, so that the child in which prime j
// covers exponent n, x = s + M*i with i = (t - s) / M (mod p_j), costs one product
// and one Barrett remainder, and is empty exactly when i is not below the count of the
// class. Going down to a child updates those residues with one product each (the
// inverses of the primes modulo each other are tabled). No node allocates: the levels
// of the path live in arrays sized once, for the deepest path the width admits.
//
// What keeps the tree small, as measured per depth by bench/residue_bench:
// - exclusions: at a node the children are tried in the order of the primes, and the
//   k that an earlier child's prime covers at the node's exponent all lie in that
//   child's subtree; so below a later sibling that prime's residue is excluded, its
//   child at any exponent of the same class is never made and its hits there are left
//   out of the sieve. The children then split the k covered at the exponent instead
//   of counting those that several primes cover once per prime;
// - the branch: of the first open exponents, the one whose children hold the fewest k
//   (the sum of 1/p over the free primes not excluded there), so excluded primes thin
//   the tree most where they gather;
// - the counting bound: a class ends when its free primes, each covering the open
//   exponents of one class modulo its period at most, cannot cover every open one;
// - classes of a few thousand k are not split but sieved over their places, a
//   bitmap per exponent with one progression per free prime, which costs far less
//   than the small subtrees it replaces.
#include "residue_tree.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>

#include "elapsed.h"
#include "modular.h"
#include "worker_threads.h"

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kPollMask = 4095;     // a stop is polled every 4096 nodes or listed k
constexpr uint64_t kListBelow = 4096;    // a class of at most this many k is sieved (or 256 per prime, if more)
constexpr uint64_t kListPerPrime = 256;
constexpr uint64_t kSurvivorCost = 256;  // a survivor's confirmation costs about as much as sieving 256 places
constexpr uint64_t kStepPerPrime = 16;   // and a sieved exponent 16 places per free prime beyond its places
constexpr size_t kTasksPerThread = 256;  // subtrees handed out per thread, at least
constexpr size_t kPairTableLimit = 2048; // primes up to which their inverses modulo each other are tabled
constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kBranchChoices = 5040; // open exponents weighed for the branch: all of them
constexpr uint64_t kProbeListLimit = 1 << 16;  // a probe sieves or lists the k of smaller leaves
constexpr double kProbeSeconds = 0.002;   // the time the cost estimate may take
constexpr int kMinProbes = 2;             // per batch
constexpr int kProbeBatches = 4;


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

// Remainders modulo one prime p < 2^32 of numbers below 2^62 (products of two residues
// plus a residue) by Barrett's method: a product with floor((2^64 - 1) / p) gives the
// quotient or one less, so one subtraction finishes it, without a division.
struct Reducer {
  uint32_t p = 0;
  uint64_t mu = 0;
  explicit Reducer(uint32_t prime) : p(prime), mu(UINT64_MAX / prime) {}
  uint32_t operator()(uint64_t x) const {
    const uint64_t r = x - uint64_t((u128(x) * mu) >> 64) * p;
    return uint32_t(r >= p ? r - p : r);
  }
};

struct Knobs {
  bool bound = true;
  uint64_t listBelow = 0;  // 0: the default for the count of primes
  uint32_t choices = kBranchChoices;
  bool plainBranch = false;  // the branch weighed by summing every free prime, for the tests
};

// A node costs more with more primes (a residue, a bound term and a child test for
// each), a sieved k far less: long lists of primes sieve larger classes.
Knobs withDefaults(Knobs knobs, size_t primes) {
  if (knobs.listBelow == 0) knobs.listBelow = std::max<uint64_t>(kListBelow, kListPerPrime * primes);
  return knobs;
}

// The bit counts of the counting bound and of the sieved classes get a popcnt clone
// where the object format can pick it at load time (ELF ifunc), as the block sieve's
// do; elsewhere the portable code alone.
#if defined(__GNUC__) && defined(__ELF__) && defined(__x86_64__)
#define PELUND_TREE_POPCNT __attribute__((target_clones("popcnt", "default")))
#else
#define PELUND_TREE_POPCNT
#endif

// The exponents not in `bits`, counted.
PELUND_TREE_POPCNT uint32_t openCount(const uint64_t* bits, uint32_t words, uint32_t period) {
  uint32_t covered = 0;
  for (uint32_t w = 0; w < words; ++w) covered += uint32_t(std::popcount(bits[w]));
  return period - covered;
}

// The most exponents not in `bits` in one of `classes` masks (stops at `full`).
PELUND_TREE_POPCNT uint32_t mostOpenOfMasks(const uint64_t* mask, uint32_t classes, const uint64_t* bits,
                                             uint32_t words, uint32_t full) {
  uint32_t most = 0;
  for (uint32_t e = 0; e < classes && most < full; ++e, mask += words) {
    uint32_t open = 0;
    for (uint32_t w = 0; w < words; ++w) open += uint32_t(std::popcount(mask[w] & ~bits[w]));
    most = std::max(most, open);
  }
  return most;
}

// alive &= hits over `words` words; the places left.
PELUND_TREE_POPCNT uint64_t keepHits(uint64_t* alive, const uint64_t* hits, size_t words) {
  uint64_t left = 0;
  for (size_t w = 0; w < words; ++w) left += uint64_t(std::popcount(alive[w] &= hits[w]));
  return left;
}

// The tables of the tree for one range: per prime its modulus and period, the x that
// it covers at each exponent, the inverses of the primes modulo each other, and the
// classes of exponents of each period for the counting bound. Exponents count from 0.
struct TreeTables {
  TreeTables(const SieveTables& tables, int64_t from, int64_t to, const Knobs& knobs = {});
  uint32_t inverse(uint32_t i, uint32_t j) const {
    return pairInverse.empty() ? inverseMod(p[i] % p[j], p[j]) : pairInverse[size_t(i) * m + j];
  }
  const SieveTables& sieve;
  const Knobs knobs;
  const uint32_t period, words, m;
  const int64_t from;
  const uint64_t width;  // k in the range
  uint32_t pMax = 0;
  size_t levels = 0;  // nodes on the longest path
  std::vector<uint32_t> p, d;
  std::vector<uint64_t> weight;       // 2^44/p per prime, rounded: 1/p in sums that are exact
  std::vector<Reducer> mod;           // per prime
  std::vector<uint32_t> residueAt;    // [n * m + j]: (k - from) mod p_j for the k that p_j covers at exponent n
  std::vector<uint16_t> classAt;      // [n * m + j]: n mod d_j
  uint32_t slotOf(uint32_t n, uint32_t j) const { return classStart[j] + classAt[size_t(n) * m + j]; }
  std::vector<uint32_t> classStart;   // per prime: the place of its first exponent class, d_j places each
  std::vector<uint32_t> pairInverse;  // [i * m + j]: 1 / p_i mod p_j
  std::vector<uint32_t> order;        // exponents 0..P-1, hardest first
  std::vector<uint32_t> periods;      // the distinct periods
  std::vector<uint32_t> periodIndex;  // per prime, its period's place in `periods`
  std::vector<uint64_t> classMasks;   // periods up to 64: the exponents of each class, `words` words each
  std::vector<uint32_t> maskStart;    // per period, its first mask in classMasks (kNone above 64)
};

void tablePairInverses(TreeTables& t) {
  if (t.m > kPairTableLimit) return;
  t.pairInverse.assign(size_t(t.m) * t.m, 0);
  std::vector<uint32_t> others, prefix;
  for (uint32_t j = 0; j < t.m; ++j) {  // Montgomery's batch inversion modulo p_j
    const uint32_t pj = t.p[j];
    others.clear(), prefix.clear();
    uint32_t product = 1;
    for (uint32_t i = 0; i < t.m; ++i)
      if (i != j) others.push_back(i), prefix.push_back(product = mulMod(product, t.p[i] % pj, pj));
    uint32_t inv = inverseMod(product, pj);  // 1 / (product of all the others)
    for (size_t at = others.size(); at-- > 0;) {
      const uint32_t i = others[at];
      t.pairInverse[size_t(i) * t.m + j] = at == 0 ? inv : mulMod(inv, prefix[at - 1], pj);
      inv = mulMod(inv, t.p[i] % pj, pj);
    }
  }
}

void tableClasses(TreeTables& t) {
  for (uint32_t j = 0; j < t.m; ++j) {
    auto at = std::find(t.periods.begin(), t.periods.end(), t.d[j]);
    if (at == t.periods.end()) at = t.periods.insert(at, t.d[j]);
    t.periodIndex.push_back(uint32_t(at - t.periods.begin()));
  }
  for (uint32_t dd : t.periods) {
    t.maskStart.push_back(dd > 64 ? kNone : uint32_t(t.classMasks.size()));
    if (dd > 64) continue;
    const size_t start = t.classMasks.size();
    t.classMasks.resize(start + size_t(dd) * t.words);
    for (uint32_t e = 0; e < dd; ++e) markExponentClass(&t.classMasks[start + size_t(e) * t.words], e + 1, dd, t.period);
  }
}

TreeTables::TreeTables(const SieveTables& tables, int64_t from_, int64_t to, const Knobs& knobs_)
    : sieve(tables),
      knobs(withDefaults(knobs_, tables.primes.size())),
      period(uint32_t(tables.period)),
      words((uint32_t(tables.period) + 63) / 64),
      m(uint32_t(tables.primes.size())),
      from(from_),
      width(uint64_t(to - from_) + 1) {
  residueAt.resize(size_t(m) * period);
  classAt.resize(size_t(m) * period);
  uint32_t slots = 0;
  for (uint32_t j = 0; j < m; ++j) {
    const SievePrime& sp = tables.primes[j];
    classStart.push_back(slots), slots += sp.d, weight.push_back(((uint64_t(1) << 44) + sp.p / 2) / sp.p);
    for (uint32_t n = 0; n < period; ++n) classAt[size_t(n) * m + j] = uint16_t(n % sp.d);
    p.push_back(sp.p), d.push_back(sp.d), mod.emplace_back(sp.p), pMax = std::max(pMax, sp.p);
    const uint32_t fromMod = uint32_t(uint64_t(from) % sp.p);
    for (uint32_t n = 0; n < period; ++n) {
      const uint32_t t = sp.classResidue[n % sp.d];
      residueAt[size_t(n) * m + j] = t >= fromMod ? t - fromMod : t + sp.p - fromMod;
    }
  }
  for (uint32_t n : tables.classOrder) order.push_back(n - 1);
  // A class is split only while it holds two k or more, so its modulus stays below the
  // width: a path holds at most the primes whose smallest product stays below it.
  std::vector<uint32_t> ascending = p;
  std::sort(ascending.begin(), ascending.end());
  u128 product = 1;
  while (levels < m && product < width) product *= ascending[levels++];
  levels += 2;
  tablePairInverses(*this);
  tableClasses(*this);
}

// The least x >= 0 of the class s mod M and the count of x below the width.
uint64_t countOf(u128 s, u128 M, uint64_t width) {
  if (s >= width) return 0;
  const uint64_t rest = width - 1 - uint64_t(s);
  return M > rest ? 1 : rest / uint64_t(M) + 1;
}

// Sums over random paths: the estimates of the nodes and listed k of the whole tree,
// and the nodes and k the paths themselves went through.
struct ProbeSums {
  double nodes = 0, listed = 0;
  double visited = 0, visitedK = 0;
  double nodeSeconds = 0, listSeconds = 0;  // spent on the paths' nodes and on their listed k
};

// Counts of nothing: the search proper.
struct NoCounts {
  void node(size_t) {}
  void bounded(size_t) {}
  void tests(size_t, uint64_t) {}
  void listed(size_t, uint64_t) {}
  void confirmed(size_t) {}
  void addTo(std::vector<TreeLevelCounts>&) const {}
};

// Counts per level, for the measurements.
struct LevelCounts {
  std::vector<TreeLevelCounts> levels;
  TreeLevelCounts& at(size_t level) {
    if (levels.size() <= level) levels.resize(level + 1);
    return levels[level];
  }
  void node(size_t level) { ++at(level).nodes; }
  void bounded(size_t level) { ++at(level).bounded; }
  void tests(size_t level, uint64_t count) { at(level).childTests += count; }
  void listed(size_t level, uint64_t k) { ++at(level).listedClasses, at(level).listedK += k; }
  void confirmed(size_t level) { ++at(level).confirmed; }
  void addTo(std::vector<TreeLevelCounts>& sum) const {
    if (sum.size() < levels.size()) sum.resize(levels.size());
    for (size_t l = 0; l < levels.size(); ++l) {
      TreeLevelCounts& s = sum[l];
      const TreeLevelCounts& c = levels[l];
      s.nodes += c.nodes, s.bounded += c.bounded, s.childTests += c.childTests;
      s.listedClasses += c.listedClasses, s.listedK += c.listedK, s.confirmed += c.confirmed;
    }
  }
};

// One thread's descent: the levels of the current path, the primes given a residue
// on it, and the covered k found.
template <class Counts>
class TreeWalk {
 public:
  TreeWalk(const TreeTables& tree, std::atomic<bool>& stop, StopToken ask = {});

  // Descends from the root along `prefix` (fixed branches), then over every branch.
  void run(const std::vector<uint32_t>& prefix);
  // The paths to the children of the node at the end of `prefix`, or `prefix` itself
  // when that node is listed; none when it is empty or cannot be completed.
  std::vector<TreeTask> subtrees(const std::vector<uint32_t>& prefix);

  // Adds one random path's estimates of the size of the tree to `sums`.
  void probe(std::mt19937_64& random, ProbeSums& sums);

  std::vector<int64_t> covered;
  Counts counts;

 private:
  struct Level {
    u128 s = 0, M = 1;
    uint64_t count = 0;  // k of the range in the class
    uint32_t step = 0;   // s = parent's s + parent's M * step
  };
  uint64_t* bitsAt(size_t level) { return &bits_[level * tree_.words]; }
  uint32_t* sModAt(size_t level) { return &sMod_[level * tree_.m]; }
  uint32_t* mModAt(size_t level) { return &mMod_[level * tree_.m]; }
  uint32_t* mInvAt(size_t level) { return &mInv_[level * tree_.m]; }
  void root();
  void descend(size_t level);
  bool leaf(size_t level, bool& complete);
  uint32_t childIndex(size_t level, uint32_t n, uint32_t j) {
    const uint32_t pj = tree_.p[j], t = tree_.residueAt[size_t(n) * tree_.m + j], s = sModAt(level)[j];
    return tree_.mod[j](uint64_t(t >= s ? t - s : t + pj - s) * mInvAt(level)[j]);
  }
  void makeChild(size_t level, uint32_t n, uint32_t j, uint32_t i);
  void takeResidues(size_t level, bool withModulus);
  bool coverable(size_t level);
  uint32_t branchExponent(size_t level);
  void sumExcludedMass();
  uint32_t mostOf(const uint64_t* bits, uint32_t j) {
    // With exclusions the classes left are counted where masks make that cheap; the
    // others keep the bound of their period, which is no smaller and so still sound.
    if (excludedOf_[j] != 0 && tree_.maskStart[tree_.periodIndex[j]] != kNone)
      return mostOpenInOneClass(bits, tree_.periodIndex[j], j);
    uint32_t& most = periodMost_[tree_.periodIndex[j]];
    return most != kNone ? most : most = mostOpenInOneClass(bits, tree_.periodIndex[j], kNone);
  }
  bool excluded(uint32_t n, uint32_t j) const { return excluded_[tree_.slotOf(n, j)] != 0; }
  void exclude(uint32_t n, uint32_t j) {
    const uint32_t slot = tree_.slotOf(n, j);
    ++excluded_[slot], ++excludedOf_[j], exclusions_.push_back({slot, j});
  }
  void undoExclusions(size_t keep) {
    for (; exclusions_.size() > keep; exclusions_.pop_back())
      --excluded_[exclusions_.back().first], --excludedOf_[exclusions_.back().second];
  }
  uint32_t mostOpenInOneClass(const uint64_t* bits, uint32_t periodIndex, uint32_t prime);
  void listClass(size_t level);
  void sieveClass(size_t level);
  void confirmSurvivor(size_t level, uint64_t c);
  bool confirm(size_t level);
  bool skipped(int64_t k) const;
  size_t firstOpen(const uint64_t* bits, size_t from) const;
  bool poll() {
    if ((++polls_ & kPollMask) == 0 && tasks_ == nullptr && ask_.stopRequested()) stop_ = true;
    return stop_.load(std::memory_order_relaxed);
  }

  const TreeTables& tree_;
  std::atomic<bool>& stop_;  // shared by the threads of one search
  const StopToken ask_;      // every poll for a stop of the caller's goes through here
  uint64_t polls_ = 0;
  std::vector<Level> levels_;
  std::vector<uint64_t> bits_;  // the exponents covered at each level of the path
  std::vector<uint32_t> sMod_, mMod_, mInv_;
  std::vector<uint8_t> assigned_;
  std::vector<uint32_t> path_;
  size_t fixedDepth_ = 0;
  size_t taskDepth_ = SIZE_MAX;
  std::vector<TreeTask>* tasks_ = nullptr;
  std::vector<uint32_t> periodMost_;  // per period, the most open exponents in one class, at this node
  // Residues excluded on the path: a prime tried before its siblings at a node covers
  // that node's exponent in its own subtree, so theirs need no k it covers there.
  std::vector<uint16_t> excluded_;    // per slot (prime and exponent class), how often excluded
  std::vector<uint32_t> excludedOf_;  // per prime, its exclusions
  std::vector<std::pair<uint32_t, uint32_t>> exclusions_;  // (slot, prime) excluded, in order, to be undone
  std::vector<uint16_t> classCount_;
  std::vector<uint64_t> excludedMass_;  // per exponent, the weights of the free primes excluded there
  std::vector<uint32_t> slotMark_;      // per slot, the stamp of the last sum that counted it
  uint32_t stamp_ = 0;
  std::vector<uint64_t> scratch_;
  std::vector<uint32_t> xRes_;  // a listed k's x mod each free prime
  std::vector<uint64_t> alive_, hits_;  // places of a sieved class
  std::vector<uint32_t> childPrime_, childIndex_;  // the children of a probed node
  std::vector<double> childScore_;
};

template <class Counts>
TreeWalk<Counts>::TreeWalk(const TreeTables& tree, std::atomic<bool>& stop, StopToken ask)
    : tree_(tree),
      stop_(stop),
      ask_(ask),
      levels_(tree.levels),
      bits_(tree.levels * tree.words),
      sMod_(tree.levels * tree.m),
      mMod_(tree.levels * tree.m),
      mInv_(tree.levels * tree.m),
      assigned_(tree.m),
      path_(tree.levels),
      periodMost_(tree.periods.size()),
      excluded_(tree.classStart.empty() ? 0 : tree.classStart.back() + tree.d.back()),
      excludedOf_(tree.m),
      classCount_(tree.periods.empty() ? 0 : *std::max_element(tree.periods.begin(), tree.periods.end())),
      excludedMass_(tree.period),
      slotMark_(excluded_.size()),
      scratch_(tree.words),
      xRes_(tree.m),
      alive_(tree.knobs.listBelow / 64 + 1),
      hits_(tree.knobs.listBelow / 64 + 1),
      childPrime_(tree.m),
      childIndex_(tree.m),
      childScore_(tree.m) {}

template <class Counts>
void TreeWalk<Counts>::root() {
  undoExclusions(0);
  std::fill(assigned_.begin(), assigned_.end(), 0);
  std::fill_n(bits_.begin(), tree_.words, 0);
  levels_[0] = Level{0, 1, tree_.width};
  std::fill_n(sMod_.begin(), tree_.m, 0);
  std::fill_n(mMod_.begin(), tree_.m, 1);
  std::fill_n(mInv_.begin(), tree_.m, 1);
}

template <class Counts>
void TreeWalk<Counts>::run(const std::vector<uint32_t>& prefix) {
  std::copy(prefix.begin(), prefix.end(), path_.begin());
  fixedDepth_ = prefix.size();
  root();
  descend(0);
}

template <class Counts>
std::vector<TreeTask> TreeWalk<Counts>::subtrees(const std::vector<uint32_t>& prefix) {
  std::vector<TreeTask> tasks;
  tasks_ = &tasks;
  taskDepth_ = prefix.size() + 1;
  run(prefix);
  taskDepth_ = SIZE_MAX;
  tasks_ = nullptr;
  return tasks;
}

// Whether the node is listed rather than split: every exponent covered, or few k.
template <class Counts>
bool TreeWalk<Counts>::leaf(size_t level, bool& complete) {
  complete = coversEveryExponent(bitsAt(level), tree_.period);
  return complete || levels_[level].count <= tree_.knobs.listBelow;
}

template <class Counts>
void TreeWalk<Counts>::descend(size_t level) {
  if (poll()) return;
  counts.node(level);
  bool complete;
  const bool isLeaf = leaf(level, complete);
  if (tasks_ != nullptr && isLeaf) return tasks_->push_back(TreeTask{{path_.begin(), path_.begin() + std::ptrdiff_t(level)}});
  if (complete) return listClass(level);
  if (tree_.knobs.bound && !coverable(level)) return counts.bounded(level);
  takeResidues(level, !isLeaf);
  if (isLeaf) return sieveClass(level);
  if (tasks_ != nullptr && level == taskDepth_)
    return tasks_->push_back(TreeTask{{path_.begin(), path_.begin() + std::ptrdiff_t(level)}});
  const uint32_t n = branchExponent(level);
  const uint64_t count = levels_[level].count;
  const size_t keep = exclusions_.size();
  if (level < fixedDepth_) {
    const uint32_t j = path_[level], i = childIndex(level, n, j);
    for (uint32_t a = 0; a < j; ++a)
      if (!assigned_[a]) exclude(n, a);
    if (i < count && !excluded(n, j)) makeChild(level, n, j, i), descend(level + 1);
    return undoExclusions(keep);
  }
  counts.tests(level, tree_.m);
  for (uint32_t j = 0; j < tree_.m && !stop_.load(std::memory_order_relaxed); ++j) {
    if (assigned_[j]) continue;
    if (!excluded(n, j)) {
      const uint32_t i = childIndex(level, n, j);
      if (i < count) makeChild(level, n, j, i), descend(level + 1), assigned_[j] = 0;
    }
    exclude(n, j);
  }
  undoExclusions(keep);
}

// Gives prime j the residue with which it covers exponent n: the class x = s + M*i mod
// M*p_j at the next level and its exponents. Its residues follow (takeResidues) once
// the counting bound has let it pass.
template <class Counts>
void TreeWalk<Counts>::makeChild(size_t level, uint32_t n, uint32_t j, uint32_t i) {
  const Level& node = levels_[level];
  Level& next = levels_[level + 1];
  next.s = node.s + node.M * i, next.M = node.M * tree_.p[j], next.step = i;
  next.count = countOf(next.s, next.M, tree_.width);
  uint64_t* bits = bitsAt(level + 1);
  std::copy_n(bitsAt(level), tree_.words, bits);
  markExponentClass(bits, n % tree_.d[j] + 1, tree_.d[j], tree_.period);
  assigned_[j] = 1;
  path_[level] = j;
}

// The residues of s and of 1/M modulo every free prime at `level`, and those of M when
// the node is split (a sieved class needs them only for its few survivors), each by
// one product from the parent's.
template <class Counts>
void TreeWalk<Counts>::takeResidues(size_t level, bool withModulus) {
  if (level == 0) return;
  const uint32_t j = path_[level - 1], pj = tree_.p[j], i = levels_[level].step;
  const uint32_t *sMod = sModAt(level - 1), *mMod = mModAt(level - 1), *mInv = mInvAt(level - 1);
  uint32_t *nextS = sModAt(level), *nextM = mModAt(level), *nextInv = mInvAt(level);
  for (uint32_t q = 0; q < tree_.m; ++q) {
    if (assigned_[q]) continue;
    const Reducer& mod = tree_.mod[q];
    nextS[q] = mod(sMod[q] + uint64_t(mMod[q]) * i);
    nextInv[q] = mod(uint64_t(mInv[q]) * tree_.inverse(j, q));
    if (withModulus) nextM[q] = mod(uint64_t(mMod[q]) * pj);
  }
}

// The most open exponents in one class modulo the period, leaving out the classes
// excluded for `prime` (kNone: none; periods up to 64 only): the most that a prime of
// that period can still cover.
template <class Counts>
uint32_t TreeWalk<Counts>::mostOpenInOneClass(const uint64_t* bits, uint32_t periodIndex, uint32_t prime) {
  const uint32_t dd = tree_.periods[periodIndex], full = tree_.period / dd, words = tree_.words;
  uint32_t most = 0;
  if (tree_.maskStart[periodIndex] != kNone) {
    const uint64_t* masks = &tree_.classMasks[tree_.maskStart[periodIndex]];
    if (prime == kNone) return mostOpenOfMasks(masks, dd, bits, words, full);
    const uint16_t* out = &excluded_[tree_.classStart[prime]];
    for (uint32_t e = 0; e < dd && most < full; ++e)
      if (out[e] == 0) most = std::max(most, mostOpenOfMasks(masks + size_t(e) * words, 1, bits, words, full));
    return most;
  }
  std::fill_n(classCount_.begin(), dd, 0);
  for (uint32_t w = 0; w < words; ++w)
    for (uint64_t open = ~bits[w] & (w + 1 < words || tree_.period % 64 == 0 ? ~uint64_t(0)
                                                                             : (uint64_t(1) << (tree_.period % 64)) - 1);
         open != 0 && most < full; open &= open - 1)
      most = std::max<uint32_t>(most, ++classCount_[(w * 64 + uint32_t(std::countr_zero(open))) % dd]);
  return most;
}

// The counting bound: whether the free primes, each covering the open exponents of at
// most one class modulo its period, can cover every open exponent between them.
template <class Counts>
bool TreeWalk<Counts>::coverable(size_t level) {
  const uint64_t* bits = bitsAt(level);
  const uint32_t open = openCount(bits, tree_.words, tree_.period);
  std::fill(periodMost_.begin(), periodMost_.end(), kNone);
  uint32_t total = 0;
  for (uint32_t j = 0; j < tree_.m; ++j)
    if (!assigned_[j] && (total += mostOf(bits, j)) >= open) return true;
  return false;
}

// The exponent to branch on: of the first few open ones in the order, the one whose
// children hold the fewest k, as the sum of 1/p over the free primes not excluded
// there (excluded primes leave their children out). That sum is the same for every
// exponent but for the free primes excluded there, so the exponent that loses the
// most to exclusions is taken (the first of equals; with no exclusions, the first).
template <class Counts>
uint32_t TreeWalk<Counts>::branchExponent(size_t level) {
  const uint64_t* bits = bitsAt(level);
  size_t at = firstOpen(bits, 0);
  uint32_t best = tree_.order[at];
  if (tree_.knobs.plainBranch) {
    uint64_t least = UINT64_MAX;
    for (uint32_t tried = 0; tried < tree_.knobs.choices && at < tree_.order.size(); ++tried, at = firstOpen(bits, at + 1)) {
      const uint32_t n = tree_.order[at];
      uint64_t mass = 0;
      for (uint32_t j = 0; j < tree_.m; ++j)
        if (!assigned_[j] && !excluded(n, j)) mass += tree_.weight[j];
      if (mass < least) least = mass, best = n;
    }
    return best;
  }
  if (exclusions_.empty()) return best;
  sumExcludedMass();
  uint64_t most = 0;
  for (uint32_t tried = 0; tried < tree_.knobs.choices && at < tree_.order.size(); ++tried, at = firstOpen(bits, at + 1)) {
    const uint32_t n = tree_.order[at];
    if (excludedMass_[n] > most) most = excludedMass_[n], best = n;
  }
  return best;
}

// excludedMass_[n]: the weights of the free primes excluded at exponent n, each slot
// counted once however often it was excluded; its cost follows the exclusions, not the
// primes.
template <class Counts>
void TreeWalk<Counts>::sumExcludedMass() {
  std::fill(excludedMass_.begin(), excludedMass_.end(), 0);
  if (++stamp_ == 0) std::fill(slotMark_.begin(), slotMark_.end(), 0), stamp_ = 1;
  for (const auto& [slot, j] : exclusions_) {
    if (assigned_[j] || slotMark_[slot] == stamp_) continue;
    slotMark_[slot] = stamp_;
    const uint32_t dd = tree_.d[j];
    const uint64_t w = tree_.weight[j];
    for (uint32_t n = slot - tree_.classStart[j]; n < tree_.period; n += dd) excludedMass_[n] += w;
  }
}

// The place in the exponent order of the first open exponent at or after `from`.
template <class Counts>
size_t TreeWalk<Counts>::firstOpen(const uint64_t* bits, size_t from) const {
  for (size_t at = from; at < tree_.order.size(); ++at) {
    const uint32_t n = tree_.order[at];
    if ((bits[n >> 6] >> (n & 63) & 1) == 0) return at;
  }
  return tree_.order.size();
}

// Lists the k of a class whose every exponent is covered: all but the skipped ones.
template <class Counts>
void TreeWalk<Counts>::listClass(size_t level) {
  const Level& node = levels_[level];
  counts.listed(level, node.count);
  for (uint64_t c = 0; c < node.count; ++c) {
    if (poll()) return;
    const int64_t k = tree_.from + int64_t(node.s + node.M * c);
    if (!skipped(k)) covered.push_back(k), counts.confirmed(level);
  }
}

// The k of a small class that are covered, by a sieve over their places c (k = from +
// s + M*c, c below the count): each open exponent in turn keeps the places that some
// free prime covers there, the progression c = i (mod p) of its child; the few left
// once the places thin out are confirmed one by one.
template <class Counts>
void TreeWalk<Counts>::sieveClass(size_t level) {
  const uint64_t count = levels_[level].count;
  counts.listed(level, count);
  const size_t words = size_t((count + 63) / 64);
  std::fill_n(alive_.begin(), words, ~uint64_t(0));
  if (count % 64 != 0) alive_[words - 1] = (uint64_t(1) << (count % 64)) - 1;
  const uint64_t* bits = bitsAt(level);
  uint64_t left = count;
  // Sieving goes on while the survivors would cost more to confirm than one more
  // exponent costs to sieve: its places, and a residue for each free prime.
  const uint64_t stepCost = count + kStepPerPrime * tree_.m;
  for (size_t at = firstOpen(bits, 0); at < tree_.order.size() && left * kSurvivorCost > stepCost;
       at = firstOpen(bits, at + 1)) {
    const uint32_t n = tree_.order[at];
    std::fill_n(hits_.begin(), words, 0);
    for (uint32_t j = 0; j < tree_.m; ++j) {
      if (assigned_[j] || excluded(n, j)) continue;
      for (uint64_t c = childIndex(level, n, j); c < count; c += tree_.p[j]) hits_[c >> 6] |= uint64_t(1) << (c & 63);
    }
    left = keepHits(alive_.data(), hits_.data(), words);
  }
  for (size_t w = 0; w < words && left != 0; ++w)
    for (uint64_t live = alive_[w]; live != 0; live &= live - 1) {
      if (poll()) return;
      confirmSurvivor(level, w * 64 + uint64_t(std::countr_zero(live)));
    }
}

// Confirms the k at place c of the class, from its residues modulo the free primes.
template <class Counts>
void TreeWalk<Counts>::confirmSurvivor(size_t level, uint64_t c) {
  const Level& node = levels_[level];
  const int64_t k = tree_.from + int64_t(node.s + node.M * c);
  if (skipped(k)) return;
  // M mod p of a sieved class, from its parent's (at the root, M = 1).
  const uint32_t* sMod = sModAt(level);
  const uint32_t* parentM = level == 0 ? nullptr : mModAt(level - 1);
  const uint32_t pj = level == 0 ? 1 : tree_.p[path_[level - 1]];
  for (uint32_t j = 0; j < tree_.m; ++j)
    if (!assigned_[j])
      xRes_[j] = tree_.mod[j](sMod[j] + (level == 0 ? 1 : tree_.mod[j](uint64_t(parentM[j]) * pj)) * c);
  if (confirm(level)) covered.push_back(k), counts.confirmed(level);
}

template <class Counts>
bool TreeWalk<Counts>::skipped(int64_t k) const {
  for (const SievePrime& skip : tree_.sieve.skips)
    if (uint64_t(k) % skip.p == skip.classResidue[0]) return true;
  return false;
}

// Whether the listed k (its residues in xRes_) covers every exponent, given those that
// the primes on the path cover: each open exponent, hardest first, needs a free prime.
template <class Counts>
bool TreeWalk<Counts>::confirm(size_t level) {
  std::copy_n(bitsAt(level), tree_.words, scratch_.begin());
  for (size_t at = firstOpen(scratch_.data(), 0); at < tree_.order.size(); at = firstOpen(scratch_.data(), at + 1)) {
    const uint32_t n = tree_.order[at];
    const uint32_t* residues = &tree_.residueAt[size_t(n) * tree_.m];
    uint32_t j = 0;
    while (j < tree_.m && (assigned_[j] || xRes_[j] != residues[j])) ++j;
    if (j == tree_.m) return false;
    markExponentClass(scratch_.data(), n % tree_.d[j] + 1, tree_.d[j], tree_.period);
  }
  return true;
}

// One random path down the tree, a child taken with a probability that falls with
// its prime as 1/sqrt(p) (wider classes, larger subtrees, are taken more often).
// Adds to `nodes` and `listed` the path's estimates (its weights, the inverse
// probabilities) of the nodes of the tree and of the k its listed classes hold; the
// k of a listed class are also confirmed, as the search would.
template <class Counts>
void TreeWalk<Counts>::probe(std::mt19937_64& random, ProbeSums& sums) {
  root();
  double weight = 1;
  for (size_t level = 0;; ++level) {
    sums.nodes += weight, ++sums.visited;
    const auto begin = std::chrono::steady_clock::now();
    const uint64_t count = levels_[level].count;
    bool complete;
    if (leaf(level, complete)) {
      sums.listed += weight * double(count);
      if (count > kProbeListLimit) return;
      if (complete) {
        listClass(level);
      } else if (!tree_.knobs.bound || coverable(level)) {
        takeResidues(level, false);
        sieveClass(level);
      }
      sums.visitedK += double(count), sums.listSeconds += secondsSince(begin);
      return;
    }
    if (tree_.knobs.bound && !coverable(level)) return void(sums.nodeSeconds += secondsSince(begin));
    takeResidues(level, true);
    const uint32_t n = branchExponent(level);
    size_t found = 0;
    double total = 0;
    for (uint32_t j = 0; j < tree_.m; ++j) {
      if (assigned_[j] || excluded(n, j) || (childIndex_[found] = childIndex(level, n, j)) >= count) continue;
      childPrime_[found] = j, childScore_[found] = 1 / std::sqrt(double(tree_.p[j]));
      total += childScore_[found++];
    }
    if (found == 0) return void(sums.nodeSeconds += secondsSince(begin));
    double pick = std::uniform_real_distribution<double>(0, total)(random);
    size_t i = 0;
    while (i + 1 < found && (pick -= childScore_[i]) > 0) ++i;
    weight *= total / childScore_[i];
    for (uint32_t a = 0; a < childPrime_[i]; ++a)
      if (!assigned_[a]) exclude(n, a);
    makeChild(level, n, childPrime_[i], childIndex_[i]);
    sums.nodeSeconds += secondsSince(begin);
  }
}

// The modulus of the class at the end of a path, roughly: subtrees of a smaller
// modulus hold more k and so, as a rule, more nodes.
double pathModulus(const TreeTables& tree, const TreeTask& task) {
  double M = 1;
  for (uint32_t j : task.path) M *= tree.p[j];
  return M;
}

// At least `wanted` subtrees where the tree has them: the widest subtree (smallest
// modulus) is split into its children until there are enough, so that no one subtree
// holds most of the work; widest first. Nothing here depends on timing or threads.
std::vector<TreeTask> splitTree(const TreeTables& tree, size_t wanted) {
  std::atomic<bool> stop{false};
  TreeWalk<NoCounts> walk(tree, stop);
  std::vector<TreeTask> tasks{{}};
  std::vector<TreeTask> done;  // leaves: listed classes, not split further
  auto wider = [&](const TreeTask& a, const TreeTask& b) { return pathModulus(tree, a) > pathModulus(tree, b); };
  while (!tasks.empty() && tasks.size() + done.size() < wanted) {
    std::pop_heap(tasks.begin(), tasks.end(), wider);
    TreeTask widest = std::move(tasks.back());
    tasks.pop_back();
    std::vector<TreeTask> children = walk.subtrees(widest.path);
    if (children.size() == 1 && children[0] == widest) {
      done.push_back(std::move(widest));
      continue;
    }
    for (TreeTask& child : children) {
      tasks.push_back(std::move(child));
      std::push_heap(tasks.begin(), tasks.end(), wider);
    }
  }
  tasks.insert(tasks.end(), done.begin(), done.end());
  std::stable_sort(tasks.begin(), tasks.end(), [&](const auto& a, const auto& b) { return wider(b, a); });
  return tasks;
}

// Searches tasks [first, end) on up to `threads` threads, handed out by an atomic
// counter; appends the covered k, sorted and each once.
template <class Counts>
bool searchTasks(const TreeTables& tree, const std::vector<TreeTask>& tasks, size_t first, size_t end, int threads,
                 std::vector<int64_t>& covered, std::vector<TreeLevelCounts>& levels, const StopToken& ask) {
  std::atomic<bool> stop{false};
  std::atomic<size_t> next{first};
  threads = std::max(threads, 1);
  std::vector<std::vector<int64_t>> found(static_cast<size_t>(threads));
  std::vector<Counts> counts(static_cast<size_t>(threads));
  // Fewer threads than asked for take the remaining subtrees; a failure in one (no
  // memory) stops the others and reaches the caller.
  runOnThreads(threads, [&](int t) {
    try {
      TreeWalk<Counts> walk(tree, stop, ask);
      for (size_t i = next++; i < end && !stop; i = next++) walk.run(tasks[i].path);
      found[size_t(t)] = std::move(walk.covered);
      counts[size_t(t)] = std::move(walk.counts);
    } catch (...) {
      stop = true;
      throw;
    }
  });
  for (const Counts& c : counts) c.addTo(levels);
  const size_t start = covered.size();
  for (const std::vector<int64_t>& part : found) covered.insert(covered.end(), part.begin(), part.end());
  std::sort(covered.begin() + std::ptrdiff_t(start), covered.end());
  covered.erase(std::unique(covered.begin() + std::ptrdiff_t(start), covered.end()), covered.end());
  return !stop && !ask.stopRequested();
}

template <class Counts>
bool searchRange(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                 const Knobs& knobs, std::vector<TreeLevelCounts>& levels, const StopToken& ask) {
  if (!tables.searchable) return !ask.stopRequested();
  const TreeTables tree(tables, from, to, knobs);
  threads = threadsWorthStarting(threads);
  const std::vector<TreeTask> tasks = threads > 1 ? splitTree(tree, kTasksPerThread * size_t(threads))
                                                  : std::vector<TreeTask>{{}};
  return searchTasks<Counts>(tree, tasks, 0, tasks.size(), threads, covered, levels, ask);
}

}  // namespace

bool residueSearch(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                   const StopToken& stop) {
  std::vector<TreeLevelCounts> none;
  return searchRange<NoCounts>(tables, from, to, threads, covered, Knobs{}, none, stop);
}

bool residueSearchMeasured(const SieveTables& tables, int64_t from, int64_t to, int threads,
                           std::vector<int64_t>& covered, TreeMeasure& measure) {
  Knobs knobs{measure.countingBound, measure.listBelow, measure.choices ? measure.choices : kBranchChoices,
              measure.plainBranch};
  measure.levels.clear();
  return searchRange<LevelCounts>(tables, from, to, threads, covered, knobs, measure.levels, StopToken{});
}

namespace {

// The tables of one range behind the header's opaque TreeRange.
struct TreeRangeTables : TreeRange {
  TreeRangeTables(const SieveTables& tables, int64_t from, int64_t to) : tree(tables, from, to) {}
  const TreeTables tree;
};

const TreeTables& tablesOf(const TreeRange& range) { return static_cast<const TreeRangeTables&>(range).tree; }

}  // namespace

std::shared_ptr<const TreeRange> makeTreeRange(const SieveTables& tables, int64_t from, int64_t to) {
  auto range = std::make_shared<TreeRangeTables>(tables, from, to);
  range->from = from, range->to = to;
  return range;
}

std::vector<TreeTask> residueTasks(const SieveTables& tables, int64_t from, int64_t to, size_t wanted) {
  return residueTasks(*makeTreeRange(tables, from, to), wanted);
}

std::vector<TreeTask> residueTasks(const TreeRange& range, size_t wanted) {
  if (!tablesOf(range).sieve.searchable) return {};
  return splitTree(tablesOf(range), std::max<size_t>(wanted, 1));
}

bool residueSearchTasks(const SieveTables& tables, int64_t from, int64_t to, const std::vector<TreeTask>& tasks,
                        size_t first, size_t count, int threads, std::vector<int64_t>& covered, const StopToken& stop) {
  return residueSearchTasks(*makeTreeRange(tables, from, to), tasks, first, count, threads, covered, stop);
}

bool residueSearchTasks(const TreeRange& range, const std::vector<TreeTask>& tasks, size_t first, size_t count,
                        int threads, std::vector<int64_t>& covered, const StopToken& stop) {
  const TreeTables& tree = tablesOf(range);
  if (!tree.sieve.searchable || first >= tasks.size()) return !stop.stopRequested();
  // A task may come from another process: a path that no list of this range holds
  // (too long, a prime out of range or twice) is refused rather than followed.
  const size_t end = first + std::min(count, tasks.size() - first);
  std::vector<uint8_t> seen(tree.m);
  for (size_t t = first; t < end; ++t) {
    const std::vector<uint32_t>& path = tasks[t].path;
    if (path.size() + 1 >= tree.levels) throw pelund::Error("residue tree task deeper than its range allows");
    for (uint32_t j : path)
      if (j >= tree.m || seen[j]++) throw pelund::Error("residue tree task with a bad prime index");
    for (uint32_t j : path) seen[j] = 0;
  }
  std::vector<TreeLevelCounts> none;
  return searchTasks<NoCounts>(tree, tasks, first, end, threads, covered, none, stop);
}

// Knuth's estimate of the size of a search tree from random paths, here with unequal
// probabilities; the seconds per node are measured on the paths themselves.
double residueCostEstimate(const SieveTables& tables, int64_t from, int64_t to) {
  if (!tables.searchable) return 0;
  const TreeTables tree(tables, from, to);
  std::atomic<bool> stop{false};
  TreeWalk<NoCounts> walk(tree, stop);
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
