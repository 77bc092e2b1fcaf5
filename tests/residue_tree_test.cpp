// The residue-class tree against the block sieve on tables of exactly two primes and on
// generated tables of large bases and periods up to 5040, also with the tree's choices
// changed, the lift order and the lift sieve among them (the generated comparisons of
// all kinds run through the binary as well, engines_e2e_test); the subtrees of a range
// searched one by one against the whole; wide ranges near 10^18, where only the tree
// can go, checked k by k and against the same range cut in two; the cost estimates.
// (Interrupts of the tree run through the binary: interrupt_load_test and
// resume_e2e_test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <tuple>

#include "cover_sieve.h"
#include "fast_table.h"
#include "residue_tree.h"
#include "rounds.h"
#include "tree_tables.h"

namespace {

constexpr int64_t kMaxK = 1000000000000000000;

std::optional<SieveTables> tablesOf(int32_t base, int32_t c, int32_t period, int32_t maxFact, int64_t from) {
  SearchParams params;
  params.base = base, params.c = c, params.period = period, params.maxFact = maxFact, params.minK = from;
  std::optional<CandidateTable> table = pelund::candidates(params);
  if (!table) return std::nullopt;
  return SieveTables(params, *table);
}

std::vector<int64_t> sieveCovered(const SieveTables& tables, int64_t from, int64_t to) {
  BlockSieve sieve(tables);
  std::vector<int64_t> covered;
  for (int64_t start = from; start <= to; start += BlockSieve::kBlockSpan)
    EXPECT_TRUE(sieve.sieve(start, std::min(to, start + BlockSieve::kBlockSpan - 1), covered));
  return covered;
}

std::vector<int64_t> treeCovered(const SieveTables& tables, int64_t from, int64_t to, int threads) {
  std::vector<int64_t> covered;
  EXPECT_TRUE(residueSearch(tables, from, to, threads, covered));
  return covered;
}

// Whether k is covered, from its first hits alone.
bool coveredByHits(const SieveTables& tables, int64_t k) {
  for (const SievePrime& skip : tables.skips)
    if (uint64_t(k) % skip.p == skip.classResidue[0]) return false;
  std::vector<uint32_t> hits;
  firstHits(tables, k, hits);
  std::vector<uint64_t> bits((tables.period + 63) / 64);
  for (size_t j = 0; j < hits.size(); ++j)
    if (hits[j] != 0) markExponentClass(bits.data(), hits[j], tables.primes[j].d, uint32_t(tables.period));
  return tables.searchable && coversEveryExponent(bits.data(), uint32_t(tables.period));
}

// Returns the number of covered k compared.
size_t expectSameAsSieve(int32_t base, int32_t c, int32_t period, int32_t maxFact, int64_t from, int64_t to,
                         int threads) {
  SCOPED_TRACE(::testing::Message() << "b=" << base << " c=" << c << " P=" << period << " M=" << maxFact << " k=" << from
                                    << ".." << to << " threads=" << threads);
  std::optional<SieveTables> tables = tablesOf(base, c, period, maxFact, from);
  if (!tables) return 0;
  std::vector<int64_t> expected = sieveCovered(*tables, from, to);
  EXPECT_EQ(treeCovered(*tables, from, to, threads), expected);
  return expected.size();
}

// Period 2 admits exactly the odd prime factors of b+1 (b = -1 mod p), so a base
// b = 2^j*p*q - 1 with odd primes p, q has exactly the two candidates p and q.
TEST(ResidueTreeTest, TablesOfTwoPrimesAgreeWithTheSieve) {
  std::mt19937_64 random(77);
  const int32_t oddPrimes[] = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47};
  size_t compared = 0;
  for (int round = 0; round < 30; ++round) {
    const int32_t p = oddPrimes[random() % std::size(oddPrimes)];
    int32_t q = p;
    while (q == p) q = oddPrimes[random() % std::size(oddPrimes)];
    const int32_t base = (int32_t(1) << (random() % 12)) * p * q - 1;
    if (base < 2) continue;
    ASSERT_EQ(tablesOf(base, 1, 2, 20000, 1)->primes.size(), 2u) << base;
    const int64_t from = random() % 2 ? int64_t(random() % 100000) + 1 : kMaxK - 200000;
    compared += expectSameAsSieve(base, random() % 2 ? 1 : -1, 2, 20000, from, from + 100000, int(random() % 3) + 1);
  }
  EXPECT_GT(compared, 1000u);
}

// Ranges too wide for the sieve, where the modulus of a class passes 2^64: every k found
// is covered, and the two halves of the range give the whole.
TEST(ResidueTreeTest, WideRangesNearTheLargestKAreConsistent) {
  struct Wide { int32_t base, c, period, maxFact; int64_t width; };
  const Wide cases[] = {{10, -1, 144, 1000000, 30000000}, {7, 1, 144, 1000000000, 1000000000000}};
  size_t found = 0;
  for (const Wide& w : cases) {
    SCOPED_TRACE(::testing::Message() << "b=" << w.base << " c=" << w.c << " P=" << w.period);
    const SieveTables tables = *tablesOf(w.base, w.c, w.period, w.maxFact, kMaxK - w.width);
    const int64_t from = kMaxK - w.width, middle = from + w.width / 3;
    std::vector<int64_t> whole = treeCovered(tables, from, kMaxK, 2);
    std::vector<int64_t> halves = treeCovered(tables, from, middle, 1);
    std::vector<int64_t> upper = treeCovered(tables, middle + 1, kMaxK, 3);
    halves.insert(halves.end(), upper.begin(), upper.end());
    EXPECT_EQ(whole, halves);
    // The same range as subtrees in two halves of the list, as two ranks would take it.
    const std::vector<TreeTask> tasks = residueTasks(tables, from, kMaxK, 300);
    std::vector<int64_t> ranks;
    EXPECT_TRUE(residueSearchTasks(tables, from, kMaxK, tasks, 0, tasks.size() / 2, 2, ranks));
    EXPECT_TRUE(residueSearchTasks(tables, from, kMaxK, tasks, tasks.size() / 2, tasks.size(), 1, ranks));
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    EXPECT_GE(tasks.size(), 300u);
    EXPECT_EQ(ranks, whole);
    EXPECT_TRUE(std::is_sorted(whole.begin(), whole.end()));
    for (int64_t k : whole) EXPECT_TRUE(coveredByHits(tables, k)) << k;
    found += whole.size();
  }
  EXPECT_GT(found, 1000u);
}

struct Generated {
  int32_t base, c, period, maxFact;
  int64_t from, to;
};

// Bases above 500 of both signs with periods up to 720, ranges near 1 and near 10^18,
// some narrower than a sieved class, so that the root itself is sieved.
Generated generate(std::mt19937_64& random) {
  const int32_t periods[] = {720, 720, 360, 240, 144, 120, 48};
  Generated g;
  g.base = int32_t(random() % 3 == 0 ? random() % 500 + 501 : random() % 999999500 + 501);
  g.c = random() % 2 ? 1 : -1;
  g.period = periods[random() % std::size(periods)];
  g.maxFact = int32_t(random() % 4 == 0 ? 1000000 : random() % 100000 + 100);
  const int64_t width = random() % 5 == 0 ? int64_t(random() % 3000) + 1 : int64_t(random() % 600000) + 1;
  g.from = random() % 3 == 0 ? kMaxK - width + 1 - int64_t(random() % 1000) : int64_t(random() % 100000000) + 1;
  g.to = g.from + width - 1;
  return g;
}

::testing::Message traceOf(const Generated& g) {
  return ::testing::Message() << "b=" << g.base << " c=" << g.c << " P=" << g.period << " M=" << g.maxFact
                              << " k=" << g.from << ".." << g.to;
}

// The sieve against the tree as it runs and with its choices changed: no counting
// bound, classes sieved from 2 k or from far more, one or every exponent weighed.
TEST(ResidueTreeTest, GeneratedLargeBasesAgreeWithTheSieveUnderEveryChoice) {
  std::mt19937_64 random(720);
  const TreeMeasure choices[] = {{false, 2, 1, {}}, {true, 100000, 720, {}}, {true, 17, 3, {}}};
  size_t compared = 0, tables = 0;
  for (int round = 0; round < 60; ++round) {
    const Generated g = generate(random);
    SCOPED_TRACE(traceOf(g));
    std::optional<SieveTables> t = tablesOf(g.base, g.c, g.period, g.maxFact, g.from);
    if (!t || !t->searchable) continue;
    ++tables;
    const std::vector<int64_t> expected = sieveCovered(*t, g.from, g.to);
    EXPECT_EQ(treeCovered(*t, g.from, g.to, int(random() % 3) + 1), expected);
    TreeMeasure measure = choices[round % std::size(choices)];
    std::vector<int64_t> covered;
    EXPECT_TRUE(residueSearchMeasured(*t, g.from, g.to, 2, covered, measure));
    EXPECT_EQ(covered, expected);
    compared += expected.size();
  }
  EXPECT_GT(tables, 40u);
  EXPECT_GT(compared, 1000u);
}

// Every subtree searched alone, and the list in uneven slices on several threads: the
// union is the whole range's result, and the list is the same on every call.
TEST(ResidueTreeTest, SubtreesSearchedApartMakeTheWhole) {
  std::mt19937_64 random(2);
  size_t compared = 0, tasks = 0;
  for (int round = 0; round < 24; ++round) {
    const Generated g = generate(random);
    SCOPED_TRACE(traceOf(g));
    std::optional<SieveTables> t = tablesOf(g.base, g.c, g.period, g.maxFact, g.from);
    if (!t || !t->searchable) continue;
    const size_t wanted = size_t(1) << (random() % 9);
    const std::vector<TreeTask> list = residueTasks(*t, g.from, g.to, wanted);
    EXPECT_EQ(residueTasks(*t, g.from, g.to, wanted), list);
    std::vector<int64_t> one, slices;
    for (size_t i = 0; i < list.size(); ++i) {
      std::vector<int64_t> part;
      EXPECT_TRUE(residueSearchTasks(*t, g.from, g.to, list, i, 1, 1, part));
      EXPECT_TRUE(std::is_sorted(part.begin(), part.end()) && std::adjacent_find(part.begin(), part.end()) == part.end());
      one.insert(one.end(), part.begin(), part.end());
    }
    for (size_t first = 0, count = 1; first < list.size() + 2; first += count, count = count * 3 + 1)
      EXPECT_TRUE(residueSearchTasks(*t, g.from, g.to, list, first, count, int(random() % 3) + 1, slices));
    for (std::vector<int64_t>* v : {&one, &slices}) {
      std::sort(v->begin(), v->end());
      v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    const std::vector<int64_t> whole = treeCovered(*t, g.from, g.to, 1);
    EXPECT_EQ(one, whole);
    std::vector<int64_t> ignored;
    for (const std::vector<uint32_t>& bad : {std::vector<uint32_t>{0, 0}, std::vector<uint32_t>{uint32_t(t->primes.size())},
                                             std::vector<uint32_t>(t->primes.size() + 2, 0)})
      EXPECT_THROW(residueSearchTasks(*t, g.from, g.to, {TreeTask{bad}}, 0, 1, 1, ignored), pelund::Error);
    EXPECT_EQ(slices, whole);
    compared += whole.size(), tasks += list.size();
  }
  EXPECT_GT(compared, 500u);
  EXPECT_GT(tasks, 500u);
}

bool sameCounts(const std::vector<TreeLevelCounts>& a, const std::vector<TreeLevelCounts>& b) {
  auto fields = [](const TreeLevelCounts& v) {
    return std::tuple(v.nodes, v.bounded, v.childTests, v.listedClasses, v.listedK, v.confirmed, v.survivors);
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](auto& x, auto& y) { return fields(x) == fields(y); });
}

uint64_t nodesOf(const TreeMeasure& measure) {
  uint64_t nodes = 0;
  for (const TreeLevelCounts& level : measure.levels) nodes += level.nodes;
  return nodes;
}

// Long periods, whose many candidate primes the tree's tuning is for: bases up to 10^9,
// periods 720, 2520 and 5040, narrow ranges against the sieve and wide ones (up to 10^12
// k, as wide as a cheap tree allows) where the tree goes deep. The branch weighed over
// the exclusions makes the very tree of the branch weighed over every free prime (the
// same counts at every depth); the earlier tuning (256 exponents weighed, classes
// sieved below 4096 k) and no counting bound change nothing but the counts.
TEST(ResidueTreeTest, LongPeriodsFindTheSameUnderEveryTuning) {
  std::mt19937_64 random(5040);
  const int32_t periods[] = {720, 2520, 5040};
  size_t compared = 0, wide = 0, deep = 0;
  for (int round = 0; round < 24; ++round) {
    const int32_t period = periods[round % 3];
    const int32_t base = int32_t(random() % 999999999) + 2, c = random() % 2 ? 1 : -1;
    const int32_t maxFact = int32_t(random() % 3 == 0 ? random() % 1000 + 50 : random() % 100000 + 1000);
    const bool narrow = round % 2 == 0;
    int64_t width = narrow ? int64_t(random() % 200000) + 1 : int64_t(1) << (random() % 12 + 29);
    int64_t from = random() % 3 == 0 ? kMaxK - width + 1 : int64_t(random() % 1000000) + 1;
    SCOPED_TRACE(::testing::Message() << "b=" << base << " c=" << c << " P=" << period << " M=" << maxFact);
    std::optional<SieveTables> t = tablesOf(base, c, period, maxFact, from);
    if (!t || !t->searchable) continue;
    // The estimate is in seconds, so a slow machine (or the sanitizers) narrows more; a
    // range of 2^20 k at the least still makes a tree that branches and goes deep.
    while (!narrow && width >= (int64_t(1) << 23) && residueCostEstimate(*t, from, from + width - 1) > 0.01)
      width /= 8, from = from > kMaxK / 2 ? kMaxK - width + 1 : from;
    const int64_t to = from + width - 1;
    SCOPED_TRACE(::testing::Message() << "k=" << from << ".." << to);
    TreeMeasure tuned, plain, earlier{true, 4096, 256, {}}, unbounded{false, 0, 0, {}};
    plain.plainBranch = true;
    std::vector<int64_t> expected;
    EXPECT_TRUE(residueSearchMeasured(*t, from, to, 1, expected, tuned));
    if (narrow) {
      EXPECT_EQ(sieveCovered(*t, from, to), expected);
    }
    for (TreeMeasure* other : {&plain, &earlier, &unbounded}) {
      std::vector<int64_t> covered;  // one thread for the same tree, counts and all
      EXPECT_TRUE(residueSearchMeasured(*t, from, to, other == &plain ? 1 : int(random() % 2) + 1, covered, *other));
      EXPECT_EQ(covered, expected);
    }
    EXPECT_TRUE(sameCounts(plain.levels, tuned.levels));
    for (int64_t k : expected) EXPECT_TRUE(coveredByHits(*t, k)) << k;
    compared += expected.size(), wide += !narrow, deep += tuned.levels.size() > 3;
    if (!narrow) {
      EXPECT_GT(nodesOf(tuned), 1u);
    }
  }
  EXPECT_GT(compared, 100u);
  EXPECT_GT(wide, 6u);
  EXPECT_GT(deep, 6u);
}

uint64_t survivorsOf(const TreeMeasure& measure) {
  uint64_t survivors = 0;
  for (const TreeLevelCounts& level : measure.levels) survivors += level.survivors;
  return survivors;
}

// The lift choices at periods 720, 2520 and 5040, bases up to 10^9: the children of
// primes that cover every lift of an exponent or none tried first, and sieved classes
// sieved first at their path's lifts, find the same k as the tree without either (and
// as the sieve, on narrow ranges); without the child order the nodes differ, without
// the lift sieve only the survivors of the sieved classes, somewhere among the tables.
TEST(ResidueTreeTest, LiftChoicesChangeOnlyTheCounts) {
  std::mt19937_64 random(2520);
  const int32_t periods[] = {720, 2520, 5040};
  size_t compared = 0, nodesDiffer = 0, survivorsDiffer = 0;
  for (int round = 0; round < e2e::rounds(18); ++round) {
    const int32_t period = periods[round % 3];
    const int32_t base = int32_t(random() % 999999999) + 2, c = random() % 2 ? 1 : -1;
    const int32_t maxFact = int32_t(random() % 100000 + 1000);
    const bool narrow = round % 2 == 0;
    int64_t width = narrow ? int64_t(random() % 200000) + 1 : int64_t(1) << (random() % 10 + 29);
    const int64_t from = int64_t(random() % 1000000) + 1;
    SCOPED_TRACE(::testing::Message() << "b=" << base << " c=" << c << " P=" << period << " M=" << maxFact);
    std::optional<SieveTables> t = tablesOf(base, c, period, maxFact, from);
    if (!t || !t->searchable) continue;
    while (!narrow && width >= (int64_t(1) << 23) && residueCostEstimate(*t, from, from + width - 1) > 0.01) width /= 8;
    const int64_t to = from + width - 1;
    SCOPED_TRACE(::testing::Message() << "k=" << from << ".." << to);
    TreeMeasure lifts, noOrder, noSieve, neither, untrimmed;
    noOrder.liftOrder = false, noSieve.liftSieve = false, neither.liftOrder = neither.liftSieve = false;
    untrimmed.liftTrim = false;
    std::vector<int64_t> expected;
    EXPECT_TRUE(residueSearchMeasured(*t, from, to, 1, expected, lifts));
    if (narrow) {
      EXPECT_EQ(sieveCovered(*t, from, to), expected);
    }
    for (TreeMeasure* other : {&noOrder, &noSieve, &neither, &untrimmed}) {
      std::vector<int64_t> covered;
      EXPECT_TRUE(residueSearchMeasured(*t, from, to, 1, covered, *other));
      EXPECT_EQ(covered, expected);
    }
    survivorsDiffer += survivorsOf(lifts) != survivorsOf(noSieve);
    nodesDiffer += nodesOf(lifts) != nodesOf(noOrder);
    // A lift sieved over its primes not known to be excluded marks the very places
    // that all primes mark: every count the same, the survivors too.
    EXPECT_TRUE(sameCounts(lifts.levels, untrimmed.levels));
    // The lift sieve alone leaves the tree as it is, level by level: the same nodes,
    // listed classes and k. (A k that two primes cover at one exponent is also found in
    // the subtree of the first of them, and a class sieved at other exponents may drop
    // it or not, so the k confirmed per class may differ, not those found in all.)
    for (std::vector<TreeLevelCounts>* levels : {&lifts.levels, &noSieve.levels, &noOrder.levels, &neither.levels})
      for (TreeLevelCounts& level : *levels) level.survivors = level.confirmed = 0;
    EXPECT_TRUE(sameCounts(lifts.levels, noSieve.levels));
    EXPECT_TRUE(sameCounts(noOrder.levels, neither.levels));
    compared += expected.size();
  }
  EXPECT_GT(compared, 50u);
  EXPECT_GT(nodesDiffer, 2u);
  EXPECT_GT(survivorsDiffer, 2u);
}

// The counting bound's first pass, by the averages of each prime's classes, passes only
// nodes that counting their classes passes (an average is at most the fullest class):
// with every node counted the tree is the very same, level by level, on generated
// tables of few primes and wide ranges, where the bound ends many classes.
TEST(ResidueTreeTest, TheBoundsFirstPassLetsThroughOnlyWhatItsCountsDo) {
  std::mt19937_64 random(144);
  const int32_t periods[] = {36, 48, 72, 144, 240, 720};
  const int rounds = e2e::rounds(40);
  size_t bounding = 0;  // rounds in which the bound ended a class
  for (int round = 0; round < rounds; ++round) {
    const int32_t base = int32_t(random() % 999999) + 2, c = random() % 2 ? 1 : -1;
    const int32_t period = periods[random() % std::size(periods)], maxFact = int32_t(random() % 260 + 40);
    const int64_t from = int64_t(random() % 1000000) + 1;
    int64_t width = int64_t(1) << (random() % 8 + 22);
    SCOPED_TRACE(::testing::Message() << "b=" << base << " c=" << c << " P=" << period << " M=" << maxFact);
    std::optional<SieveTables> t = tablesOf(base, c, period, maxFact, from);
    if (!t || !t->searchable) continue;
    while (width >= (int64_t(1) << 20) && residueCostEstimate(*t, from, from + width - 1) > 0.005) width /= 8;
    const int64_t to = from + width - 1;
    SCOPED_TRACE(::testing::Message() << "k=" << from << ".." << to);
    TreeMeasure quick, counted;
    counted.quickBound = false;
    std::vector<int64_t> expected, covered;
    EXPECT_TRUE(residueSearchMeasured(*t, from, to, 1, expected, quick));
    EXPECT_TRUE(residueSearchMeasured(*t, from, to, 1, covered, counted));
    EXPECT_EQ(covered, expected);
    EXPECT_TRUE(sameCounts(quick.levels, counted.levels));
    bounding += std::any_of(quick.levels.begin(), quick.levels.end(), [](auto& level) { return level.bounded > 0; });
  }
  EXPECT_GT(bounding, size_t(rounds) / 5);
}

// A prime's class of exponents marked by its mask, a word at a time, is the class
// marked bit by bit, over bits already set, for every prime of generated tables at
// long periods (periods up to 64 masked, the longer ones bit by bit).
TEST(ResidueTreeTest, AClassMarkedByItsMaskIsTheClassMarkedBitByBit) {
  std::mt19937_64 random(64);
  const int32_t periods[] = {144, 720, 2520, 5040};
  size_t masked = 0;
  for (int round = 0; round < 12; ++round) {
    std::optional<SieveTables> t =
        tablesOf(int32_t(random() % 999999999) + 2, random() % 2 ? 1 : -1, periods[round % 4], 100000, 1);
    if (!t || !t->searchable) continue;
    const tree::TreeTables tree(*t, 1, 1000000);
    for (uint32_t j = 0; j < tree.m; ++j)
      for (int tries = 0; tries < 4; ++tries) {
        const uint32_t n = uint32_t(random() % tree.period);
        std::vector<uint64_t> fast(tree.words, 0);
        fast[0] = random();
        std::vector<uint64_t> plain = fast;
        tree.markClass(fast.data(), n, j);
        markExponentClass(plain.data(), n % tree.d[j] + 1, tree.d[j], tree.period);
        EXPECT_EQ(fast, plain) << "p=" << tree.p[j] << " d=" << tree.d[j] << " n=" << n;
        masked += tree.d[j] <= 64;
      }
  }
  EXPECT_GT(masked, 100u);
}

TEST(ResidueTreeTest, CostEstimatesArePositiveAndGrowWithTheWidth) {
  const SieveTables tables = *tablesOf(7, 1, 144, 100000, 1);
  const double narrow = residueCostEstimate(tables, 1, 1000000), wide = residueCostEstimate(tables, 1, 1000000000000);
  EXPECT_TRUE(std::isfinite(narrow) && narrow > 0);
  EXPECT_GT(wide, narrow);
  const double perK = sieveCostPerK(tables, 1);
  EXPECT_TRUE(std::isfinite(perK) && perK > 0);
}

}  // namespace
