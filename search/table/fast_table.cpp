// The streamed table phase (see fast_table.h). Per prime: one remainder of b, the
// gcd of P and p - 1 from the prime factors of P, and a short modular power; the
// exact order only for the primes that pass, which are few.
#include "fast_table.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <numeric>

#include "factor_table.h"
#include "modular.h"
#include "primegen.h"

namespace {

// What the test of one prime needs of P and b: P's distinct primes, the pieces of a
// gcd with P without division, and b^g - 1 for the divisors g of P where it fits in
// 64 bits: a prime above b^g - 1 cannot divide it, which settles most primes for a
// small base without any arithmetic modulo p.
struct PeriodFactors {
  std::vector<uint32_t> primes;       // the distinct primes of P
  uint32_t twos = 0;                  // the exponent of 2 in P
  std::vector<uint64_t> baseMinusOne; // [g]: b^g - 1, or 0 when it exceeds 64 bits
  uint32_t odd = 1;                   // the odd part of P
  uint64_t oddMagic = 0;              // ceil(2^64 / odd), for m mod odd by multiplication
  std::vector<uint16_t> oddGcd;       // [m mod odd]: gcd(odd, m)
  std::vector<uint32_t> divisors;     // the divisors of P, ascending
  std::vector<uint8_t> divisorIndex;  // [g]: the position of the divisor g in `divisors` (at most 120 of P <= 65520)
};

uint32_t inverseMod2to32(uint32_t d) {
  uint32_t x = (3 * d) ^ 2;  // correct to 5 bits for odd d; each step doubles the bits
  for (int i = 0; i < 3; ++i) x *= 2 - d * x;
  return x;
}

PeriodFactors periodFactorsOf(uint32_t period, uint32_t base) {
  PeriodFactors f;
  uint32_t n = period;
  for (; n % 2 == 0; n /= 2) ++f.twos;
  if (f.twos > 0) f.primes.push_back(2);
  for (uint32_t q = 3; n > 1; q += 2) {
    if (q * q > n) q = n;
    if (n % q != 0) continue;
    f.primes.push_back(q);
    while (n % q == 0) n /= q;
  }
  f.odd = period >> f.twos;
  f.oddMagic = UINT64_MAX / f.odd + 1;
  for (uint32_t m = 0; m < f.odd; ++m) f.oddGcd.push_back(static_cast<uint16_t>(std::gcd(f.odd, m)));
  f.divisorIndex.assign(period + 1, 0);
  for (uint32_t g = 1; g <= period; ++g)
    if (period % g == 0) f.divisorIndex[g] = static_cast<uint8_t>(f.divisors.size()), f.divisors.push_back(g);
  f.baseMinusOne.assign(period + 1, 0);
  // b^(g+1) - 1 = (b^g - 1) * b + (b - 1), kept while it fits in 64 bits.
  const uint64_t b = base;
  uint64_t powerMinusOne = b - 1;
  for (uint32_t g = 1; g <= period; ++g) {
    f.baseMinusOne[g] = powerMinusOne;
    if (powerMinusOne > (UINT64_MAX - (b - 1)) / b) break;
    powerMinusOne = powerMinusOne * b + (b - 1);
  }
  return f;
}

// gcd(P, m) for m > 0: the power of 2 from the trailing zeros, the odd part from a
// table indexed by m mod odd(P), the remainder taken by multiplication (for 32-bit m
// and a 64-bit magic ceil(2^64 / d), the high word of (magic * m mod 2^64) * d is m mod d).
inline uint32_t gcdWithPeriod(const PeriodFactors& f, uint32_t m) {
  uint64_t fraction = f.oddMagic * m;
  // The high word of a 64 x 32-bit product, from two 32 x 32-bit halves.
  const uint64_t low = (fraction & UINT32_MAX) * f.odd, high = (fraction >> 32) * f.odd;
  uint32_t residue = static_cast<uint32_t>((high + (low >> 32)) >> 32);
  return uint32_t(f.oddGcd[residue]) << std::min<uint32_t>(f.twos, std::countr_zero(m));
}

// The exact order of x modulo p, given that it divides g: the prime factors of P are
// taken out of g while the power stays 1.
uint32_t exactOrder(uint32_t x, uint32_t p, uint32_t g, const PeriodFactors& f) {
  for (uint32_t q : f.primes)
    while (g % q == 0 && powMod(x, g / q, p) == 1) g /= q;
  return g;
}

// Tests b^g = 1 (mod p) for batches of primes that share g. Each test is a chain of
// dependent multiplications; running eight chains with the same exponent side by side
// keeps the multipliers busy instead of waiting on each product, with no branch on
// the exponent's bits. Montgomery reduction with R = 2^32 avoids division inside the
// chains (p < 2^30, so every intermediate fits in 64 bits).
class PowerBatches {
 public:
  static constexpr int kSize = 8;

  explicit PowerBatches(const PeriodFactors& f) : f_(f), batches_(f.divisors.size()) {}

  // Examines the prime p: queues it unless it divides b or b - 1 (x = b mod p <= 1)
  // or lies above b^g - 1, which it then cannot divide.
  void examine(uint32_t p, uint32_t base, std::vector<FactorPeriod>& out) {
    const uint32_t x = p > base ? base : base % p;
    const uint32_t g = gcdWithPeriod(f_, p - 1);
    const uint64_t known = f_.baseMinusOne[g];
    add((x > 1) & ((known == 0) | (known >= p)), p, x, g, out);
  }
  void finishAll(std::vector<FactorPeriod>& out) {
    for (uint32_t g : f_.divisors)
      if (batches_[f_.divisorIndex[g]].count > 0) finish(g, out);
  }

 private:
  // Queues p (x = b mod p, g = gcd(P, p - 1)) when `wanted`; qualifying primes reach
  // `out` later. The entry is stored either way and only counted when wanted, which
  // spares an unpredictable branch per prime.
  void add(bool wanted, uint32_t p, uint32_t x, uint32_t g, std::vector<FactorPeriod>& out) {
    Batch& batch = batches_[f_.divisorIndex[g]];
    batch.p[batch.count] = p, batch.x[batch.count] = x;
    batch.count += wanted;
    if (batch.count == kSize) finish(g, out);
  }
  struct Batch {
    int count = 0;
    uint32_t p[kSize + 1], x[kSize + 1];  // one spare entry for the unwanted stores
  };
  void finish(uint32_t g, std::vector<FactorPeriod>& out);

  const PeriodFactors& f_;
  std::vector<Batch> batches_;  // one per divisor g of P
};

// x * 2^32 mod p, the Montgomery form of x. The quotient comes from a floating-point
// reciprocal, which pipelines far better than an integer division: for p >= 2^11 the
// error of the product is below one half, so the quotient is off by at most one.
inline uint32_t timesRModP(uint32_t x, uint32_t p) {
  const uint64_t n = uint64_t(x) << 32;
  if (p < (1u << 11)) return static_cast<uint32_t>(n % p);
  const uint64_t q = static_cast<uint64_t>(double(n) * (1.0 / double(p)));
  int64_t r = static_cast<int64_t>(n - q * p);
  if (r < 0) r += p;
  else if (r >= int64_t(p)) r -= p;
  return static_cast<uint32_t>(r);
}

// The chains of one batch: x^g in Montgomery form (xR), one reduction out of it at
// the end, so only the conversion into the form needs a division. With the batch size
// known at compile time the compiler interleaves the chains fully.
template <int Count>
void powerChains(uint32_t g, const uint32_t* p, const uint32_t* x, int count, bool* isOne) {
  const int n = Count > 0 ? Count : count;
  uint32_t negInverse[PowerBatches::kSize], xr[PowerBatches::kSize], r[PowerBatches::kSize];
  for (int i = 0; i < n; ++i) {
    negInverse[i] = 0u - inverseMod2to32(p[i]);
    xr[i] = r[i] = timesRModP(x[i], p[i]);
  }
  auto reduce = [&](uint64_t t, int i) {
    uint32_t m = uint32_t(t) * negInverse[i];
    uint64_t u = (t + uint64_t(m) * p[i]) >> 32;
    return static_cast<uint32_t>(u >= p[i] ? u - p[i] : u);
  };
  for (int bit = 30 - std::countl_zero(g); bit >= 0; --bit) {
    for (int i = 0; i < n; ++i) r[i] = reduce(uint64_t(r[i]) * r[i], i);
    if ((g >> bit) & 1)
      for (int i = 0; i < n; ++i) r[i] = reduce(uint64_t(r[i]) * xr[i], i);
  }
  for (int i = 0; i < n; ++i) isOne[i] = reduce(r[i], i) == 1;
}

void PowerBatches::finish(uint32_t g, std::vector<FactorPeriod>& out) {
  Batch& batch = batches_[f_.divisorIndex[g]];
  bool isOne[kSize];
  if (batch.count == kSize) powerChains<kSize>(g, batch.p, batch.x, kSize, isOne);
  else powerChains<0>(g, batch.p, batch.x, batch.count, isOne);
  for (int i = 0; i < batch.count; ++i)
    if (isOne[i]) out.push_back({batch.p[i], exactOrder(batch.x[i], batch.p[i], g, f_)});
  batch.count = 0;
}

}  // namespace

std::vector<int32_t> factorBaseMinusOne(int32_t base) {
  std::vector<int32_t> factors;
  int32_t m = base - 1;
  for (int32_t q = 2; int64_t(q) * q <= m; ++q) {
    if (m % q != 0) continue;
    factors.push_back(q);
    while (m % q == 0) m /= q;
  }
  if (m > 1) factors.push_back(m);
  return factors;
}

uint32_t periodDividing(uint32_t p, uint32_t base, uint32_t period) {
  const PeriodFactors f = periodFactorsOf(period, base);
  PowerBatches batches(f);
  std::vector<FactorPeriod> found;
  batches.examine(p, base, found);
  batches.finishAll(found);
  return found.empty() ? 0 : found[0].period;
}

std::optional<CandidateTable> buildFactorTableFast(const SearchParams& params, pelund::Observer& observer,
                                                   const StopToken& stop, uint32_t* stoppedAt) {
  checkTablePeriod(params.period);
  const uint32_t maxFact = static_cast<uint32_t>(params.maxFact);
  const uint32_t base = static_cast<uint32_t>(params.base);
  const uint32_t step = observer.loadingStep();
  const PeriodFactors periodFactors = periodFactorsOf(static_cast<uint32_t>(params.period), base);
  CandidateTable table;
  table.baseMinusOneFactors = factorBaseMinusOne(params.base);

  auto generator = std::make_unique<primegen>();  // large record: on the heap
  primegen_init(generator.get());
  PowerBatches batches(periodFactors);
  uint32_t p = static_cast<uint32_t>(primegen_next(generator.get()));
  while (p < maxFact) {
    const uint32_t q = static_cast<uint32_t>(primegen_next(generator.get()));
    if (const uint32_t multiple = loadingMultiple(p, q, maxFact, step)) observer.loading(multiple);
    if (stop.stopRequested()) {
      if (stoppedAt != nullptr) *stoppedAt = p;
      return std::nullopt;
    }
    batches.examine(p, base, table.factorPeriodList);
    p = q;
  }
  batches.finishAll(table.factorPeriodList);
  std::sort(table.factorPeriodList.begin(), table.factorPeriodList.end(),
            [](const FactorPeriod& a, const FactorPeriod& b) { return a.factor < b.factor; });

  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, params.period);
  return table;
}
