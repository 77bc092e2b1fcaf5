// The walk with algebraic factors (see algebraic_walk.h).
//
// Cost: a part costs one comparison per family when it holds no special k (the sieve's
// blocks far from the squares), and per special k a few divisions for its classes;
// only a special k that is not skipped, not already covered and has a usable class
// costs its residues modulo every candidate prime. Up to X there are about sqrt(X)
// special k per square family and X^(1/m) per m-th power family.
#include "algebraic_walk.h"

#include <algorithm>
#include <numeric>

#include "range_walk.h"

namespace {

using algebraic::AlgebraicClass;

constexpr size_t kMostAddedLines = 4096;  // added lines held before a piece of a part goes on
constexpr uint64_t kPollEvery = 256;      // special k between looks at the interrupt flag

// The special k in ascending order, each once, from a cursor per family.
class FamilyMerge {
 public:
  FamilyMerge(const std::vector<algebraic::Family>& families, int64_t from) {
    for (const algebraic::Family& f : families) {
      const uint64_t t = algebraic::firstMemberAtOrAbove(f, uint64_t(from));
      cursors_.push_back({f, t, algebraic::familyMember(f, t)});
    }
  }

  // The next special k up to `to`, or -1 when there is none.
  int64_t next(int64_t to) {
    uint64_t least = UINT64_MAX;
    for (const Cursor& c : cursors_) least = std::min(least, c.value);
    if (least > uint64_t(to)) return -1;
    for (Cursor& c : cursors_)
      if (c.value == least) c.value = algebraic::familyMember(c.family, ++c.t);
    return int64_t(least);
  }

 private:
  struct Cursor {
    algebraic::Family family;
    uint64_t t;
    uint64_t value;
  };
  std::vector<Cursor> cursors_;
};

// ORs `add` into `into`; true when `add` had an exponent that `into` lacked.
bool unite(uint64_t* into, const uint64_t* add, size_t words) {
  bool grew = false;
  for (size_t w = 0; w < words; ++w) {
    grew |= (add[w] & ~into[w]) != 0;
    into[w] |= add[w];
  }
  return grew;
}

// The candidate primes in order of ascending period, each kept when it covers an
// exponent that the classes and the primes before it leave open, until all are covered.
void addPrimes(const SieveTables& tables, const std::vector<uint32_t>& hits, std::vector<uint64_t>& covered,
               std::vector<uint64_t>& byPrimes, CoverLine& cover) {
  const uint32_t period = static_cast<uint32_t>(tables.period);
  thread_local std::vector<uint64_t> mine;
  for (size_t j = 0; j < tables.primes.size() && !coversEveryExponent(covered.data(), period); ++j) {
    if (hits[j] == 0) continue;
    const SievePrime& sp = tables.primes[j];
    mine.assign(covered.size(), 0);
    markExponentClass(mine.data(), hits[j], sp.d, period);
    if (!unite(covered.data(), mine.data(), covered.size())) continue;
    unite(byPrimes.data(), mine.data(), covered.size());
    cover.primes.push_back(sp.p);
    cover.period = std::lcm(cover.period, sp.d);
  }
}

// The classes that the proof needs: each in turn is dropped when the primes and the
// classes still kept cover every exponent without it; the span takes the moduli of
// those kept.
void keepNeededClasses(const std::vector<AlgebraicClass>& classes, const std::vector<uint64_t>& byClasses,
                       const std::vector<uint64_t>& byPrimes, uint32_t period, AlgebraicLine& line) {
  const size_t words = byPrimes.size();
  std::vector<bool> kept(classes.size(), true);
  std::vector<uint64_t> without(words);
  for (size_t i = 0; i < classes.size(); ++i) {
    without = byPrimes;
    for (size_t other = 0; other < classes.size(); ++other)
      if (other != i && kept[other]) unite(without.data(), &byClasses[other * words], words);
    kept[i] = !coversEveryExponent(without.data(), period);
  }
  for (size_t i = 0; i < classes.size(); ++i) {
    if (!kept[i]) continue;
    line.classes.push_back(classes[i]);
    line.cover.period = std::lcm(line.cover.period, classes[i].modulus);
  }
}

void addText(PartResult& result, int64_t k, const char* begin, const char* end) {
  result.text.append(begin, end);
  result.ks.push_back(k);
  result.ends.push_back(static_cast<uint32_t>(result.text.size()));
}

// Between the engines and the writer: each part goes on with the lines of the special
// k that the classes and the primes prove merged in, in pieces of at most about
// kMostAddedLines added lines.
class AlgebraicSink : public PartSink {
 public:
  AlgebraicSink(const SieveTables& tables, const SearchParams& params, int64_t to, PartSink& sink, StopToken stop)
      : tables_(tables),
        algebra_(params.base, params.c, params.period),
        families_(algebra_.families(uint64_t(to))),
        sink_(sink),
        stop_(stop) {}

  void partDone(const PartResult& part) override;
  // A tree part in progress holds no line yet: the writer hears of it as it is.
  void treeProgress(const pelund::TreeProgress& progress) override { sink_.treeProgress(progress); }
  bool stopped() const { return stopped_; }

 private:
  bool skipped(int64_t k) const;
  void prove(int64_t k);
  void handOn(const PartResult& part, size_t& line, int64_t from, int64_t to);

  const SieveTables& tables_;
  const algebraic::Algebra algebra_;
  const std::vector<algebraic::Family> families_;
  PartSink& sink_;
  const StopToken stop_;
  std::optional<FamilyMerge> special_;
  std::vector<std::pair<int64_t, std::string>> added_;  // proved k of the piece under way
  bool stopped_ = false;
};

// Skipped as by the engines: b | k, or a prime factor f of b-1 with f | k + c.
bool AlgebraicSink::skipped(int64_t k) const {
  for (const SievePrime& skip : tables_.skips)
    if (uint64_t(k) % skip.p == skip.classResidue[0]) return true;
  return false;
}

void AlgebraicSink::prove(int64_t k) {
  const std::vector<AlgebraicClass> classes = algebra_.classesOf(uint64_t(k));
  if (classes.empty()) return;
  if (std::optional<AlgebraicLine> line = algebraicLineFor(tables_, k, classes))
    added_.emplace_back(k, formatAlgebraicLine(*line));
}

// Hands on [from, to] of `part`: its lines from index `line` with k <= to and the
// added lines, merged in ascending k.
void AlgebraicSink::handOn(const PartResult& part, size_t& line, int64_t from, int64_t to) {
  PartResult piece;
  piece.clear(from, to);
  size_t added = 0;
  while (added < added_.size() || (line < part.ks.size() && part.ks[line] <= to)) {
    const bool fromPart = line < part.ks.size() && part.ks[line] <= to &&
                          (added == added_.size() || part.ks[line] < added_[added].first);
    if (fromPart) {
      const uint32_t begin = line == 0 ? 0 : part.ends[line - 1];
      addText(piece, part.ks[line], part.text.data() + begin, part.text.data() + part.ends[line]);
      ++line;
    } else {
      const std::string& text = added_[added].second;
      addText(piece, added_[added].first, text.data(), text.data() + text.size());
      ++added;
    }
  }
  added_.clear();
  sink_.partDone(piece);
}

void AlgebraicSink::partDone(const PartResult& part) {
  if (stopped_) return;  // a part after an interrupt: the walk is over
  if (!special_) special_.emplace(families_, part.from);
  int64_t pieceFrom = part.from;
  size_t line = 0;  // the part's next line to hand on
  uint64_t seen = 0;
  bool handedOn = false;
  for (int64_t k; (k = special_->next(part.to)) >= 0;) {
    if (++seen % kPollEvery == 0 && stop_.stopRequested()) {
      if (k > pieceFrom) handOn(part, line, pieceFrom, k - 1);
      stopped_ = true;
      return;
    }
    const auto at = std::lower_bound(part.ks.begin(), part.ks.end(), k);
    if ((at != part.ks.end() && *at == k) || skipped(k)) continue;  // a line already, or never searched
    prove(k);
    if (added_.size() >= kMostAddedLines && k < part.to) {
      handOn(part, line, pieceFrom, k);
      pieceFrom = k + 1;
      handedOn = true;
    }
  }
  if (!handedOn && added_.empty()) return sink_.partDone(part);
  handOn(part, line, pieceFrom, part.to);
}

// The range in growing parts, none with a line of its own: the walk when fewer than
// two candidate primes leave the engines nothing to find.
bool walkWithoutEngines(int64_t from, int64_t to, AlgebraicSink& sink, const StopToken& stop) {
  return walkWithoutLines(from, to, sink, stop, [&] { return sink.stopped(); });
}

}  // namespace

std::string formatAlgebraicLine(const AlgebraicLine& line) {
  std::string text = formatCoverLine(line.cover);
  text.pop_back();  // its newline
  for (const AlgebraicClass& cls : line.classes) text += "  + " + algebraic::classText(cls);
  return text + "\n";
}

std::optional<AlgebraicLine> algebraicLineFor(const SieveTables& tables, int64_t k,
                                              const std::vector<AlgebraicClass>& classes) {
  const uint32_t period = static_cast<uint32_t>(tables.period);
  const size_t words = (period + 63) / 64;
  thread_local std::vector<uint64_t> covered, byPrimes, byClasses;
  thread_local std::vector<uint32_t> hits;
  byClasses.assign(words * classes.size(), 0);
  covered.assign(words, 0);
  for (size_t i = 0; i < classes.size(); ++i) {
    markExponentClass(&byClasses[i * words], algebraic::firstExponent(classes[i]), classes[i].modulus, period);
    unite(covered.data(), &byClasses[i * words], words);
  }
  AlgebraicLine line{CoverLine{k, 1, {}}, {}};
  byPrimes.assign(words, 0);
  if (!coversEveryExponent(covered.data(), period)) {
    firstHits(tables, k, hits);
    addPrimes(tables, hits, covered, byPrimes, line.cover);
  }
  if (!coversEveryExponent(covered.data(), period)) return std::nullopt;
  keepNeededClasses(classes, byClasses, byPrimes, period, line);
  std::sort(line.cover.primes.begin(), line.cover.primes.end());
  return line;
}

bool walkWithAlgebraicFactors(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to,
                              PartSink& sink, const StopToken& stop, const EngineWalk& engines) {
  if (from > to) return true;
  AlgebraicSink merged(tables, params, to, sink, stop);
  const bool complete = tables.searchable ? engines(merged) : walkWithoutEngines(from, to, merged, stop);
  return complete && !merged.stopped();
}
