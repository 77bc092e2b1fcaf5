// The wide search against the 64-bit search on generated configurations within its
// caps (identical text), against the straightforward oracle of wide_helpers.h above
// 10^18 (the covered k and their lines repeat with the product of the candidates and
// of the moduli of the skipped classes, so a range shifted by a multiple of it has the
// lines of the range below it), on the covers that the q prime factors of Phi_q(b)
// make (smallest k by CRT over all q! assignments), and under stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <tuple>

#if __has_include(<gmpxx.h>)
#include <gmpxx.h>
#define PELUND_WIDE_GMP 1
#endif

#include "wide_helpers.h"
#include "rounds.h"

namespace {

using pelund::U256;
using pelund::WidePrime;
using pelund::wide::WideSearch;
using wide_helpers::Joined;

struct Collected : pelund::Sink {
  std::string text;
  void partDone(const pelund::Part& part) override { text += part.text; }
};

const uint32_t kPeriods[] = {12, 24, 36, 48, 60, 72, 120, 144, 240, 360, 720};

TEST(WideSearch, GeneratedSearchesWithinTheOldCapsGiveThe64BitText) {
  std::mt19937_64 random(11);
  size_t lines = 0;
  for (int round = 0; round < e2e::rounds(40); ++round) {
    const int32_t base = int32_t(2 + random() % (round % 3 == 0 ? 50 : 2000)), c = random() % 2 == 0 ? 1 : -1;
    const uint32_t period = kPeriods[random() % 11];
    const int64_t maxFact = int64_t(50 + random() % (period > 144 ? 400 : 3000));
    const int64_t minK = int64_t(1 + random() % (round % 2 == 0 ? 100000 : 1000000000000)),
                  maxK = minK + int64_t(random() % 5000000);
    SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " P=" + std::to_string(period) +
                 " maxfact=" + std::to_string(maxFact) + " k=" + std::to_string(minK) + ".." + std::to_string(maxK));
    const pelund::SearchParams params = pelund::makeParams(base, c, minK, maxK, period, maxFact, 2);
    const pelund::CandidateTable table = pelund::candidates(params);
    const pelund::Search search(params, table);
    Collected expected;
    ASSERT_TRUE(search.walk(minK, maxK, expected, pelund::StopToken{}));
    const WideSearch wide(wide_helpers::wideParams(base, c, period), wide_helpers::widePrimes(table));
    Joined got;
    ASSERT_TRUE(wide.walk(U256(uint64_t(minK)), U256(uint64_t(maxK)), got, pelund::StopToken{}));
    EXPECT_EQ(got.text, expected.text);
    EXPECT_FALSE(got.gap);
    EXPECT_TRUE(got.ascending);
    EXPECT_EQ(got.from, U256(uint64_t(minK)));
    EXPECT_EQ(got.to, U256(uint64_t(maxK)));
    lines += got.ks.size();
  }
  EXPECT_GT(lines, 100u);
}

// The modulus with which the covered k and their lines repeat: the candidates' primes,
// b and the prime factors of b-1 (all coprime).
U256 repeatModulus(int64_t base, const std::vector<WidePrime>& primes) {
  U256 modulus = uint64_t(base);
  uint64_t rest = uint64_t(base) - 1;
  for (uint64_t f = 2; f <= rest; ++f)
    if (rest % f == 0) {
      modulus = modulus.mulSmall(f);
      while (rest % f == 0) rest /= f;
    }
  for (const WidePrime& prime : primes) modulus = modulus.mulSmall(prime.prime);
  return modulus;
}

std::string shifted(const std::string& text, const U256& shift) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t space = text.find(' ', at), end = text.find('\n', at) + 1;
    U256 k;
    EXPECT_TRUE(U256::parse(text.substr(at, space - at), k));
    out += (k + shift).toString() + text.substr(space, end - space);
    at = end;
  }
  return out;
}

TEST(WideSearch, RangesAbove10To18AgainstTheStraightforwardSearch) {
  std::mt19937_64 random(12);
  size_t lines = 0;
  for (int round = 0; round < e2e::rounds(30); ++round) {
    const int64_t base = int64_t(2 + random() % 30);
    const int32_t c = random() % 2 == 0 ? 1 : -1;
    const uint32_t period = kPeriods[random() % 6];
    const pelund::SearchParams params = pelund::makeParams(base, c, 1, 2, period, int64_t(20 + random() % 200), 2);
    const std::vector<WidePrime> primes = wide_helpers::widePrimes(pelund::candidates(params));
    const U256 modulus = repeatModulus(base, primes);
    if (modulus.bits() > 230) continue;
    // A multiple of the modulus above 10^18, times a random factor when it leaves room.
    U256 shift = modulus;
    while (shift < U256(1000000000000000000u)) shift = shift.mulSmall(2 + random() % 1000);
    if (shift.bits() < 200) shift = shift.mulSmall(1 + (random() >> (random() % 64)));
    const uint64_t low = 1 + random() % 100000, width = 1 + random() % 100000;
    std::string expected;
    for (uint64_t k = low; k < low + width; ++k) expected += wide_helpers::oracleLine(k, base, c, period, primes);
    SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " P=" + std::to_string(period) +
                 " shift=" + shift.toString() + " k=" + std::to_string(low) + "+" + std::to_string(width));
    const WideSearch wide(wide_helpers::wideParams(base, c, period), primes);
    Joined got;
    ASSERT_TRUE(wide.walk(shift + low, shift + low + width - 1, got, pelund::StopToken{}));
    EXPECT_EQ(got.text, shifted(expected, shift));
    EXPECT_FALSE(got.gap);
    EXPECT_TRUE(got.ascending);
    for (size_t i = 0; i < got.ks.size(); i += 7) EXPECT_EQ(wide.lineOf(got.ks[i]), wide_helpers::oracleLine(got.ks[i], base, c, period, primes));
    lines += got.ks.size();
  }
  EXPECT_GT(lines, 50u);
}

// Within the 64-bit engines' bounds the walk searches each part with them, on their
// tables shifted to the part's origin: the covered k are exactly those of the wide
// tree, at any origin below 2^255, on ranges of 2^8 to 2^30 k where the 64-bit tree or
// the block sieve is the cheaper (both are taken here); every line is the wide
// search's line of its k.
TEST(WideSearch, ShiftedEnginesFindWhatTheWideTreeFinds) {
  std::mt19937_64 random(31);
  size_t found = 0;
  for (int round = 0; round < e2e::rounds(30); ++round) {
    const int64_t base = int64_t(2 + random() % 60);
    const int32_t c = random() % 2 == 0 ? 1 : -1;
    const uint32_t period = kPeriods[random() % 11];
    const int64_t maxFact = int64_t(100 + random() % 5000);
    const std::vector<WidePrime> primes =
        wide_helpers::widePrimes(pelund::candidates(pelund::makeParams(base, c, 1, 2, period, maxFact, 2)));
    U256 origin;
    for (int limb = 0; limb < 4; ++limb) origin.limb[limb] = random();
    origin = origin.shiftRight(int(1 + random() % 190));
    const uint64_t width = 1 + random() % (uint64_t(1) << (8 + random() % 22));
    const U256 from = origin + U256(1), to = origin + U256(width);
    SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " P=" + std::to_string(period) +
                 " maxfact=" + std::to_string(maxFact) + " k=" + from.toString() + "+" + std::to_string(width));
    const WideSearch wide(wide_helpers::wideParams(base, c, period), primes);
    Joined walked;
    ASSERT_TRUE(wide.walk(from, to, walked, pelund::StopToken{}));
    std::vector<U256> tree;
    ASSERT_TRUE(wide.tree(from, to, tree, pelund::StopToken{}));
    EXPECT_TRUE(walked.ks == tree) << walked.ks.size() << " against " << tree.size();
    EXPECT_FALSE(walked.gap);
    std::string lines;
    for (const U256& k : tree) lines += wide.lineOf(k);
    EXPECT_TRUE(walked.text == lines);
    found += tree.size();
  }
  EXPECT_GT(found, 1000u);
}

}  // namespace

#ifdef PELUND_WIDE_GMP
namespace {

mpz_class big(const U256& v) { return mpz_class(v.toString()); }

// The smallest k >= 1 covered by the q primes of Phi_q(b), each of period q: over the
// q! assignments of primes to the exponent classes mod q, the CRT solution, stepped
// past the classes the search leaves out (b | k, f | k + c for the primes f of b-1).
mpz_class smallestByAssignments(uint64_t b, int32_t c, const std::vector<uint64_t>& primes) {
  const size_t q = primes.size();
  mpz_class N = 1;
  for (uint64_t p : primes) N *= mpz_class(std::to_string(p));
  std::vector<uint64_t> skipModuli{b};
  for (uint64_t f : wide_helpers::distinctFactors(b - 1)) skipModuli.push_back(f);
  std::vector<size_t> order(q);
  std::iota(order.begin(), order.end(), size_t(0));
  mpz_class best = -1;
  do {  // prime order[e] covers the exponents n = e + 1 (mod q)
    mpz_class k = 0;
    for (size_t e = 0; e < q; ++e) {
      const uint64_t p = primes[order[e]];
      const mpz_class P(std::to_string(p));
      const uint64_t t = pelund::powmod64(pelund::powmod64(b % p, p - 2, p), e + 1, p);
      const mpz_class residue(std::to_string(c == 1 ? p - t : t));
      const mpz_class cofactor = N / P;
      mpz_class inverse;
      mpz_invert(inverse.get_mpz_t(), mpz_class(cofactor % P).get_mpz_t(), P.get_mpz_t());
      k += residue * cofactor * inverse;
    }
    k %= N;
    if (k == 0) k = N;
    for (;; k += N) {
      bool skipped = false;
      for (size_t i = 0; i < skipModuli.size(); ++i) {
        const mpz_class f(std::to_string(skipModuli[i]));
        skipped = skipped || (i == 0 ? k % f == 0 : mpz_class((k + c) % f) == 0);
      }
      if (!skipped) break;
    }
    if (best < 0 || k < best) best = k;
  } while (std::next_permutation(order.begin(), order.end()));
  return best;
}

// Bases whose Phi_q(b) has q distinct prime factors, none dividing b - 1 (so each of
// period q): their covers need every prime, one per exponent class mod q.
TEST(WideSearch, CoversByTheQPrimesOfPhiQAgainstCrtOverAllAssignments) {
  std::mt19937_64 random(13);
  int covers = 0;
  // Period 5 above b = 32000, where the primes' product (about b^4) passes 10^18; no
  // b up to 1600 (where Phi_7(b) < 2^64) has seven primes in Phi_7(b), so period 3.
  for (const auto& [q, first, last] : {std::tuple{5u, 32000u, 65000u}, std::tuple{3u, 41u, 100000u}}) {
    int found = 0;
    for (uint64_t b = first; b <= last && found < 3; b += 1 + random() % 40) {
      uint64_t phi = 0;
      for (uint32_t i = 0; i < q; ++i) phi = phi * b + 1;
      const std::vector<uint64_t> primes = wide_helpers::distinctFactors(phi);
      if (primes.size() != q || (b - 1) % primes[0] == 0) continue;
      std::vector<WidePrime> candidates;
      for (uint64_t p : primes) {
        ASSERT_EQ(pelund::orderMod64(b, p, q), q);
        candidates.push_back({p, q});
      }
      ++found;
      for (int32_t c : {1, -1}) {
        SCOPED_TRACE("b=" + std::to_string(b) + " c=" + std::to_string(c) + " q=" + std::to_string(q));
        const WideSearch wide(wide_helpers::wideParams(int64_t(b), c, q), candidates);
        Joined first;
        ASSERT_TRUE(wide.walkLines(1, U256::max(), 1, first, pelund::StopToken{}));
        ASSERT_EQ(first.ks.size(), 1u);
        EXPECT_EQ(big(first.ks[0]), smallestByAssignments(b, c, primes));
        std::string expected = first.ks[0].toString() + "  " + std::to_string(q) + "  [";
        for (size_t i = 0; i < primes.size(); ++i) expected += (i > 0 ? ", " : "") + std::to_string(primes[i]);
        EXPECT_EQ(first.text, expected + "]\n");
        EXPECT_EQ(first.to, first.ks[0]);
        EXPECT_FALSE(first.gap);
        ++covers;
      }
    }
  }
  EXPECT_GE(covers, 8);
}

}  // namespace
#endif

namespace {

// Candidates up to 2^64: the prime factors of Phi_d(b) of order d for the divisors d
// of P, found by Pollard's rho, as the cyclotomic values give them; the covered k
// above 10^18 against the straightforward search.
TEST(WideSearch, PrimesUpTo2To64AgainstTheStraightforwardSearch) {
  std::mt19937_64 random(15);
  size_t lines = 0, large = 0;
  for (int round = 0; round < 40; ++round) {
    const uint64_t base = 2 + random() % (round % 2 == 0 ? 60000 : 3000);
    const int32_t c = random() % 2 == 0 ? 1 : -1;
    const uint32_t period = random() % 2 == 0 ? 12 : 6;
    const uint64_t b2 = base * base;
    // Phi_d(b) for the divisors d > 1 of P (below 2^64 for b < 2^16).
    const std::vector<std::pair<uint32_t, uint64_t>> cyclotomic = {
        {2, base + 1}, {3, b2 + base + 1}, {4, b2 + 1}, {6, b2 - base + 1}, {12, b2 * b2 - b2 + 1}};
    std::vector<WidePrime> primes;
    for (const auto& [d, value] : cyclotomic) {
      if (period % d != 0) continue;
      for (uint64_t p : wide_helpers::distinctFactors(value))
        if ((base - 1) % p != 0 && base % p != 0 && pelund::orderMod64(base, p, d) == d) primes.push_back({p, d});
    }
    std::sort(primes.begin(), primes.end(), [](const WidePrime& a, const WidePrime& b) { return a.prime < b.prime; });
    const U256 modulus = repeatModulus(int64_t(base), primes);
    if (modulus.bits() > 240 || primes.size() < 2) continue;
    U256 shift = modulus;
    while (shift < U256(1000000000000000000u)) shift = shift.mulSmall(2 + random() % 1000);
    const uint64_t low = 1 + random() % 1000000, width = 1 + random() % 100000;
    SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " P=" + std::to_string(period) +
                 " shift=" + shift.toString() + " k=" + std::to_string(low) + "+" + std::to_string(width));
    std::string expected;
    for (uint64_t k = low; k < low + width; ++k)
      expected += wide_helpers::oracleLine(k, int64_t(base), c, period, primes);
    const WideSearch wide(wide_helpers::wideParams(int64_t(base), c, period), primes);
    Joined got;
    ASSERT_TRUE(wide.walk(shift + low, shift + low + width - 1, got, pelund::StopToken{}));
    EXPECT_EQ(got.text, shifted(expected, shift));
    EXPECT_FALSE(got.gap);
    lines += got.ks.size();
    for (const WidePrime& prime : primes) large += prime.prime >> 32 != 0;
    // A multiple of P, up to 65520, changes nothing: the exponents repeat with P.
    if (round % 4 == 0) {
      const uint32_t multiple = round % 8 == 0 ? 65520 : 10080;
      const WideSearch longer(wide_helpers::wideParams(int64_t(base), c, multiple), primes);
      Joined same;
      ASSERT_TRUE(longer.walk(shift + low, shift + low + width - 1, same, pelund::StopToken{}));
      EXPECT_EQ(same.text, got.text) << "P=" << multiple;
    }
  }
  EXPECT_GT(lines, 50u);
  EXPECT_GT(large, 4u);
}

std::atomic<uint64_t> pollsLeft{0};
bool pollsRunOut() { return pollsLeft.load() == 0 || pollsLeft.fetch_sub(1) == 1; }

// A stop asked at any poll of a walk on one thread (so the same place each time), or
// from the sink after some parts: false, and the parts handed over are whole, without
// a gap, and hold exactly the lines of the whole walk up to their end.
TEST(WideSearch, AStopMidWalkHandsOverWholePartsOnly) {
  std::mt19937_64 random(14);
  int stopped = 0;
  for (int round = 0; round < 4; ++round) {
    const int32_t base = int32_t(2 + random() % 40), c = random() % 2 == 0 ? 1 : -1;
    const uint32_t period = kPeriods[random() % 4];
    const pelund::SearchParams params = pelund::makeParams(base, c, 1, 2, period, 100 + int64_t(random() % 200), 1);
    const WideSearch wide(wide_helpers::wideParams(base, c, period, 1), wide_helpers::widePrimes(pelund::candidates(params)));
    const U256 from = 1 + random() % 1000, to = from + U256((uint64_t(1) << 26) + (uint64_t(1) << 22) + 1000);
    Joined whole;
    ASSERT_TRUE(wide.walk(from, to, whole, pelund::StopToken{}));
    for (uint64_t polls : {uint64_t(1), uint64_t(2 + random() % 40), uint64_t(50 + random() % 400)}) {
      pollsLeft = polls;
      Joined part;
      if (wide.walk(from, to, part, pelund::StopToken(&pollsRunOut))) continue;
      ++stopped;
      EXPECT_FALSE(part.gap);
      if (!part.any) continue;
      EXPECT_EQ(part.from, from);
      size_t lines = 0;
      while (lines < whole.ks.size() && whole.ks[lines] <= part.to) ++lines;
      EXPECT_EQ(part.ks, std::vector<U256>(whole.ks.begin(), whole.ks.begin() + std::ptrdiff_t(lines)));
      EXPECT_EQ(part.text, whole.text.substr(0, part.text.size()));
    }
    // From the sink: the walk ends before the part after the second (when it has one).
    struct StopAfterTwo : Joined {
      std::atomic<bool>* flag = nullptr;
      void partDone(const pelund::wide::WidePart& part) override {
        Joined::partDone(part);
        if (parts == 2) *flag = true;
      }
    } two;
    std::atomic<bool> flag{false};
    two.flag = &flag;
    EXPECT_EQ(wide.walk(from, to, two, pelund::StopToken(flag)), whole.parts <= 2);
    EXPECT_EQ(two.parts, std::min<size_t>(2, whole.parts));
    EXPECT_FALSE(two.gap);
    EXPECT_EQ(two.text, whole.text.substr(0, two.text.size()));
  }
  EXPECT_GT(stopped, 4);
}

// A part of the wide tree (P above 5040), or a long part that the 64-bit tree takes
// beyond 10^18, goes subtree by subtree: stopped at any poll of a walk (in its tree, or
// in the lines of a part whose subtrees are all done), the walk goes on from the sink's
// last progress (its list rebuilt, the subtrees done skipped, their k kept), and the
// parts of both walks join into the whole walk's text; a progress whose list differs
// starts its part again. (The real binary's stops inside a long tree:
// WideEndToEnd.StoppedOrKilledWideSearchesResumeToTheSameFile.)
TEST(WideSearch, APartOfTheWideTreeStoppedAnywhereGoesOnFromItsProgress) {
  struct Resumable : Joined {
    pelund::wide::WideTreeProgress last;
    size_t told = 0;
    void treeProgress(const pelund::wide::WideTreeProgress& progress) override { last = progress, ++told; }
  };
  std::mt19937_64 random(17);
  int inParts = 0, dropTests = 0, small = 0;
  const int rounds = e2e::rounds(6);
  for (int round = 0; round < rounds; ++round) {
    const int32_t base = int32_t(2 + random() % 60), c = random() % 2 == 0 ? 1 : -1;
    const pelund::SearchParams params = pelund::makeParams(base, c, 1, 2, 720, 200 + int64_t(random() % 400), 1);
    // Period 10080 keeps the parts on the wide tree; its primes are those of 720. At
    // period 720 the 64-bit tree takes the parts, shifted beyond 10^18; the first walk
    // is given a part in progress, so that its one part goes in subtrees.
    const bool narrow = round % 3 == 2;
    const WideSearch wide(wide_helpers::wideParams(base, c, narrow ? 720 : 10080, 1 + round % 2),
                          wide_helpers::widePrimes(pelund::candidates(params)));
    const U256 from = U256(1 + random() % 100000).mulSmall(1000000007).mulSmall(narrow ? 1000000000000 : 1),
               to = from + U256((uint64_t(1) << 20) + 999);
    const pelund::wide::WideTreeProgress inSubtrees{from, to, 256, 0, 0, {}};
    const pelund::wide::WideTreeProgress* forced = narrow ? &inSubtrees : nullptr;
    // The whole walk, counting its polls for a stop: the stops below come at any of them.
    const uint64_t many = uint64_t(1) << 40;
    pollsLeft = many;
    Joined whole;
    ASSERT_TRUE(wide.walkLines(from, to, 0, whole, pelund::StopToken(&pollsRunOut), {}, forced));
    const uint64_t polls = many - pollsLeft;
    if (polls < 8 && ++small < 100) {  // too few places to stop at: another search
      --round;
      continue;
    }
    for (int stop = 0; stop < 4; ++stop) {
      pollsLeft = 2 + random() % (polls - 1);
      Resumable first;
      if (wide.walkLines(from, to, 0, first, pelund::StopToken(&pollsRunOut), {}, forced)) continue;
      const U256 next = first.any ? first.to + 1 : from;
      pelund::wide::WideTreeProgress progress = first.last;
      const bool inPart = first.told > 0 && progress.from == next;
      inParts += inPart && progress.done > 0;
      if (inPart && stop == 3) progress.list ^= 1;  // another list: the part again from its start
      SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " stop " + std::to_string(stop) +
                   (inPart ? " done " + std::to_string(progress.done) : std::string(" between parts")));
      Resumable rest;
      ASSERT_TRUE(wide.walkLines(next, to, 0, rest, pelund::StopToken{}, {}, inPart ? &progress : nullptr));
      EXPECT_FALSE(first.gap || rest.gap);
      EXPECT_EQ(rest.from, next);
      EXPECT_EQ(first.text + rest.text, whole.text);
      // The subtrees done are not searched again: their k come from the progress alone.
      // The wide tree finds each k in one subtree, so a k dropped from the progress is
      // found no more; the 64-bit tree may find a k in two, so there an uncovered k put
      // in the progress is taken in as given, and refused when its line is made.
      if (inPart && stop != 3 && !progress.covered.empty()) {
        Resumable without;
        if (narrow) {
          U256 uncovered = next;
          while (!wide.lineOf(uncovered).empty()) uncovered = uncovered + U256(1);
          progress.covered = {uncovered};
          EXPECT_THROW(wide.walkLines(next, to, 0, without, pelund::StopToken{}, {}, &progress), pelund::Error);
        } else {
          const U256 dropped = progress.covered.front();
          progress.covered.erase(progress.covered.begin());
          ASSERT_TRUE(wide.walkLines(next, to, 0, without, pelund::StopToken{}, {}, &progress));
          EXPECT_EQ(std::find(without.ks.begin(), without.ks.end(), dropped), without.ks.end());
          EXPECT_EQ(without.ks.size() + 1, rest.ks.size());
        }
        ++dropTests;
      }
    }
  }
  EXPECT_GE(inParts, rounds) << "stops inside a part after some of its subtrees";
  EXPECT_GT(dropTests, 0);
}

}  // namespace

namespace {

// A candidate given with a period other than the order of b modulo it, or one that
// does not divide P, is refused; primes dividing b or b - 1 are left out.
TEST(WideSearch, RefusesCandidatesWhosePeriodIsNotTheirOrder) {
  std::mt19937_64 random(16);
  for (int round = 0; round < 200; ++round) {
    const uint64_t base = 2 + random() % 1000;
    uint64_t p = 3 + random() % 100000;
    while (!pelund::isPrime64(p) || base % p == 0 || (base - 1) % p == 0) ++p;
    const uint32_t order = uint32_t(pelund::orderMod64(base, p, p - 1));
    const uint32_t claimed = order * uint32_t(2 + random() % 3);
    EXPECT_THROW(WideSearch(wide_helpers::wideParams(int64_t(base), 1, claimed * 2), {{p, claimed}}), pelund::Error);
    if (order >= 2 && order <= 65520) {
      EXPECT_NO_THROW(WideSearch(wide_helpers::wideParams(int64_t(base), 1, order), {{p, order}}));
      const uint32_t other = order == 2 ? 3 : order - 1;
      EXPECT_THROW(WideSearch(wide_helpers::wideParams(int64_t(base), 1, other), {{p, order}}), pelund::Error);
    }
  }
  // b = 7: 2 and 3 divide b - 1, 7 divides b; none can cover a term that counts.
  const WideSearch left(wide_helpers::wideParams(7, 1, 12), {{2, 1}, {3, 1}, {7, 1}});
  EXPECT_FALSE(left.searchable());
}

}  // namespace
