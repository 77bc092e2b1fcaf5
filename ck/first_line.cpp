// The first line of a search (see first_line.h).
//
// For a candidate prime p of period d, p divides k*b^n + c exactly when
// k = -c*b^(-n) (mod p), a residue that repeats with d. The k one by one test the
// exponents 1 .. P in turn against these residues, most failing at one of the first
// few, so only the first few residues of each prime are ever computed; a k that
// passes gets its line from the straightforward walk of one k, the reference of every
// engine's lines. With algebraic factors a k whose terms are, on some classes of n,
// y^m +- 1 or 4y^4 + 1 gets the walk's mixed proof where no set covers it.
#include "first_line.h"

#include <algorithm>
#include <vector>

#include "algebraic.h"
#include "algebraic_walk.h"
#include "cover_set.h"
#include "cyclotomic.h"
#include "k_walk.h"
#include "modular.h"
#include "search_tables.h"
#include "u256.h"
#include "wide_search.h"

namespace {

class SmallKs {
 public:
  SmallKs(const pelund::SearchParams& params, const pelund::CandidateTable& table) : period_(params.period) {
    for (const pelund::FactorPeriod& pair : table.periodOrderedList) {
      const uint32_t p = pair.factor;
      primes_.push_back({p, pair.period, powMod(uint32_t(params.base) % p, p - 2, p), params.c == 1 ? p - 1 : 1, {}});
    }
    residues_.resize(primes_.size());
  }

  // Whether the candidates cover every exponent of k (the skip rules aside).
  bool covers(int64_t k) {
    for (size_t j = 0; j < primes_.size(); ++j) residues_[j] = uint32_t(uint64_t(k) % primes_[j].p);
    for (uint32_t n = 1; n <= uint32_t(period_); ++n) {
      bool hit = false;
      for (size_t j = 0; j < primes_.size() && !hit; ++j)
        hit = residues_[j] == primes_[j].hitAt((n - 1) % primes_[j].d + 1);
      if (!hit) return false;
    }
    return true;
  }

 private:
  struct Prime {
    uint32_t p, d, inverse, minusC;
    std::vector<uint32_t> residues;  // [e-1]: the k mod p with first hit e, as far as asked for

    // -c * b^(-e) mod p: the k for which p divides k*b^e + c.
    uint32_t hitAt(uint32_t e) {
      while (residues.size() < e) residues.push_back(mulMod(residues.empty() ? minusC : residues.back(), inverse, p));
      return residues[e - 1];
    }
  };
  int32_t period_;
  std::vector<Prime> primes_;
  std::vector<uint32_t> residues_;  // k mod each prime
};

// Keeps the first line of the walk and where the walk stands.
class FirstLineSink : public pelund::Sink {
 public:
  explicit FirstLineSink(int64_t from) : next(from) {}
  void partDone(const pelund::Part& part) override {
    if (!line && !part.ks.empty()) line = std::string(part.line(0));
    next = part.to + 1;
  }
  std::optional<std::string> line;
  int64_t next;
};

}  // namespace

bool firstLine(const pelund::SearchParams& params, const pelund::CandidateTable& table, const pelund::StopToken& stop,
               std::optional<std::string>& line, int64_t& from) {
  line.reset();
  // The search's tables, made once: for the first k with usable classes, or the walk.
  std::optional<pelund::Search> search;
  const int64_t smallEnd = params.maxK - params.minK < kSmallKs ? params.maxK : params.minK + kSmallKs - 1;
  const bool withPrimes = table.periodOrderedList.size() >= 2;
  if ((withPrimes || params.algebraic) && from <= smallEnd) {
    const int64_t last = smallEnd;
    SmallKs small(params, table);
    std::optional<ExponentSlots> slots;  // made for the first k that passes
    // With algebraic factors a k that no set covers may be proved by its classes of n
    // and the primes, as the walk proves it (algebraic_walk.h): a k covered by primes
    // keeps that line, any other with usable classes gets the mixed proof if the
    // primes cover the rest of 1..P.
    std::optional<algebraic::Algebra> algebra;
    if (params.algebraic) algebra.emplace(params.base, params.c, params.period);
    for (int64_t k = from; k <= last; ++k) {
      if (isSkipped(k, params, table)) continue;
      if (withPrimes && small.covers(k)) {
        if (!slots) slots = makeExponentSlots(params.period);
        if (const std::optional<CoverLine> cover = searchOneK(k, params, table, *slots)) {
          line = formatCoverLine(*cover);
          return true;
        }
      }
      if (!algebra) continue;
      const std::vector<algebraic::AlgebraicClass> classes = algebra->classesOf(uint64_t(k));
      if (classes.empty()) continue;
      if (!search) search.emplace(params, table);
      if (const std::optional<AlgebraicLine> proof = algebraicLineFor(search->tables().sieve, k, classes)) {
        line = formatAlgebraicLine(*proof);
        return true;
      }
    }
    if (last == params.maxK) return true;
    from = last + 1;
  }
  if (!search) search.emplace(params, table);
  if (!search->searchable()) return true;
  FirstLineSink sink(from);
  const bool complete = search->walkLines(from, params.maxK, 1, sink, stop);
  from = sink.next;
  if (!complete) return false;
  line = sink.line;
  return true;
}

namespace {

// Keeps the first line of the wide walk and where it stands.
class WideFirstLineSink : public pelund::wide::WideSink {
 public:
  void partDone(const pelund::wide::WidePart& part) override {
    if (!line && !part.ks.empty()) line = part.text.substr(0, part.ends[0]);
    last = part.to;
    walked = true;
  }
  std::optional<std::string> line;
  pelund::U256 last;
  bool walked = false;
};

pelund::U256 wideValue(const std::string& decimal) {
  pelund::U256 value;
  if (!pelund::U256::parse(decimal, value)) throw pelund::Error(decimal + " is no k below 2^256");
  return value;
}

}  // namespace

bool wideFirstLine(int64_t base, int32_t c, uint32_t period, uint64_t maxFact, const std::string& maxK, int threads,
                   double effortSeconds, const pelund::StopToken& stop, std::optional<std::string>& line,
                   std::string& from, std::string& unfactored) {
  constexpr uint64_t kExhaustiveBelow = 1000000000;
  line.reset();
  pelund::SearchParams params;
  params.base = base;
  params.c = c;
  params.period = int32_t(period);
  params.maxFact = int32_t(std::min(maxFact, kExhaustiveBelow));
  params.minK = params.maxK = 1;
  params.threads = threads;
  pelund::Observer silent;
  const std::optional<pelund::CandidateTable> table = pelund::candidates(params, silent, stop);
  if (!table) return false;
  std::vector<CyclotomicFactors> factored;
  if (maxFact > kExhaustiveBelow) {
    std::optional<std::vector<CyclotomicFactors>> found = factorCyclotomics(base, period, effortSeconds, stop);
    if (!found) return false;
    factored = std::move(*found);
    std::vector<CyclotomicFactors> incomplete;
    for (const CyclotomicFactors& d : factored)
      if (!d.complete) incomplete.push_back(d);
    unfactored = describeCyclotomicFactors(base, incomplete);
  }
  const pelund::U256 first = wideValue(from), last = wideValue(maxK);
  const pelund::wide::WideParams wide{base, c, period, first, last, threads};
  const pelund::wide::WideSearch search(
      wide, wideCandidatePrimes(base, period, maxFact, table->factorPeriodList, factored));
  if (!search.searchable()) return true;
  WideFirstLineSink sink;
  const bool complete = search.walkLines(first, last, 1, sink, stop);
  if (sink.walked && sink.last < last) from = (sink.last + pelund::U256(1)).toString();
  if (!complete) return false;
  line = sink.line;
  return true;
}
