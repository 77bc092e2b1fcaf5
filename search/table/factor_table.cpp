// The table phase, straightforwardly: all primes up to M are buffered from the
// generator first, which gives the examination its look-ahead to the next prime for
// the progress display; b-1 is factored by trial division with a second generator
// pass; the period of each prime is found by at most P modular multiplications in
// 64-bit arithmetic (b and p are at most 10^9, so every product is below 10^18).
#include "factor_table.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "primegen.h"

uint32_t primeBufferCapacity(int32_t maxFact) {
  const double m = maxFact;
  return static_cast<uint32_t>(m / std::log(m) * 1.15 + 10.0);
}

std::vector<uint32_t> bufferPrimes(uint32_t maxFact, primegen* generator) {
  std::vector<uint32_t> primes;
  try {
    primes.reserve(primeBufferCapacity(static_cast<int32_t>(maxFact)));
  } catch (const std::bad_alloc&) {
    throw pelund::Error("not enough memory for the prime buffer of " +
                        std::to_string(primeBufferCapacity(static_cast<int32_t>(maxFact))) + " entries (factor bound " +
                        std::to_string(maxFact) + ")");
  }
  primegen_init(generator);
  primes.push_back(static_cast<uint32_t>(primegen_next(generator)));
  while (primes.back() <= maxFact) primes.push_back(static_cast<uint32_t>(primegen_next(generator)));
  return primes;
}

std::vector<int32_t> primeFactorsOfBaseMinusOne(int32_t base, primegen* generator) {
  std::vector<int32_t> factors;
  primegen_init(generator);
  int32_t m = base - 1;
  int64_t p = 0;
  do {
    p = static_cast<int64_t>(primegen_next(generator));
    if (m % p == 0) {
      factors.push_back(static_cast<int32_t>(p));
      while (m > 0 && m % p == 0) m = static_cast<int32_t>(m / p);
    }
  } while (m > p);
  return factors;
}

uint32_t periodOf(uint32_t p, int32_t base, int32_t period) {
  uint64_t x = 1;
  for (int32_t e = 1; e <= period; ++e) {
    x = x * static_cast<uint64_t>(base) % p;
    if (x == 1) return static_cast<uint32_t>(e);
  }
  return 0;
}

std::vector<FactorPeriod> regroupByPeriod(const std::vector<FactorPeriod>& factorPeriodList, int32_t period) {
  // A stable sort by period (one pass per period would cost P passes over the list).
  std::vector<FactorPeriod> ordered;
  for (const FactorPeriod& pair : factorPeriodList)
    if (pair.period >= 2 && pair.period <= static_cast<uint32_t>(period)) ordered.push_back(pair);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const FactorPeriod& a, const FactorPeriod& b) { return a.period < b.period; });
  return ordered;
}

void checkTablePeriod(int32_t period) {
  if (period > kTablePeriodLimit)
    throw pelund::Error("period cannot be greater than " + std::to_string(kTablePeriodLimit));
}

uint32_t loadingMultiple(uint32_t p, uint32_t q, uint32_t maxFact, uint32_t step) {
  if (step == 0 || q / step <= p / step || maxFact / step <= p / step) return 0;
  return q / step * step;
}

std::optional<CandidateTable> buildFactorTable(const SearchParams& params, pelund::Observer& observer,
                                               const StopToken& stop, uint32_t* stoppedAt) {
  checkTablePeriod(params.period);
  const uint32_t maxFact = static_cast<uint32_t>(params.maxFact);
  const uint32_t base = static_cast<uint32_t>(params.base);
  // The generator's record is large; it lives on the heap, not the stack.
  auto generator = std::make_unique<primegen>();
  std::vector<uint32_t> primeBuffer = bufferPrimes(maxFact, generator.get());
  CandidateTable table;
  table.baseMinusOneFactors = primeFactorsOfBaseMinusOne(params.base, generator.get());

  const uint32_t step = observer.loadingStep();
  for (std::size_t i = 0; primeBuffer[i] < maxFact; ++i) {
    const uint32_t p = primeBuffer[i];
    if (const uint32_t multiple = loadingMultiple(p, primeBuffer[i + 1], maxFact, step)) observer.loading(multiple);
    if (stop.stopRequested()) {
      if (stoppedAt != nullptr) *stoppedAt = p;
      return std::nullopt;
    }
    if (base % p == 0 || (base - 1) % p == 0) continue;
    const uint32_t e = periodOf(p, params.base, params.period);
    if (e != 0 && params.period % e == 0) table.factorPeriodList.push_back({p, e});
  }
  primeBuffer = {};

  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, params.period);
  return table;
}

CandidateTable buildFactorTable(const SearchParams& params) {
  pelund::Observer quiet;
  return *buildFactorTable(params, quiet, StopToken{});
}
