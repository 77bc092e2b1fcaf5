// The library's public face (see include/pelund/pelund.hpp): parameters checked with
// the system's own messages, the table phase, a Search that walks ranges with the
// engines of search/, and the independent verification of lines.
//
// Memory that runs out anywhere below comes back as pelund::Error("not enough
// memory"); anything a caller's sink throws passes through unchanged. Every input of
// the public API is checked: a range, a list of covered k, a candidate table that does
// not belong to the search's parameters is an Error, never a wrong line.
#include <pelund/pelund.hpp>

#include <algorithm>
#include <exception>
#include <new>
#include <numeric>
#include <string>

#include "cyclotomic.h"
#include "fast_table.h"
#include "parallel_walk.h"
#include "range_walk.h"
#include "residue_tree.h"
#include "mulmod64.h"
#include "search_tables.h"
#include "verify.h"

namespace pelund {

namespace {

constexpr int64_t kE9 = 1000000000;
constexpr int64_t kE18 = 1000000000000000000;

template <class Work>
auto memoryChecked(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    throw Error("not enough memory");
  }
}

// A range of k that an engine is given: 1 <= from <= to <= 10^18.
void checkRange(int64_t from, int64_t to) {
  if (from < 1) throw Error("from cannot be less than 1");
  if (to > kE18) throw Error("to cannot be greater than 1e18");
  if (from > to) throw Error("from cannot be greater than to");
}

// The first reason why `table` is not a candidate table of `params` (its primes
// prime, below maxfact, dividing neither b nor b-1, each with the order of b as its
// period, dividing P; factorPeriodList ascending in the prime, periodOrderedList in
// the period; the prime factors of b-1), or "".
std::string tableFault(const SearchParams& params, const CandidateTable& table) {
  const auto number = [](uint64_t n) { return std::to_string(n); };
  const auto pairFault = [&](const FactorPeriod& pair) -> std::string {
    const uint32_t p = pair.factor;
    if (!verify::isPrime(p)) return number(p) + " is not prime";
    if (p >= uint32_t(params.maxFact)) return number(p) + " is not below maxfact " + number(params.maxFact);
    const uint32_t b = uint32_t(params.base) % p;
    if (b == 0 || b == 1) return number(p) + " divides b or b-1";
    const uint32_t d = pair.period;
    if (d != verify::multiplicativeOrder(b, p) || params.period % int32_t(d) != 0)
      return "the period of " + number(p) + " is not " + number(d) + " or does not divide " + number(params.period);
    return "";
  };
  for (size_t i = 0; i < table.factorPeriodList.size(); ++i) {
    const FactorPeriod& pair = table.factorPeriodList[i];
    if (const std::string fault = pairFault(pair); !fault.empty()) return fault;
    if (i > 0 && pair.factor <= table.factorPeriodList[i - 1].factor) return "factorPeriodList is not ascending";
  }
  for (size_t i = 0; i < table.periodOrderedList.size(); ++i) {
    const FactorPeriod& pair = table.periodOrderedList[i];
    if (const std::string fault = pairFault(pair); !fault.empty()) return fault;
    if (i > 0) {
      const FactorPeriod& before = table.periodOrderedList[i - 1];
      if (pair.period < before.period || (pair.period == before.period && pair.factor <= before.factor))
        return "periodOrderedList is not ascending in the period";
    }
  }
  if (table.baseMinusOneFactors != factorBaseMinusOne(params.base))
    return "baseMinusOneFactors are not the prime factors of " + number(uint32_t(params.base - 1));
  return "";
}

// Parameters made by hand are checked as makeParams checks them.
void checkParams(const SearchParams& params) {
  (void)makeParams(params.base, params.c, params.minK, params.maxK, params.period, params.maxFact, params.threads,
                   params.engine, params.algebraic);
}

// A caller's sink between the engines and the caller: what it throws is kept and
// rethrown to the caller as it was, past the conversion of std::bad_alloc.
class CallersSink : public Sink {
 public:
  struct Threw {};
  explicit CallersSink(Sink& sink) : sink_(sink) {}
  void partDone(const Part& part) override {
    pass([&] { sink_.partDone(part); });
  }
  void treeProgress(const TreeProgress& progress) override {
    pass([&] { sink_.treeProgress(progress); });
  }
  template <class Work>
  auto run(Work&& work) {
    try {
      return memoryChecked(work);
    } catch (const Threw&) {
      std::rethrow_exception(thrown_);
    }
  }

 private:
  template <class Call>
  void pass(Call&& call) {
    try {
      call();
    } catch (...) {
      thrown_ = std::current_exception();
      throw Threw{};
    }
  }
  Sink& sink_;
  std::exception_ptr thrown_;
};

// The engines on this process's threads.
class LocalRunner : public Runner {
 public:
  bool sieve(const Search& search, int64_t from, int64_t to, Sink& sink, const StopToken& stop) override {
    return search.sieve(from, to, sink, stop);
  }
  bool tree(const Search& search, int64_t from, int64_t to, Part& lines, const StopToken& stop) override {
    std::vector<int64_t> covered;
    return search.tree(from, to, covered, stop) && search.linesOf(from, to, covered, lines, stop);
  }
};

// Passes the parts of a walk on up to its first `lines` lines, the part that holds the
// last of them cut after it; raises `reached` then, which stops the walk.
class LimitedSink : public Sink {
 public:
  LimitedSink(Sink& sink, uint64_t lines) : sink_(sink), left_(lines) {}
  void partDone(const Part& part) override {
    if (reached.load()) return;
    if (part.ks.size() < left_) {
      left_ -= part.ks.size();
      sink_.partDone(part);
      return;
    }
    Part head;
    head.clear(part.from, part.ks[left_ - 1]);
    for (size_t i = 0; i < left_; ++i) head.add(part.ks[i], part.line(i));
    reached = true;
    sink_.partDone(head);
  }
  // Progress inside a part is passed on while it holds fewer lines than are left, so
  // that no recorded k lies past the last line wanted.
  void treeProgress(const TreeProgress& progress) override {
    if (!reached.load() && progress.covered.size() < left_) sink_.treeProgress(progress);
  }
  std::atomic<bool> reached{false};

 private:
  Sink& sink_;
  uint64_t left_;
};

}  // namespace

// ---- parameters ---------------------------------------------------------------------

const char* rangeFault(int64_t base, int64_t minK, int64_t maxK, int64_t c, int64_t period, int64_t maxFact) {
  if (base < 2) return "base cannot be less than 2";
  if (base > kE9) return "base cannot be greater than 1e9";
  if (minK > maxK) return "mink cannot be greater than maxk";
  if (minK < 1) return "mink cannot be less than 1";
  if (maxK > kE18) return "maxk cannot be greater than 1e18";
  if (c != -1 && c != 1) return "c must be -1 or 1";
  if (period < 2) return "period cannot be less than 2";
  if (period > 5040) return "period cannot be greater than 5040";
  if (maxFact < 5) return "maxfact cannot be less than 5";
  if (maxFact > kE9) return "maxfact cannot be greater than 1e9";
  return nullptr;
}

const char* threadsFault(int64_t threads) {
  if (threads < 0) return "threads cannot be negative";
  if (threads > kMaxThreads) return "threads cannot be greater than 1024";
  return nullptr;
}

const char* factorEffortFault(int64_t seconds) {
  if (seconds < 0) return "factoreffort cannot be negative";
  if (seconds > 86400) return "factoreffort cannot be greater than 86400";
  return nullptr;
}

const char* factoringFault(uint64_t maxFact) {
  if (maxFact <= uint64_t(kE9) || cyclotomicFactoringAvailable()) return nullptr;
  return "primes above 1e9 need pelund built with FLINT";
}

namespace {

// A signed decimal text: its sign and its digits without leading zeros ("0" for zero).
struct Decimal {
  bool negative = false;
  std::string digits;
};

Decimal decimalOf(std::string_view text) {
  Decimal value;
  if (!text.empty() && text[0] == '-') value.negative = true, text.remove_prefix(1);
  const size_t first = text.find_first_not_of('0');
  value.digits = first == std::string_view::npos ? "0" : std::string(text.substr(first));
  if (value.digits == "0") value.negative = false;
  return value;
}

bool digitsAtMost(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a <= b;
}

bool atMost(const Decimal& a, const Decimal& b) {
  if (a.negative != b.negative) return a.negative;
  return a.negative ? digitsAtMost(b.digits, a.digits) : digitsAtMost(a.digits, b.digits);
}

}  // namespace

const char* wideRangeFault(int64_t base, std::string_view minKText, std::string_view maxKText, int64_t c,
                           int64_t period, std::string_view maxFactText, WideRange& range) {
  const Decimal minK = decimalOf(minKText), maxK = decimalOf(maxKText), maxFact = decimalOf(maxFactText);
  if (base < 2) return "base cannot be less than 2";
  if (base > kE9) return "base cannot be greater than 1e9";
  if (!atMost(minK, maxK)) return "mink cannot be greater than maxk";
  if (minK.negative || minK.digits == "0") return "mink cannot be less than 1";
  if (!digitsAtMost(maxK.digits, "115792089237316195423570985008687907853269984665640564039457584007913129639935"))
    return "maxk cannot be greater than 2^256-1";
  if (c != -1 && c != 1) return "c must be -1 or 1";
  if (period < 2) return "period cannot be less than 2";
  if (period > kTablePeriodLimit) return "period cannot be greater than 65520";
  if (maxFact.negative || digitsAtMost(maxFact.digits, "4")) return "maxfact cannot be less than 5";
  if (!digitsAtMost(maxFact.digits, "18446744073709551615")) return "maxfact cannot be greater than 2^64-1";
  range.minK = minK.digits;
  range.maxK = maxK.digits;
  range.maxFact = std::stoull(maxFact.digits);
  range.period = uint32_t(period);
  range.beyond = !digitsAtMost(maxK.digits, "1000000000000000000") || range.maxFact > uint64_t(kE9) || period > 5040;
  return nullptr;
}

bool engineNamed(std::string_view word, Engine& engine) {
  if (word == "auto") engine = Engine::automatic;
  else if (word == "sieve") engine = Engine::sieve;
  else if (word == "residue") engine = Engine::residue;
  else return false;
  return true;
}

SearchParams makeParams(int64_t base, int64_t c, int64_t minK, int64_t maxK, int64_t period, int64_t maxFact,
                        int64_t threads, Engine engine, bool algebraic) {
  if (const char* fault = rangeFault(base, minK, maxK, c, period, maxFact)) throw Error(fault);
  if (const char* fault = threadsFault(threads)) throw Error(fault);
  if (engine != Engine::automatic && engine != Engine::sieve && engine != Engine::residue) throw Error(kEngineFault);
  return SearchParams{int32_t(base), int32_t(c), int32_t(period), int32_t(maxFact), minK, maxK, int32_t(threads),
                      engine, algebraic};
}

// ---- the candidate table --------------------------------------------------------------

std::optional<CandidateTable> candidates(const SearchParams& params, Observer& observer, const StopToken& stop,
                                         uint32_t* stoppedAt) {
  return memoryChecked([&] { return buildFactorTableFast(params, observer, stop, stoppedAt); });
}

CandidateTable candidates(const SearchParams& params) {
  Observer silent;
  return *candidates(params, silent, StopToken{});
}

// ---- results --------------------------------------------------------------------------

void Part::add(int64_t k, std::string_view line) {
  text += line;
  ks.push_back(k);
  ends.push_back(static_cast<uint32_t>(text.size()));
}

void Part::clear(int64_t first, int64_t last) {
  from = first;
  to = last;
  text.clear();
  ks.clear();
  ends.clear();
}

void Part::append(const Part& next) {
  const uint32_t offset = static_cast<uint32_t>(text.size());
  to = next.to;
  text += next.text;
  ks.insert(ks.end(), next.ks.begin(), next.ks.end());
  for (uint32_t end : next.ends) ends.push_back(offset + end);
}

std::string_view Part::line(size_t i) const {
  const size_t begin = i == 0 ? 0 : ends[i - 1];
  return std::string_view(text).substr(begin, ends[i] - begin);
}

Line parseLine(std::string_view text) {
  verify::CoveringLine parsed;
  std::string withEnd(text);
  if (withEnd.empty() || withEnd.back() != '\n') withEnd += '\n';
  if (const std::string fault = verify::parseLine(withEnd, parsed); !fault.empty()) throw Error(fault);
  if (!parsed.wideK.fitsI64()) throw Error("k is larger than 9223372036854775807");
  Line line{parsed.k, parsed.period, {}, {}};
  for (uint64_t p : parsed.primes) {
    if (p > UINT32_MAX) throw Error("prime is larger than 4294967295");
    line.primes.push_back(uint32_t(p));
  }
  // The classes follow the primes, each after "  + ".
  const std::string_view body = std::string_view(withEnd).substr(0, withEnd.size() - 1);
  for (size_t at = body.find("  + "); at != std::string_view::npos;) {
    const size_t next = body.find("  + ", at + 4);
    line.classes.emplace_back(body.substr(at + 4, next == std::string_view::npos ? next : next - at - 4));
    at = next;
  }
  return line;
}

// ---- the search ---------------------------------------------------------------------

Search::Search(const SearchParams& params, const CandidateTable& table)
    : tables_(memoryChecked([&] {
        checkParams(params);
        if (const std::string fault = tableFault(params, table); !fault.empty())
          throw Error("the candidate table does not belong to the search: " + fault);
        return std::make_unique<SearchTables>(params, table);
      })) {}
Search::~Search() = default;
Search::Search(Search&&) noexcept = default;
Search& Search::operator=(Search&&) noexcept = default;

const SearchParams& Search::params() const { return tables_->params; }

bool Search::searchable() const { return tables_->sieve.searchable || tables_->params.algebraic; }

namespace {

// Search::walk, for a caller that wants the whole range or (whole = false) stops at a
// count of lines.
bool walkSearch(const Search& search, int64_t from, int64_t to, Sink& sink, const StopToken& stop,
                Observer* observer, Runner* runner, const TreeProgress* resume, bool whole) {
  if (from > to) return true;
  checkRange(from, to);
  LocalRunner local;
  const WalkStart start{runner == nullptr, resume, whole};
  CallersSink callers(sink);
  return callers.run(
      [&] { return walkRange(search, from, to, callers, stop, observer, runner ? *runner : local, start); });
}

}  // namespace

bool Search::walk(int64_t from, int64_t to, Sink& sink, const StopToken& stop, Observer* observer, Runner* runner,
                  const TreeProgress* resume) const {
  return walkSearch(*this, from, to, sink, stop, observer, runner, resume, true);
}

bool Search::walkLines(int64_t from, int64_t to, uint64_t maxLines, Sink& sink, const StopToken& stop,
                       Observer* observer, Runner* runner, const TreeProgress* resume) const {
  if (maxLines == 0) return walk(from, to, sink, stop, observer, runner, resume);
  LimitedSink limited(sink, maxLines);
  const StopToken stopOrReached(limited.reached, stop);
  const bool complete = walkSearch(*this, from, to, limited, stopOrReached, observer, runner, resume, false);
  return complete || limited.reached.load();
}

bool Search::sieve(int64_t from, int64_t to, Sink& sink, const StopToken& stop) const {
  checkRange(from, to);
  CallersSink callers(sink);
  return callers.run(
      [&] { return sieveRange(tables_->sieve, from, to, workerThreads(tables_->params.threads), callers, stop); });
}

bool Search::tree(int64_t from, int64_t to, std::vector<int64_t>& covered, const StopToken& stop) const {
  checkRange(from, to);
  return memoryChecked(
      [&] { return residueSearch(tables_->sieve, from, to, workerThreads(tables_->params.threads), covered, stop); });
}

bool Search::linesOf(int64_t from, int64_t to, const std::vector<int64_t>& covered, Part& part,
                     const StopToken& stop) const {
  checkRange(from, to);
  for (size_t i = 0; i < covered.size(); ++i) {
    if (covered[i] < from || covered[i] > to)
      throw Error("covered k=" + std::to_string(covered[i]) + " is outside the range");
    if (i > 0 && covered[i] <= covered[i - 1]) throw Error("covered k are not ascending, each once");
  }
  part.clear(from, to);
  return memoryChecked(
      [&] { return buildLines(tables_->sieve, covered, workerThreads(tables_->params.threads), part, stop); });
}

std::vector<TreeTask> Search::treeTasks(int64_t from, int64_t to, size_t wanted) const {
  checkRange(from, to);
  return memoryChecked([&] { return residueTasks(*tables_->treeRange(from, to), wanted); });
}

double Search::treeCost(int64_t from, int64_t to) const {
  checkRange(from, to);
  return memoryChecked([&] { return tables_->treeCost(from, to); });
}

bool Search::searchTreeTasks(int64_t from, int64_t to, const std::vector<TreeTask>& tasks, size_t first,
                             size_t count, std::vector<int64_t>& covered, const StopToken& stop) const {
  checkRange(from, to);
  return memoryChecked([&] {
    return residueSearchTasks(*tables_->treeRange(from, to), tasks, first, count,
                              workerThreads(tables_->params.threads), covered, stop);
  });
}

// ---- verification -----------------------------------------------------------------------

// Each prime's hits repeat with its order d (b^d = 1 mod p), so the set's pattern repeats
// with the lcm L of the orders: checking n = 1 .. L decides every n >= 1. A hit proves
// the term composite unless the term is the prime itself, which only the few terms
// below 2^64 can be. A prime listed twice divides the same terms, so each counts once,
// and the work, L times the number of primes, is bounded. Primes below 2^32 keep
// their products in 64 bits, larger ones take 128.
namespace {

bool verifyWide(int64_t base, int32_t c, const verify::WideK& k, const std::vector<uint64_t>& listed,
                const StopToken& stop) {
  constexpr uint64_t kLongestPattern = 1000000;
  constexpr uint64_t kMostProducts = uint64_t(1) << 27;
  std::vector<uint64_t> primes(listed);
  std::sort(primes.begin(), primes.end());
  primes.erase(std::unique(primes.begin(), primes.end()), primes.end());
  if (base < 2 || base > kE9 || (c != 1 && c != -1)) return false;
  struct Hits {
    uint64_t p, x, power;  // power: k*b^n mod p for the current n
  };
  std::vector<Hits> hits;
  uint64_t pattern = 1;
  for (uint64_t p : primes) {
    if (!verify::isPrimeWide(p)) return false;
    const uint64_t x = uint64_t(base) % p;
    if (x == 0) continue;  // p | b: p never divides k*b^n + c, since p does not divide c
    const uint64_t order = verify::multiplicativeOrder64(x, p);
    if (order > kLongestPattern || (pattern = std::lcm(pattern, order)) > kLongestPattern)
      throw Error("the primes' pattern of hits is longer than 10^6 exponents");
    hits.push_back({p, x, k.mod(p)});
  }
  if (pattern * hits.size() > kMostProducts)
    throw Error("the primes' pattern of hits times their number is above 2^27");
  for (uint64_t n = 1; n <= pattern; ++n) {
    if (n % 1024 == 0 && stop.stopRequested()) return false;
    bool covered = false;
    for (Hits& h : hits) {
      h.power = h.p <= UINT32_MAX ? h.power * h.x % h.p : mulmod64(h.power, h.x, h.p);
      covered = covered || h.power == (c == 1 ? h.p - 1 : 1);
    }
    if (!covered) return false;
  }
  // A term that is a listed prime itself is prime, however it is covered.
  return !hits.empty() && verify::firstPrimeTerm(k, uint64_t(base), c, primes) == 0;
}

}  // namespace

bool verify(int64_t base, int32_t c, int64_t k, const std::vector<uint32_t>& listed, const StopToken& stop) {
  if (k < 1) return false;
  verify::WideK wide;
  wide.limb[0] = uint64_t(k);
  return verifyWide(base, c, wide, std::vector<uint64_t>(listed.begin(), listed.end()), stop);
}

bool verify(int64_t base, int32_t c, std::string_view k, const std::vector<uint64_t>& primes, const StopToken& stop) {
  verify::WideK wide;
  std::string text;
  size_t pos = 0;
  if (const std::string fault = verify::readK(k, pos, wide, text); !fault.empty()) throw Error(fault);
  if (pos != k.size()) throw Error("unexpected text after k");
  if (text == "0") return false;
  return verifyWide(base, c, wide, primes, stop);
}

LineVerdict verifyLine(std::string_view text, int64_t base, int32_t c) {
  if (const char* fault = rangeFault(base, 1, 1, c, 2, 5)) return LineVerdict{fault, false, 0, ""};
  const verify::LineVerdict verdict = verify::checkLine(text, base, c);
  return LineVerdict{verdict.fault, verdict.parsed, verdict.k, verdict.kText};
}

}  // namespace pelund
