// Algebraic factors against a brute-force oracle. For small b, k and n = 1 .. 2P the
// oracle computes every term's k*b^n exactly (GMP), finds where it is y^m or 4y^4 by
// exact integer roots (no factorisation), keeps the sets that repeat with P and whose
// factor is proper at their smallest n, tests the candidate primes by direct
// divisibility, and so decides which k are proved. The search (walkRange with
// algebraic on, every engine) must list exactly those k, keep the lines of k that
// primes alone cover as they are without the option, and name only true classes;
// pelund-verify must agree with the oracle on lines with a class shifted or a prime
// or class dropped.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "algebraic.h"
#include "algebraic_oracle.h"
#include "range_walk.h"
#include "verify.h"

namespace {

using algebraic::AlgebraicClass;
using algebraic::Form;
using namespace oracle;

// ---- the search -----------------------------------------------------------------

struct Collect : PartSink {
  std::map<int64_t, std::string> lines;
  int64_t next = 0;
  bool gapless = true;
  void partDone(const PartResult& part) override {
    gapless = gapless && part.from == next && part.from <= part.to;
    next = part.to + 1;
    std::istringstream text(part.text);
    for (std::string line; std::getline(text, line);) lines[std::stoll(line)] = line + "\n";
  }
};

Collect search(const Case& cs, const CandidateTable& table, bool algebraicOn, Engine engine, int threads) {
  SearchParams params;
  params.base = cs.b, params.c = cs.c, params.period = cs.P, params.maxFact = int32_t(cs.maxFact);
  params.minK = 1, params.maxK = cs.maxK, params.threads = threads, params.engine = engine;
  params.algebraic = algebraicOn;
  SieveTables tables(params, table);
  Collect sink;
  sink.next = 1;
  EXPECT_TRUE(walkRange(tables, params, 1, cs.maxK, sink));
  EXPECT_TRUE(sink.gapless);
  EXPECT_EQ(sink.next, cs.maxK + 1);
  return sink;
}

// The claims of an algebraic line: "n=r (mod M): FORM" after each "  + ".
struct Claim {
  uint32_t residue, modulus;
  Form form;
  uint32_t m;
};

std::vector<Claim> claimsOf(const std::string& line) {
  std::vector<Claim> claims;
  for (size_t at = line.find("  + n="); at != std::string::npos; at = line.find("  + n=", at + 1)) {
    Claim c{};
    char form[16] = {};
    std::sscanf(line.c_str() + at, "  + n=%u (mod %u): %15s", &c.residue, &c.modulus, form);
    const std::string text = form;
    c.form = text == "4y^4+1" ? Form::aurifeuillian : text.back() == '1' && text[text.size() - 2] == '-' ? Form::powerMinusOne : Form::powerPlusOne;
    c.m = c.form == Form::aurifeuillian ? 4 : uint32_t(std::stoul(text.substr(2)));
    claims.push_back(c);
  }
  return claims;
}

bool sameSet(const PowerSet& set, uint32_t residue, uint32_t modulus) {
  for (size_t n = 1; n < set.holds.size(); ++n)
    if (set.holds[n] != (n % modulus == residue)) return false;
  return true;
}

const PowerSet* findSet(const std::vector<PowerSet>& sets, Form form, uint32_t m) {
  for (const PowerSet& set : sets)
    if (set.form == form && set.m == m) return &set;
  return nullptr;
}

std::string caseName(const Case& cs) {
  return (cs.c == 1 ? "S" : "R") + std::to_string(cs.b) + " P=" + std::to_string(cs.P) +
         " maxfact=" + std::to_string(cs.maxFact) + " k<=" + std::to_string(cs.maxK);
}

// Bases with square, cube, fourth and higher power parts, both signs; periods with and
// without the primes 2, 3 and 5 and the modulus 4.
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

// The classes the search finds for every k, skipped or not, are the oracle's usable
// sets; every k with such a set lies in one of the enumerated families.
TEST(Algebraic, ClassesAndFamiliesAgreeWithExactRoots) {
  for (const Case& cs : generatedCases()) {
    SCOPED_TRACE(caseName(cs));
    const algebraic::Algebra algebra(cs.b, cs.c, cs.P);
    const std::vector<algebraic::Family> families = algebra.families(uint64_t(cs.maxK));
    for (int64_t k = 1; k <= cs.maxK && !HasFailure(); ++k) {
      SCOPED_TRACE("k=" + std::to_string(k));
      const std::vector<PowerSet> sets = usableSets(k, cs);
      const std::vector<AlgebraicClass> classes = algebra.classesOf(uint64_t(k));
      ASSERT_EQ(classes.size(), sets.size());
      for (const AlgebraicClass& cls : classes) {
        const PowerSet* set = findSet(sets, cls.shape.form, cls.shape.m);
        ASSERT_NE(set, nullptr) << algebraic::classText(cls);
        EXPECT_TRUE(sameSet(*set, cls.residue, cls.modulus)) << algebraic::classText(cls);
      }
      bool listed = false;
      for (const algebraic::Family& f : families) {
        const uint64_t t = algebraic::integerRoot(uint64_t(k) / f.g, f.m);
        listed = listed || (uint64_t(k) % f.g == 0 && algebraic::familyMember(f, t) == uint64_t(k));
      }
      EXPECT_TRUE(sets.empty() || listed);
    }
  }
}

// The proved k of every engine are the oracle's; lines of k that primes alone cover
// are those of a search without the option; the other lines name usable classes only
// and pass pelund-verify.
TEST(Algebraic, ProvedKAgreeWithTheOracleOnEveryEngine) {
  const Engine engines[] = {Engine::sieve, Engine::residue, Engine::automatic};
  int index = 0;
  size_t algebraicLines = 0;
  for (const Case& cs : generatedCases()) {
    SCOPED_TRACE(caseName(cs));
    const CandidateTable table = helpers::bruteTable(cs.b, cs.P, cs.maxFact);
    const std::vector<uint32_t> primes = primesOf(table);
    const Engine engine = engines[index % 3];
    const int threads = 1 + index++ % 2;
    const Collect plain = search(cs, table, false, engine, threads);
    const Collect withAlgebra = search(cs, table, true, engine, threads);
    for (int64_t k = 1; k <= cs.maxK; ++k) {
      SCOPED_TRACE("k=" + std::to_string(k));
      const std::vector<PowerSet> sets = usableSets(k, cs);
      const bool proved = !skippedByOracle(k, cs) && covered(k, cs, sets, primes);
      const auto line = withAlgebra.lines.find(k);
      ASSERT_EQ(line != withAlgebra.lines.end(), proved);
      if (!proved) continue;
      if (plain.lines.count(k)) {
        EXPECT_EQ(line->second, plain.lines.at(k));
        continue;
      }
      ++algebraicLines;
      EXPECT_EQ(verify::checkLine(line->second, cs.b, cs.c).fault, "") << line->second;
      for (const Claim& claim : claimsOf(line->second)) {
        const PowerSet* set = findSet(sets, claim.form, claim.m);
        ASSERT_NE(set, nullptr) << line->second;
        EXPECT_TRUE(sameSet(*set, claim.residue, claim.modulus)) << line->second;
      }
    }
  }
  std::cout << "[ figures  ] " << algebraicLines << " algebraic lines compared\n";
  EXPECT_GT(algebraicLines, 50u);  // the comparison reached lines of both kinds
}

// integerRoot is floor(x^(1/m)) at, just below and just above perfect powers up to
// 2^64 - 1, and at random values.
TEST(Algebraic, IntegerRootAgreesWithGmp) {
  std::vector<uint64_t> xs = {0, 1, 2, 3, 4, UINT64_MAX, UINT64_MAX - 1, 1000000000000000000ULL};
  for (uint64_t r : {2ull, 3ull, 10ull, 1000ull, 999999ull, 1000000ull, 4294967295ull}) {
    unsigned __int128 power = r;
    for (int e = 2; (power *= r) <= UINT64_MAX; ++e)
      for (int d = -1; d <= 1; ++d) xs.push_back(uint64_t(power) + uint64_t(int64_t(d)));
  }
  std::mt19937_64 random(5);
  for (int i = 0; i < 2000; ++i) xs.push_back(random() >> (random() % 64));
  Mpz x, root;
  for (uint64_t value : xs) {
    for (uint32_t m = 1; m <= 70; ++m) {
      mpz_set_ui(x.v, value);
      mpz_root(root.v, x.v, m);
      ASSERT_EQ(algebraic::integerRoot(value, m), mpz_get_ui(root.v)) << value << " m=" << m;
    }
  }
}

std::string lineText(int64_t k, uint32_t period, const std::vector<uint32_t>& primes, const std::vector<Claim>& claims) {
  std::string text = std::to_string(k) + "  " + std::to_string(period) + "  [";
  for (size_t i = 0; i < primes.size(); ++i) text += (i ? ", " : "") + std::to_string(primes[i]);
  text += "]";
  for (const Claim& c : claims) {
    text += "  + n=" + std::to_string(c.residue) + " (mod " + std::to_string(c.modulus) + "): ";
    if (c.form == Form::aurifeuillian) text += "4y^4+1";
    else text += "y^" + std::to_string(c.m) + (c.form == Form::powerMinusOne ? "-1" : "+1");
  }
  return text + "\n";
}

std::vector<uint32_t> primesOfLine(const std::string& line) {
  std::vector<uint32_t> primes;
  const size_t open = line.find('['), close = line.find(']');
  std::istringstream list(line.substr(open + 1, close - open - 1));
  for (std::string item; std::getline(list, item, ',');) primes.push_back(uint32_t(std::stoul(item)));
  return primes;
}

// The power sets that the claims name, for the oracle's coverage test.
std::vector<PowerSet> claimedSets(const std::vector<Claim>& claims, int N) {
  std::vector<PowerSet> sets;
  for (const Claim& c : claims) {
    PowerSet set{c.form, c.m, std::vector<bool>(N + 1), {}};
    for (int n = 1; n <= N; ++n) set.holds[n] = uint32_t(n) % c.modulus == c.residue;
    sets.push_back(set);
  }
  return sets;
}

// Each algebraic line of the search with one claim's residue shifted (never a true
// class), one prime dropped or one claim dropped: pelund-verify accepts exactly the
// lines whose remaining primes and classes cover every n by the oracle.
TEST(Algebraic, VerifyAgreesWithTheOracleOnAlteredLines) {
  size_t altered = 0;
  for (const Case& cs : generatedCases()) {
    SCOPED_TRACE(caseName(cs));
    const CandidateTable table = helpers::bruteTable(cs.b, cs.P, cs.maxFact);
    for (const auto& [k, line] : search(cs, table, true, Engine::sieve, 1).lines) {
      const std::vector<Claim> claims = claimsOf(line);
      if (claims.empty()) continue;
      const std::vector<uint32_t> primes = primesOfLine(line);
      const uint32_t period = uint32_t(std::stoul(line.substr(line.find("  ") + 2)));
      for (size_t i = 0; i < claims.size(); ++i) {
        std::vector<Claim> shifted = claims, fewer = claims;
        fewer.erase(fewer.begin() + std::ptrdiff_t(i));
        const std::string lost = lineText(k, period, primes, fewer);
        SCOPED_TRACE(lost);
        EXPECT_EQ(verify::checkLine(lost, cs.b, cs.c).fault.empty(),
                  !(primes.empty() && fewer.empty()) && covered(k, cs, claimedSets(fewer, 2 * cs.P), primes));
        ++altered;
        if (claims[i].modulus == 1) continue;
        shifted[i].residue = (shifted[i].residue + 1) % shifted[i].modulus;
        EXPECT_NE(verify::checkLine(lineText(k, period, primes, shifted), cs.b, cs.c).fault.find(" exactly for "),
                  std::string::npos);
        ++altered;
      }
      for (size_t i = 0; i < primes.size(); ++i) {
        std::vector<uint32_t> fewer = primes;
        fewer.erase(fewer.begin() + std::ptrdiff_t(i));
        const std::string lost = lineText(k, period, fewer, claims);
        SCOPED_TRACE(lost);
        EXPECT_EQ(verify::checkLine(lost, cs.b, cs.c).fault.empty(), covered(k, cs, claimedSets(claims, 2 * cs.P), fewer));
        ++altered;
      }
    }
  }
  std::cout << "[ figures  ] " << altered << " altered lines compared\n";
  EXPECT_GT(altered, 100u);  // the comparison reached many altered lines
}

}  // namespace
