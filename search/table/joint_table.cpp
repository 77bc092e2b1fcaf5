// The joint table phase of many bases (see joint_table.h).
#include "joint_table.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <utility>

#include "factor_table.h"
#include "fast_table.h"
#include "modular.h"
#include "primegen.h"

namespace {

std::vector<uint32_t> distinctPrimes(uint32_t n) {
  std::vector<uint32_t> primes;
  for (uint32_t q = 2; q * q <= n; ++q) {
    if (n % q != 0) continue;
    primes.push_back(q);
    while (n % q == 0) n /= q;
  }
  if (n > 1) primes.push_back(n);
  return primes;
}

// An element of order exactly g modulo p (g | p - 1): a^((p-1)/g) for the first a
// whose power has no order g/q for any prime q of g.
uint32_t rootOfOrder(uint32_t g, uint32_t p, const std::vector<uint32_t>& primesOfG) {
  for (uint32_t a = 2;; ++a) {
    const uint32_t z = powMod(a, (p - 1) / g, p);
    bool exact = true;
    for (uint32_t q : primesOfG) exact = exact && powMod(z, g / q, p) != 1;
    if (exact) return z;
  }
}

// Where the bases stand, for the lookup of a residue: an index over 0 .. the largest
// base when that is small, else a sorted search.
class BaseIndex {
 public:
  explicit BaseIndex(const std::vector<int32_t>& bases) : bases_(bases) {
    if (bases.back() <= kDense) {
      dense_.assign(size_t(bases.back()) + 1, -1);
      for (size_t i = 0; i < bases.size(); ++i) dense_[size_t(bases[i])] = int32_t(i);
    }
  }
  // The position of base b, or -1.
  int32_t find(uint64_t b) const {
    if (b > uint64_t(bases_.back())) return -1;
    if (!dense_.empty()) return dense_[b];
    const auto at = std::lower_bound(bases_.begin(), bases_.end(), int32_t(b));
    return at != bases_.end() && uint64_t(*at) == b ? int32_t(at - bases_.begin()) : -1;
  }

 private:
  static constexpr int32_t kDense = 1 << 24;
  const std::vector<int32_t>& bases_;
  std::vector<int32_t> dense_;
};

}  // namespace

std::optional<std::vector<CandidateTable>> jointCandidateTables(const std::vector<int32_t>& bases, int32_t period,
                                                                int32_t maxFact, const StopToken& stop) {
  checkTablePeriod(period);
  std::vector<CandidateTable> tables(bases.size());
  if (bases.empty()) return tables;
  const BaseIndex index(bases);
  const uint64_t largest = uint64_t(bases.back());
  const uint32_t P = uint32_t(period);
  std::vector<std::vector<uint32_t>> primesOf(P + 1);  // [g]: the distinct primes of g, for g | P
  for (uint32_t g = 1; g <= P; ++g)
    if (P % g == 0) primesOf[g] = distinctPrimes(g);
  std::vector<std::pair<uint32_t, uint32_t>> roots;  // (root, its order), the roots other than 1

  auto generator = std::make_unique<primegen>();
  primegen_init(generator.get());
  for (uint32_t p = uint32_t(primegen_next(generator.get())); p < uint32_t(maxFact);
       p = uint32_t(primegen_next(generator.get()))) {
    if ((p & 1023) == 1 && stop.stopRequested()) return std::nullopt;
    const uint32_t g = std::gcd(P, p - 1);
    if (g == 1) continue;
    const uint32_t z = rootOfOrder(g, p, primesOf[g]);
    roots.clear();
    uint32_t x = z;
    for (uint32_t i = 1; i < g; ++i, x = mulMod(x, z, p)) roots.emplace_back(x, g / std::gcd(i, g));
    // Each base b = x (mod p) of a root x: walked from the roots, or from the bases
    // when there are fewer of them than roots times the bases' span over p.
    const uint64_t perRoot = largest / p + 1;
    if (uint64_t(g) * perRoot <= bases.size()) {
      for (const auto& [root, order] : roots)
        for (uint64_t b = root; b <= largest; b += p)
          if (const int32_t at = index.find(b); at >= 0) tables[size_t(at)].factorPeriodList.push_back({p, order});
    } else {
      std::sort(roots.begin(), roots.end());
      for (size_t i = 0; i < bases.size(); ++i) {
        const uint32_t r = uint32_t(bases[i]) % p;
        const auto at = std::lower_bound(roots.begin(), roots.end(), std::make_pair(r, uint32_t(0)));
        if (at != roots.end() && at->first == r) tables[i].factorPeriodList.push_back({p, at->second});
      }
    }
  }
  for (size_t i = 0; i < bases.size(); ++i) {
    CandidateTable& table = tables[i];
    table.baseMinusOneFactors = factorBaseMinusOne(bases[i]);
    table.periodOrderedList = regroupByPeriod(table.factorPeriodList, period);
  }
  return tables;
}
