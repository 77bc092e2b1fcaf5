// The first line of a search (see first_line.h).
//
// For a candidate prime p of period d, p divides k*b^n + c exactly when n = e (mod d),
// e the first hit of k: k = -c*b^(-e) (mod p). The k one by one look up their first
// hits among these d residues of each prime and test the exponents 1 .. P in turn,
// most failing at one of the first few; a k that passes gets its line from the
// straightforward walk of one k, the reference of every engine's lines.
#include "first_line.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "cover_set.h"
#include "k_walk.h"
#include "modular.h"

namespace {

class SmallKs {
 public:
  SmallKs(const pelund::SearchParams& params, const pelund::CandidateTable& table) : period_(params.period) {
    for (const pelund::FactorPeriod& pair : table.periodOrderedList) {
      Prime prime{pair.factor, pair.period, {}};
      const uint32_t p = pair.factor, inverse = powMod(uint32_t(params.base) % p, p - 2, p);
      uint32_t t = params.c == 1 ? p - 1 : 1;  // -c * b^(-e) for e = 0
      for (uint32_t e = 1; e <= pair.period; ++e) {
        t = mulMod(t, inverse, p);
        prime.residues.emplace_back(t, e % pair.period);
      }
      std::sort(prime.residues.begin(), prime.residues.end());
      primes_.push_back(std::move(prime));
    }
    hits_.resize(primes_.size());
  }

  // Whether the candidates cover every exponent of k (the skip rules aside).
  bool covers(int64_t k) {
    size_t count = 0;
    for (const Prime& prime : primes_) {
      const uint32_t t = uint32_t(uint64_t(k) % prime.p);
      const auto at = std::lower_bound(prime.residues.begin(), prime.residues.end(), std::make_pair(t, uint32_t(0)));
      if (at != prime.residues.end() && at->first == t) hits_[count++] = {prime.d, at->second};
    }
    if (count < 2) return false;
    for (uint32_t n = 1; n <= uint32_t(period_); ++n) {
      bool hit = false;
      for (size_t j = 0; j < count && !hit; ++j) hit = n % hits_[j].first == hits_[j].second;
      if (!hit) return false;
    }
    return true;
  }

 private:
  struct Prime {
    uint32_t p, d;
    std::vector<std::pair<uint32_t, uint32_t>> residues;  // (k mod p, first hit mod d), sorted
  };
  int32_t period_;
  std::vector<Prime> primes_;
  std::vector<std::pair<uint32_t, uint32_t>> hits_;  // (d, e mod d) of the primes that hit k
};

// Keeps the first line of the walk.
class FirstLineSink : public pelund::Sink {
 public:
  void partDone(const pelund::Part& part) override {
    if (!line && !part.ks.empty()) line = std::string(part.line(0));
  }
  std::optional<std::string> line;
};

}  // namespace

bool firstLine(const pelund::SearchParams& params, const pelund::CandidateTable& table, const pelund::StopToken& stop,
               std::optional<std::string>& line) {
  line.reset();
  int64_t from = params.minK;
  // Algebraic factors may prove a small k that no set covers: the walk takes those.
  if (!params.algebraic && table.periodOrderedList.size() >= 2) {
    const int64_t last = params.maxK - from < kSmallKs ? params.maxK : from + kSmallKs - 1;
    SmallKs small(params, table);
    ExponentSlots slots = makeExponentSlots(params.period);
    for (int64_t k = from; k <= last; ++k) {
      if (!small.covers(k) || isSkipped(k, params, table)) continue;
      if (const std::optional<CoverLine> cover = searchOneK(k, params, table, slots)) {
        line = formatCoverLine(*cover);
        return true;
      }
    }
    if (last == params.maxK) return true;
    from = last + 1;
  }
  const pelund::Search search(params, table);
  if (!search.searchable()) return true;
  FirstLineSink sink;
  if (!search.walkLines(from, params.maxK, 1, sink, stop)) return false;
  line = sink.line;
  return true;
}
