// Building the tables of the residue tree for one range (tree_tables.h): per prime its
// residues at every exponent, its exponent classes for the counting bound, and the
// inverses of the primes modulo each other by Montgomery's batch inversion, one
// Euclid per prime instead of one per pair.
#include "tree_tables.h"

#include <algorithm>

#include "modular.h"

namespace tree {
namespace {

constexpr uint64_t kListBelow = 4096;    // a class of at most this many k is sieved (or 1024 per prime, if more)
constexpr uint64_t kListPerPrime = 1024;
constexpr size_t kPairTableLimit = 2048; // primes up to which their inverses modulo each other are tabled

// A node costs more with more primes (a residue, a bound term and a child test for
// each), a sieved k far less: long lists of primes sieve larger classes.
Knobs withDefaults(Knobs knobs, size_t primes) {
  if (knobs.listBelow == 0) knobs.listBelow = std::max<uint64_t>(kListBelow, kListPerPrime * primes);
  return knobs;
}

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

// The order in which a node tries its children. For a prime q with q^a exactly
// dividing the period P, the q exponents n + i*P/q (i < q), the lifts of n mod P/q,
// differ modulo q^a; a prime whose period d holds q^a covers one class mod d and so
// at most one of them, while one whose period holds a lower power of q divides P/q
// and covers all of them or none. Where the latter come first, they are excluded at
// the branch exponent n below every child of the former, and there the other q - 1
// lifts of n need as many more primes of the former kind, each covering one: a thin
// subtree. So the primes high for the largest q come after every prime low for it,
// and among primes alike for it the same holds for the next largest q, and so on:
// the primes are ordered by the set of q they are high for, read as a number whose
// highest digit is the largest q (by the product of those q, a prime high for 7 alone
// came before one high for 2, 3 and 5, which then was not excluded at its lifts).
// Any order finds the same k: the children of a node hold every covered k of its class
// whatever the order (each such k is covered at the branch exponent by some free prime,
// and lies in the child of the first of them in that order, where no earlier one is
// excluded), so the order changes the nodes alone.
void orderChildren(TreeTables& t) {
  t.highFor.assign(t.m, 0);
  uint32_t rest = t.period;
  for (uint32_t q = 2; q <= rest; ++q) {
    if (rest % q != 0) continue;
    uint32_t power = 1;
    while (rest % q == 0) rest /= q, power *= q;
    const uint32_t bit = uint32_t(1) << t.liftSteps.size();
    t.liftPrimes.push_back(q), t.liftSteps.push_back(t.period / q);
    for (uint32_t j = 0; j < t.m; ++j)
      if (t.d[j] % power == 0) t.highFor[j] |= bit;
  }
  t.childOrder.resize(t.m);
  for (uint32_t j = 0; j < t.m; ++j) t.childOrder[j] = j;
  if (t.knobs.liftOrder)
    std::stable_sort(t.childOrder.begin(), t.childOrder.end(),
                     [&](uint32_t a, uint32_t b) { return t.highFor[a] < t.highFor[b]; });
  t.rank.resize(t.m);
  for (uint32_t at = 0; at < t.m; ++at) t.rank[t.childOrder[at]] = at;
  t.highOrder.assign(t.liftPrimes.size(), {});
  for (uint32_t q = 0; q < t.liftPrimes.size(); ++q)
    for (uint32_t j : t.childOrder)
      if ((t.highFor[j] >> q & 1) != 0) t.highOrder[q].push_back(j);
}

}  // namespace

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
  placeOf.resize(period);
  for (uint32_t at = 0; at < order.size(); ++at) placeOf[order[at]] = at;
  for (uint32_t j = 0; j < m; ++j) {
    share.push_back(period / d[j]);
    uint64_t pattern = 0;
    for (uint32_t c = 0; p[j] < 64 && c < 64; c += p[j]) pattern |= uint64_t(1) << c;
    smallPattern.push_back(pattern);
  }
  // A class is split only while it holds two k or more, so its modulus stays below the
  // width: a path holds at most the primes whose smallest product stays below it.
  std::vector<uint32_t> ascending = p;
  std::sort(ascending.begin(), ascending.end());
  u128 product = 1;
  while (levels < m && product < width) product *= ascending[levels++];
  levels += 2;
  tablePairInverses(*this);
  tableClasses(*this);
  orderChildren(*this);
}

}  // namespace tree
