// The block sieve of the fast k walk (see cover_sieve.h for the mathematics).
//
// Cost per block: for each exponent sieved, one pass over the block's bitmap per
// prime below 64 (one word OR per 64 k) and one bit store per hit of the larger
// primes, then one AND; the skip patterns are applied once. Survivors are followed
// one by one once that is cheaper than another pass, so the per-k cost does not grow
// with the period or with the number of exponents.
#include "cover_sieve.h"

#include <algorithm>
#include <bit>
#include <numeric>

#include "modular.h"

namespace {

constexpr uint32_t kPatternLimit = 64;  // primes below this use word patterns
constexpr size_t kResidueRows = 64;     // exponents tested by scans before the full check
constexpr size_t kGreedyPicks = 24;

// Word patterns of the classes mod q < 64: word u of residue r has bit i set exactly
// when 64u + i = r (mod q); since 64q = 0 (mod q) the words repeat with period q.
std::vector<uint64_t> residuePatterns(uint32_t q) {
  std::vector<uint64_t> patterns(size_t(q) * q, 0);
  for (uint32_t u = 0; u < q; ++u)
    for (uint32_t i = 0; i < 64; ++i) patterns[size_t((64 * u + i) % q) * q + u] |= uint64_t(1) << i;
  return patterns;
}

SievePrime makeModulus(uint32_t q, uint32_t d, std::vector<uint32_t> residues) {
  SievePrime sp;
  sp.p = q;
  sp.d = d;
  sp.classResidue = std::move(residues);
  std::vector<uint32_t> order(sp.classResidue.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return sp.classResidue[a] < sp.classResidue[b]; });
  for (uint32_t index : order) {
    sp.sortedResidue.push_back(sp.classResidue[index]);
    sp.sortedClass.push_back(static_cast<uint16_t>(index + 1));
  }
  if (q < kPatternLimit) sp.patterns = residuePatterns(q);
  return sp;
}

// The residue of k mod p for each first hit e = 1..d: t_e = -c * b^(-e) mod p.
std::vector<uint32_t> classResidues(uint32_t p, uint32_t d, int32_t base, int32_t c) {
  uint32_t inverse = powMod(uint32_t(base) % p, p - 2, p);
  std::vector<uint32_t> residues(d);
  uint32_t power = 1;
  for (uint32_t e = 1; e <= d; ++e) {
    power = mulMod(power, inverse, p);
    residues[e - 1] = static_cast<uint32_t>(c == 1 ? p - power : power);
  }
  return residues;
}

// Sets (Clear: clears) the bits of the k = r (mod q) in a block whose bit 0 is the k
// with k mod q = baseResidue and (k / 64) mod q = wordPhase.
template <bool Clear>
void markResidue(uint64_t* bits, int words, const SievePrime& q, uint32_t r, uint32_t baseResidue,
                 uint32_t wordPhase) {
  if (!q.patterns.empty()) {
    const uint64_t* row = &q.patterns[size_t(r) * q.p];
    const uint32_t period = q.p;
    uint32_t u = wordPhase;
    for (int w = 0; w < words; ++w) {
      if constexpr (Clear) bits[w] &= ~row[u];
      else bits[w] |= row[u];
      u = u + 1 == period ? 0 : u + 1;
    }
    return;
  }
  uint64_t end = uint64_t(words) * 64;
  uint64_t position = r >= baseResidue ? r - baseResidue : uint64_t(r) + q.p - baseResidue;
  for (; position < end; position += q.p) {
    if constexpr (Clear) bits[position >> 6] &= ~(uint64_t(1) << (position & 63));
    else bits[position >> 6] |= uint64_t(1) << (position & 63);
  }
}

}  // namespace

SievePrime makeSievePrime(uint32_t q, uint32_t d, std::vector<uint32_t> residues) {
  return makeModulus(q, d, std::move(residues));
}

uint32_t SievePrime::classOf(uint32_t t) const {
  auto at = std::lower_bound(sortedResidue.begin(), sortedResidue.end(), t);
  if (at == sortedResidue.end() || *at != t) return 0;
  return sortedClass[at - sortedResidue.begin()];
}

SieveTables::SieveTables(const SearchParams& params, const CandidateTable& table) : period(params.period) {
  for (const FactorPeriod& pair : table.periodOrderedList)
    primes.push_back(makeModulus(pair.factor, pair.period, classResidues(pair.factor, pair.period, params.base, params.c)));
  skips.push_back(makeModulus(static_cast<uint32_t>(params.base), 1, {0}));
  for (int32_t f : table.baseMinusOneFactors) {
    uint32_t q = static_cast<uint32_t>(f);
    skips.push_back(makeModulus(q, 1, {params.c == 1 ? q - 1 : 1 % q}));
  }
  complete(params.minK);
}

SieveTables::SieveTables(int32_t period_, std::vector<SievePrime> primes_, std::vector<SievePrime> skips_,
                         int64_t sampleFrom)
    : period(period_), primes(std::move(primes_)), skips(std::move(skips_)) {
  complete(sampleFrom);
}

void SieveTables::complete(int64_t sampleFrom) {
  searchable = primes.size() >= 2;

  // Rough costs in simple operations: a sieved exponent costs a word pass per pattern
  // prime and a bit store per hit of the others; a survivor costs a division per prime.
  classCost = 3;
  for (const SievePrime& sp : primes) classCost += sp.p < kPatternLimit ? 1.5 : 64.0 / sp.p;
  survivorCost = 4.0 * double(primes.size());

  classOrder.resize(period);
  std::iota(classOrder.begin(), classOrder.end(), 1u);
  if (searchable) classOrder = BlockSieve(*this).greedyOrder(sampleFrom, period <= 1000 ? 256 : 32, kGreedyPicks);
  tableRows();
}

void SieveTables::tableRows() {
  rowCount = std::min(kResidueRows, classOrder.size());
  residueRows.resize(rowCount * primes.size());
  for (size_t i = 0; i < rowCount; ++i)
    for (size_t j = 0; j < primes.size(); ++j)
      residueRows[i * primes.size() + j] = primes[j].classResidue[(classOrder[i] - 1) % primes[j].d];
}

SieveTables shiftedSieveTables(const SieveTables& tables, const std::function<uint32_t(uint32_t)>& originMod) {
  SieveTables shifted = tables;
  const auto shift = [&](std::vector<SievePrime>& moduli) {
    for (SievePrime& sp : moduli) {
      const uint32_t q = sp.p, o = originMod(q);
      std::vector<uint32_t> residues = sp.classResidue;
      for (uint32_t& r : residues) r = r >= o ? r - o : r + (q - o);
      sp = makeModulus(q, sp.d, std::move(residues));
    }
  };
  shift(shifted.primes);
  shift(shifted.skips);
  shifted.tableRows();
  return shifted;
}

void firstHits(const SieveTables& tables, int64_t k, std::vector<uint32_t>& hits) {
  hits.resize(tables.primes.size());
  for (size_t j = 0; j < tables.primes.size(); ++j) {
    const SievePrime& sp = tables.primes[j];
    hits[j] = sp.classOf(static_cast<uint32_t>(uint64_t(k) % sp.p));
  }
}

BlockSieve::BlockSieve(const SieveTables& tables, StopToken stop)
    : tables_(tables),
      stop_(stop),
      baseResidue_(tables.primes.size()),
      wordPhase_(tables.primes.size()),
      survivors_(kBlockSpan / 64 + 1),
      hitsAtClass_(kBlockSpan / 64 + 1),
      coverage_((tables.period + 63) / 64),
      residues_(tables.primes.size()) {}

void BlockSieve::startBlock(int64_t from, int64_t to) {
  base_ = from & ~int64_t(63);
  words_ = static_cast<int>(((to - base_) >> 6) + 1);
  std::fill_n(survivors_.begin(), words_, ~uint64_t(0));
  survivors_[0] &= ~uint64_t(0) << (from - base_);
  int lastBit = static_cast<int>((to - base_) & 63);
  if (lastBit < 63) survivors_[words_ - 1] &= (uint64_t(2) << lastBit) - 1;

  for (const SievePrime& skip : tables_.skips) {
    uint32_t residue = static_cast<uint32_t>(uint64_t(base_) % skip.p);
    uint32_t phase = static_cast<uint32_t>((uint64_t(base_) >> 6) % skip.p);
    markResidue<true>(survivors_.data(), words_, skip, skip.classResidue[0], residue, phase);
  }
  for (size_t j = 0; j < tables_.primes.size(); ++j) {
    uint32_t p = tables_.primes[j].p;
    baseResidue_[j] = static_cast<uint32_t>(uint64_t(base_) % p);
    if (p < kPatternLimit) wordPhase_[j] = static_cast<uint32_t>((uint64_t(base_) >> 6) % p);
  }
}

// The k of the block for which some prime divides k*b^n + c, into hitsAtClass_. The
// pattern of a prime below 64 repeats every p words: it is laid out once from the
// block's phase and then ORed over the block p words at a time (a loop the compiler
// vectorizes). This and keepMarked are the hot loops of the walk.
void BlockSieve::markClass(uint32_t n) {
  std::fill_n(hitsAtClass_.begin(), words_, 0);
  uint64_t* bits = hitsAtClass_.data();
  uint64_t rotated[kPatternLimit];
  for (size_t j = 0; j < tables_.primes.size(); ++j) {
    const SievePrime& sp = tables_.primes[j];
    const uint32_t r = sp.classResidue[(n - 1) % sp.d];
    if (sp.patterns.empty()) {
      markResidue<false>(bits, words_, sp, r, baseResidue_[j], 0);
      continue;
    }
    const uint32_t q = sp.p;
    const uint64_t* row = &sp.patterns[size_t(r) * q];
    for (uint32_t i = 0, u = wordPhase_[j]; i < q; ++i, u = u + 1 == q ? 0 : u + 1) rotated[i] = row[u];
    int w = 0;
    for (; w + int(q) <= words_; w += int(q))
      for (uint32_t i = 0; i < q; ++i) bits[w + i] |= rotated[i];
    for (uint32_t i = 0; w + int(i) < words_; ++i) bits[w + i] |= rotated[i];
  }
}

// Keeps the survivors marked in hitsAtClass_; returns how many remain.
// Both counting loops get a popcnt clone where the object format can pick it at load
// time (ELF ifunc); elsewhere (Windows) the portable code alone.
#if defined(__GNUC__) && defined(__ELF__) && defined(__x86_64__)
#define PELUND_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define PELUND_POPCNT_CLONES
#endif

PELUND_POPCNT_CLONES int64_t BlockSieve::keepMarked() {
  int64_t remaining = 0;
  for (int w = 0; w < words_; ++w) remaining += std::popcount(survivors_[w] &= hitsAtClass_[w]);
  return remaining;
}

namespace {

PELUND_POPCNT_CLONES int64_t countBoth(const uint64_t* a, const uint64_t* b, int words) {
  int64_t count = 0;
  for (int w = 0; w < words; ++w) count += std::popcount(a[w] & b[w]);
  return count;
}

}  // namespace

// Each exponent's hits in the sample are marked once; every pick then only counts
// what they leave of the survivors, so the picks cost a pass over bits, not a marking.
std::vector<uint32_t> BlockSieve::greedyOrder(int64_t sampleStart, int words, size_t picks) {
  std::vector<uint32_t> rest(tables_.period);
  std::iota(rest.begin(), rest.end(), 1u);
  std::vector<uint32_t> order;
  startBlock(sampleStart & ~int64_t(63), (sampleStart & ~int64_t(63)) + 64 * int64_t(words) - 1);
  std::vector<uint64_t> kept(survivors_.begin(), survivors_.begin() + words_);
  const size_t width = size_t(words_);
  std::vector<uint64_t> hits(rest.size() * width);
  std::vector<size_t> at(rest.size());  // where the hits of rest[i] stand in `hits`
  for (size_t i = 0; i < rest.size(); ++i) {
    markClass(rest[i]);
    std::copy_n(hitsAtClass_.begin(), width, hits.begin() + std::ptrdiff_t(i * width));
    at[i] = i * width;
  }
  for (size_t pick = 0; pick < picks && !rest.empty(); ++pick) {
    size_t best = 0;
    int64_t bestCount = INT64_MAX;
    for (size_t i = 0; i < rest.size(); ++i) {
      const int64_t count = countBoth(kept.data(), hits.data() + at[i], words_);
      if (count < bestCount) bestCount = count, best = i;
    }
    for (size_t w = 0; w < width; ++w) kept[w] &= hits[at[best] + w];
    order.push_back(rest[best]);
    rest.erase(rest.begin() + std::ptrdiff_t(best));
    at.erase(at.begin() + std::ptrdiff_t(best));
    if (bestCount == 0) break;
  }
  order.insert(order.end(), rest.begin(), rest.end());
  return order;
}

// Whether the survivor at `offset` in the block is covered at the exponents of rows
// firstRow.. and then at every exponent.
bool BlockSieve::survives(uint64_t offset, size_t firstRow) {
  const size_t m = tables_.primes.size();
  for (size_t j = 0; j < m; ++j) {
    uint64_t t = baseResidue_[j] + offset;
    uint32_t p = tables_.primes[j].p;
    residues_[j] = static_cast<uint32_t>(t < p ? t : t % p);
  }
  for (size_t row = firstRow; row < tables_.rowCount; ++row) {
    const uint32_t* residues = &tables_.residueRows[row * m];
    size_t j = 0;
    while (j < m && residues_[j] != residues[j]) ++j;
    if (j == m) return false;
  }
  return coversAll();
}

// Whether the residues in residues_ cover every exponent 1..P.
bool BlockSieve::coversAll() {
  std::fill(coverage_.begin(), coverage_.end(), 0);
  const uint32_t period = static_cast<uint32_t>(tables_.period);
  for (size_t j = 0; j < tables_.primes.size(); ++j)
    if (uint32_t e = tables_.primes[j].classOf(residues_[j]); e != 0)
      markExponentClass(coverage_.data(), e, tables_.primes[j].d, period);
  return coversEveryExponent(coverage_.data(), period);
}

bool BlockSieve::sieve(int64_t from, int64_t to, std::vector<int64_t>& covered) {
  startBlock(from, to);
  if (!tables_.searchable) return true;
  size_t sieved = 0;
  const double classCost = tables_.classCost * words_;
  for (; sieved < tables_.classOrder.size(); ++sieved) {
    if (stop_.stopRequested()) return false;
    markClass(tables_.classOrder[sieved]);
    int64_t remaining = keepMarked();
    if (remaining == 0) return true;
    if (double(remaining) * tables_.survivorCost < classCost && sieved + 1 < tables_.rowCount) {
      ++sieved;  // cheaper now to follow the survivors one by one
      break;
    }
  }
  for (int w = 0; w < words_; ++w) {
    for (uint64_t word = survivors_[w]; word != 0; word &= word - 1) {
      uint64_t offset = 64 * uint64_t(w) + std::countr_zero(word);
      if (sieved == tables_.classOrder.size() || survives(offset, sieved))
        covered.push_back(base_ + int64_t(offset));
    }
  }
  return true;
}
