// Algebraic factors against the brute-force oracle (algebraic_oracle.h), on generated
// comparisons over bases with square, cube, fourth and higher power parts, both signs
// and periods with and without 2, 3, 4 and 5: for every k the classes found from the
// factorisations are the oracle's usable sets and lie in an enumerated family; the
// proved k of every engine are the oracle's, lines that primes alone prove are those
// of a search without the option, the others name those classes, and pelund-verify
// agrees with the oracle on them and on copies with a class dropped or shifted.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "algebraic_oracle.h"
#include "range_walk.h"
#include "verify.h"

namespace {

using algebraic::AlgebraicClass;
using oracle::Case;
using oracle::PowerSet;

std::map<int64_t, std::string> search(const Case& cs, const CandidateTable& table, bool algebraicOn, Engine engine,
                                      int threads) {
  struct Lines : PartSink {
    std::map<int64_t, std::string> lines;
    int64_t next = 1;
    void partDone(const PartResult& part) override {
      EXPECT_TRUE(part.from == next && part.from <= part.to);  // consecutive, no gap
      next = part.to + 1;
      std::istringstream text(part.text);
      for (std::string line; std::getline(text, line);) lines[std::stoll(line)] = line;
    }
  } sink;
  SearchParams params;
  params.base = cs.b, params.c = cs.c, params.period = cs.P, params.maxFact = int32_t(cs.maxFact);
  params.minK = 1, params.maxK = cs.maxK, params.threads = threads, params.engine = engine;
  params.algebraic = algebraicOn;
  EXPECT_TRUE(pelund::Search(params, table).walk(1, cs.maxK, sink, pelund::StopToken{}));
  EXPECT_EQ(sink.next, cs.maxK + 1);
  return sink.lines;
}

bool sameSet(const PowerSet& set, const AlgebraicClass& cls) {
  if (set.form != cls.shape.form || set.m != cls.shape.m) return false;
  for (size_t n = 1; n < set.holds.size(); ++n)
    if (set.holds[n] != (n % cls.modulus == cls.residue)) return false;
  return true;
}

// The classes against the oracle's sets, one for one; and k in some family.
void expectClasses(int64_t k, const std::vector<AlgebraicClass>& classes, const std::vector<PowerSet>& sets,
                   const std::vector<algebraic::Family>& families) {
  ASSERT_EQ(classes.size(), sets.size());
  for (const AlgebraicClass& cls : classes)
    EXPECT_TRUE(std::any_of(sets.begin(), sets.end(), [&](const PowerSet& s) { return sameSet(s, cls); }))
        << algebraic::classText(cls);
  const bool listed = std::any_of(families.begin(), families.end(), [&](const algebraic::Family& f) {
    return k % int64_t(f.g) == 0 && algebraic::familyMember(f, algebraic::integerRoot(k / f.g, f.m)) == uint64_t(k);
  });
  EXPECT_TRUE(sets.empty() || listed);
}

std::vector<uint32_t> primesOfLine(const std::string& line) {
  std::vector<uint32_t> primes;
  std::istringstream list(line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1));
  for (std::string item; std::getline(list, item, ',');) primes.push_back(uint32_t(std::stoul(item)));
  return primes;
}

// An algebraic line names usable classes only; pelund-verify accepts it, accepts a copy
// without one class exactly when the oracle proves k without it, and refuses a copy
// with a class shifted to a residue where k*b^n does not have the shape.
void expectAlgebraicLine(const std::string& line, int64_t k, const Case& cs, const std::vector<AlgebraicClass>& classes,
                         const std::vector<PowerSet>& sets) {
  EXPECT_EQ(verify::checkLine(line + "\n", cs.b, cs.c).fault, "") << line;
  size_t named = 0, claims = 0;
  for (size_t at = line.find("  + n="); at != std::string::npos; at = line.find("  + n=", at + 1)) ++claims;
  for (size_t i = 0; i < classes.size(); ++i) {
    const std::string claim = "  + " + algebraic::classText(classes[i]);
    const size_t at = line.find(claim);
    if (at == std::string::npos) continue;
    ++named;
    std::string without = line, shifted = line;
    without.erase(at, claim.size());
    std::vector<PowerSet> rest;
    for (size_t j = 0; j < classes.size(); ++j)
      if (j != i && line.find("  + " + algebraic::classText(classes[j])) != std::string::npos)
        rest.push_back(*std::find_if(sets.begin(), sets.end(), [&](const PowerSet& set) { return sameSet(set, classes[j]); }));
    const bool stillProved = (without.find("[]") == std::string::npos || !rest.empty()) &&
                             oracle::covered(k, cs, rest, primesOfLine(line));
    EXPECT_EQ(verify::checkLine(without + "\n", cs.b, cs.c).fault.empty(), stillProved) << without;
    if (classes[i].modulus == 1) continue;
    AlgebraicClass moved = classes[i];
    moved.residue = (moved.residue + 1) % moved.modulus;
    shifted.replace(at, claim.size(), "  + " + algebraic::classText(moved));
    EXPECT_NE(verify::checkLine(shifted + "\n", cs.b, cs.c).fault.find(" exactly for "), std::string::npos) << shifted;
  }
  EXPECT_TRUE(claims > 0 && claims == named) << line;  // every claim is a usable class
}

std::vector<Case> generatedCases() {
  const int32_t bases[] = {4, 8, 9, 12, 16, 18, 27, 32, 36, 64, 72, 81, 125, 128};
  const int32_t periods[] = {12, 24, 10, 36, 8, 60, 6};
  std::vector<Case> cases;
  for (size_t i = 0; i < std::size(bases); ++i)
    for (int32_t c : {-1, 1}) cases.push_back({bases[i], c, periods[(2 * i + (c > 0)) % 7], 2000, 4000});
  cases.push_back({4, -1, 2, 10, 3000});  // a single candidate prime: no engine runs
  cases.push_back({8, 1, 3, 10, 3000});   // none at all
  return cases;
}

TEST(Algebraic, SearchAgreesWithTheOracle) {
  const Engine engines[] = {Engine::sieve, Engine::residue, Engine::automatic};
  size_t index = 0, algebraicLines = 0;
  for (const Case& cs : generatedCases()) {
    SCOPED_TRACE((cs.c == 1 ? "S" : "R") + std::to_string(cs.b) + " P=" + std::to_string(cs.P));
    const CandidateTable table = helpers::bruteTable(cs.b, cs.P, cs.maxFact);
    const algebraic::Algebra algebra(cs.b, cs.c, cs.P);
    const std::vector<algebraic::Family> families = algebra.families(uint64_t(cs.maxK));
    const auto plain = search(cs, table, false, engines[index % 3], 1 + int(index % 2));
    const auto lines = search(cs, table, true, engines[index % 3], 1 + int(index % 2));
    ++index;
    for (int64_t k = 1; k <= cs.maxK && !HasFailure(); ++k) {
      SCOPED_TRACE("k=" + std::to_string(k));
      const std::vector<PowerSet> sets = oracle::usableSets(k, cs);
      const std::vector<AlgebraicClass> classes = algebra.classesOf(uint64_t(k));
      expectClasses(k, classes, sets, families);
      const bool proved = !oracle::skipped(k, cs) && oracle::covered(k, cs, sets, helpers::primesOf(table.factorPeriodList));
      ASSERT_EQ(lines.count(k), proved ? 1u : 0u);
      if (!proved) continue;
      if (plain.count(k)) {
        EXPECT_EQ(lines.at(k), plain.at(k));
      } else {
        ++algebraicLines;
        expectAlgebraicLine(lines.at(k), k, cs, classes, sets);
      }
    }
  }
  std::cout << "[ figures  ] " << algebraicLines << " algebraic lines compared\n";
  EXPECT_GT(algebraicLines, 100u);  // the comparison reached many lines of that kind
}

// integerRoot is floor(x^(1/m)) next to perfect powers up to 2^64 - 1 and at random x.
TEST(Algebraic, IntegerRootAgreesWithGmp) {
  std::vector<uint64_t> xs = {0, 1, 2, UINT64_MAX};
  for (uint64_t r : {2ull, 3ull, 10ull, 999999ull, 4294967295ull})
    for (unsigned __int128 power = r * r; power <= UINT64_MAX; power *= r)
      for (uint64_t x : {uint64_t(power) - 1, uint64_t(power), uint64_t(power) + 1}) xs.push_back(x);
  std::mt19937_64 random(5);
  for (int i = 0; i < 2000; ++i) xs.push_back(random() >> (random() % 64));
  mpz_class root;
  for (uint64_t x : xs)
    for (uint32_t m = 1; m <= 70; ++m) {
      mpz_root(root.get_mpz_t(), mpz_class(static_cast<unsigned long>(x)).get_mpz_t(), m);
      ASSERT_EQ(algebraic::integerRoot(x, m), root.get_ui()) << x << " m=" << m;
    }
}

}  // namespace
