// The covering.txt checker: known covering sets from the literature pass, each kind of
// broken line is refused with its reason, the arithmetic agrees with brute force on
// generated lines, and the pelund-verify command reports and exits as documented.
#include "verify_stream.h"

#include <gtest/gtest.h>
#include <pelund/pelund.hpp>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "e2e.h"

namespace {

using verify::checkLine;

bool isPrimeByTrialDivision(uint64_t n) {
  if (n < 2) return false;
  for (uint64_t d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

struct Known {
  int64_t base;
  int32_t c;
  std::string line;
};

// Sierpinski (c = +1) and Riesel (c = -1) numbers with their published covering sets,
// and the shrunken set of the R10 example k = 93435.
const Known kKnownGood[] = {
    {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73]\n"},
    {2, 1, "271129  24  [3, 5, 7, 13, 17, 241]\n"},
    {2, -1, "509203  24  [3, 5, 7, 13, 17, 241]\n"},
    {10, -1, "93435  6  [7, 11, 13, 37]\n"},
    {10, -1, "10176  5040  [7, 11, 13, 37]\n"},  // the largest period a search writes
};

// Each line passes with either line end, LF or CR LF.
TEST(VerifyTest, KnownCoveringSetsPass) {
  for (const Known& known : kKnownGood) {
    const std::string crlf = known.line.substr(0, known.line.size() - 1) + "\r\n";
    for (const std::string& line : {known.line, crlf}) {
      SCOPED_TRACE(line);
      verify::LineVerdict verdict = checkLine(line, known.base, known.c);
      EXPECT_EQ(verdict.fault, "");
      EXPECT_TRUE(verdict.parsed);
    }
  }
}

// Coverage depends on k only through k mod p for each listed p, so adding multiples
// of the product of the primes keeps a set covering, up to the largest 64-bit k.
TEST(VerifyTest, CoverageCarriesOverToLargeK) {
  const int64_t product = 3LL * 5 * 7 * 13 * 19 * 37 * 73;
  for (int64_t top : {int64_t{1000000000000000000}, int64_t{INT64_MAX}}) {
    int64_t k = 78557 + (top - 78557) / product * product;
    SCOPED_TRACE(k);
    EXPECT_EQ(checkLine(std::to_string(k) + "  36  [3, 5, 7, 13, 19, 37, 73]\n", 2, 1).fault, "");
    EXPECT_NE(checkLine(std::to_string(k - 1) + "  36  [3, 5, 7, 13, 19, 37, 73]\n", 2, 1).fault, "");
  }
}

struct BadCase {
  int64_t base;
  int32_t c;
  std::string line;
  std::string fault;
};

TEST(VerifyTest, BadLinesAreRefusedWithTheirReason) {
  const BadCase cases[] = {
      // Layout.
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73]", "no newline at the end (truncated line)"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 3", "no newline at the end (truncated line)"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37\n", "the list of primes is not closed with ']'"},
      {2, 1, "", "no newline at the end (truncated line)"},
      {2, 1, "\n", "expected k"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73]\r\r\n", "unexpected text after \"]\""},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73]\r", "no newline at the end (truncated line)"},
      {2, 1, "78557\r  36  [3, 5, 7, 13, 19, 37, 73]\r\n", "expected two spaces after k"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73]\n\r\n", "unexpected text after \"]\""},
      {2, 1, "78557 36 [3, 5, 7, 13, 19, 37, 73]\n", "expected two spaces after k"},
      {2, 1, "78557  36 [3, 5, 7, 13, 19, 37, 73]\n", "expected two spaces and \"[\" after the period"},
      {2, 1, "78557  36  [3,5, 7, 13, 19, 37, 73]\n", "expected \", \" or \"]\" after a prime"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73] \n", "unexpected text after \"]\""},
      {2, 1, "78557  36  []\n", "no primes listed"},
      {2, 1, "78557  36  [3, , 7]\n", "expected prime"},
      {2, 1, "+78557  36  [3, 5, 7, 13, 19, 37, 73]\n", "expected k"},
      {2, 1, "-78557  36  [3, 5, 7, 13, 19, 37, 73]\n", "expected k"},
      {2, 1, "078557  36  [3, 5, 7, 13, 19, 37, 73]\n", "k has a leading zero"},
      {2, 1, "78557  036  [3, 5, 7, 13, 19, 37, 73]\n", "period has a leading zero"},
      // k = 2^63 = 2 (mod 3) is read (a wide k): 3 divides k*2^n+1 for the even n only.
      {2, 1, "9223372036854775808  36  [3]\n", "n=1 is not covered: no listed prime divides 9223372036854775808*2^1+1"},
      {2, 1, "115792089237316195423570985008687907853269984665640564039457584007913129639936  36  [3]\n",
       "k is larger than 2^256-1"},
      {2, 1, std::string(300, '7') + "  36  [3]\n", "k is larger than 2^256-1"},
      {2, 1, "78557  4294967296  [3]\n", "period is larger than 4294967295"},
      {2, 1, "78557  36  [3, 18446744073709551616]\n", "prime is larger than 18446744073709551615"},
      // Values outside what a covering line can claim.
      {2, 1, "0  36  [3, 5, 7, 13, 19, 37, 73]\n", "k must be at least 1"},
      {2, 1, "78557  0  [3]\n", "the period must be at least 1"},
      // Refused before any work: a period of 2^32 - 4 would cost hours of arithmetic. A
      // period up to 65520 (a wide search's) is read: 10 has the order 6 modulo 7.
      {10, -1, "10176  5041  [7, 11, 13, 37]\n", "the order of 10 modulo 7 is 6, which does not divide the period 5041"},
      {10, -1, "10176  65521  [7, 11, 13, 37]\n", "the period must be at most 65520 (the largest a search writes)"},
      {10, -1, "10176  4294967292  [7, 11, 13, 37]\n", "the period must be at most 65520 (the largest a search writes)"},
      // Composites, including a Carmichael number and a strong pseudoprime to base 2.
      {2, 1, "78557  36  [1, 3, 5, 7, 13, 19, 37, 73]\n", "1 is not prime"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73, 91]\n", "91 is not prime"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73, 561]\n", "561 is not prime"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73, 2047]\n", "2047 is not prime"},
      {2, 1, "78557  36  [3, 5, 7, 13, 19, 37, 73, 4294967295]\n", "4294967295 is not prime"},
      // Order and arrangement.
      {2, 1, "78557  36  [3, 7, 5, 13, 19, 37, 73]\n", "primes are not strictly ascending: 7 is followed by 5"},
      {2, 1, "78557  36  [3, 3, 5, 7, 13, 19, 37, 73]\n", "primes are not strictly ascending: 3 is followed by 3"},
      {2, 1, "78557  18  [3, 5, 7, 13, 19, 37, 73]\n",
       "the order of 2 modulo 5 is 4, which does not divide the period 18"},
      {10, -1, "93435  6  [7, 11, 13, 37, 101]\n",
       "the order of 10 modulo 101 is 4, which does not divide the period 6"},
      {10, -1, "93435  6  [2, 7, 11, 13, 37]\n", "2 divides the base 10"},
      {2, -1, "509203  24  [2, 3, 5, 7, 13, 17, 241]\n", "2 divides the base 2"},
  };
  for (const BadCase& bad : cases) {
    SCOPED_TRACE(bad.line);
    EXPECT_EQ(checkLine(bad.line, bad.base, bad.c).fault, bad.fault);
  }
}

// k*b^n + c computed exactly (it fits in 128 bits for the sizes used here).
unsigned __int128 term(int64_t k, int64_t base, uint32_t n, int32_t c) {
  unsigned __int128 value = static_cast<unsigned __int128>(k);
  for (uint32_t i = 0; i < n; ++i) value *= static_cast<unsigned __int128>(base);
  return c > 0 ? value + 1 : value - 1;
}

// The first n in 1 .. period whose exact term none of the primes divides; 0 if none.
uint32_t firstUncoveredByBruteForce(int64_t k, int64_t base, int32_t c, uint32_t period,
                                    const std::vector<uint32_t>& primes) {
  for (uint32_t n = 1; n <= period; ++n) {
    unsigned __int128 value = term(k, base, n, c);
    bool hit = std::any_of(primes.begin(), primes.end(), [&](uint32_t p) { return value % p == 0; });
    if (!hit) return n;
  }
  return 0;
}

std::string lineText(int64_t k, uint32_t period, const std::vector<uint32_t>& primes) {
  std::string text = std::to_string(k) + "  " + std::to_string(period) + "  [";
  for (size_t i = 0; i < primes.size(); ++i) text += (i > 0 ? ", " : "") + std::to_string(primes[i]);
  return text + "]\n";
}

// Taking out one prime of a published covering set leaves an exponent bare, or a sign
// flip breaks it; the reported n is the first one that brute force finds bare.
TEST(VerifyTest, UncoveredExponentIsTheFirstOneBruteForceFinds) {
  struct Set {
    int64_t k, base;
    int32_t c;
    uint32_t period;
    std::vector<uint32_t> primes;
  };
  const Set sets[] = {
      {78557, 2, 1, 36, {3, 5, 7, 13, 19, 37, 73}},
      {509203, 2, -1, 24, {3, 5, 7, 13, 17, 241}},
      {93435, 10, -1, 6, {7, 11, 13, 37}},
  };
  for (const Set& set : sets) {
    for (int32_t c : {set.c, -set.c}) {
      for (size_t drop = 0; drop <= set.primes.size(); ++drop) {
        if (c == set.c && drop == set.primes.size()) continue;  // the intact set
        std::vector<uint32_t> primes = set.primes;
        if (drop < primes.size()) primes.erase(primes.begin() + static_cast<std::ptrdiff_t>(drop));
        std::string line = lineText(set.k, set.period, primes);
        SCOPED_TRACE(line + " c=" + std::to_string(c));
        uint32_t n = firstUncoveredByBruteForce(set.k, set.base, c, set.period, primes);
        ASSERT_NE(n, 0u) << "a published covering set lost no exponent";
        std::string expected = "n=" + std::to_string(n) + " is not covered: no listed prime divides " +
                               std::to_string(set.k) + "*" + std::to_string(set.base) + "^" + std::to_string(n) +
                               (c > 0 ? "+1" : "-1");
        EXPECT_EQ(checkLine(line, set.base, c).fault, expected);
      }
    }
  }
}

TEST(VerifyTest, PrimalityAgreesWithTrialDivision) {
  for (uint32_t n = 0; n < 200000; ++n) {
    ASSERT_EQ(verify::isPrime(n), isPrimeByTrialDivision(n)) << n;
  }
  std::mt19937_64 random(6);
  std::vector<uint32_t> samples = {1373653u, 25326001u, 3215031751u, 4294967291u, 4294967295u};
  for (int i = 0; i < 5000; ++i) samples.push_back(static_cast<uint32_t>(UINT32_MAX - random() % 2000000));
  for (int i = 0; i < 5000; ++i) samples.push_back(static_cast<uint32_t>(random()));
  for (uint32_t n : samples) EXPECT_EQ(verify::isPrime(n), isPrimeByTrialDivision(n)) << n;
}

TEST(VerifyTest, OrderAgreesWithRepeatedMultiplication) {
  for (uint64_t base : {2ull, 3ull, 10ull, 12ull, 1000000000ull}) {
    for (uint32_t p = 2; p < 6000; ++p) {
      if (!isPrimeByTrialDivision(p) || base % p == 0) continue;
      uint32_t order = 1;
      for (uint64_t power = base % p; power != 1; power = power * base % p) ++order;
      ASSERT_EQ(verify::multiplicativeOrder(static_cast<uint32_t>(base % p), p), order) << base << " mod " << p;
    }
  }
}

// Independent verdict on a generated line: trial division, powers by repeated
// multiplication and exact 128-bit terms.
bool goodByBruteForce(int64_t k, int64_t base, int32_t c, uint32_t period, const std::vector<uint32_t>& primes) {
  for (size_t i = 0; i < primes.size(); ++i) {
    uint32_t p = primes[i];
    if (!isPrimeByTrialDivision(p) || (i > 0 && p <= primes[i - 1])) return false;
    uint64_t power = 1;
    for (uint32_t e = 0; e < period; ++e) power = power * static_cast<uint64_t>(base) % p;
    if (power != 1) return false;
  }
  // A term equal to a listed prime is prime: terms grow with n, so n < 40 holds them all.
  for (uint32_t n = 1; n < 40; ++n)
    if (std::find(primes.begin(), primes.end(), term(k, base, n, c)) != primes.end()) return false;
  return firstUncoveredByBruteForce(k, base, c, period, primes) == 0;
}

// Random lines over small bases and periods: mostly primes whose order divides the
// period (the sets a search would write), sometimes a composite, a prime of the wrong
// order or a prime of the base, sometimes out of order; k from 1 up to 10^18.
TEST(VerifyTest, VerdictsAgreeWithBruteForceOnGeneratedLines) {
  std::mt19937_64 random(61);
  const int64_t bases[] = {2, 3, 5, 6, 10, 12};
  const uint32_t periods[] = {2, 3, 4, 6, 8, 12, 16, 18};
  std::vector<uint32_t> smallPrimes;
  for (uint32_t p = 2; p < 3000; ++p) {
    if (isPrimeByTrialDivision(p)) smallPrimes.push_back(p);
  }
  int good = 0;
  int bad = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    int64_t base = bases[random() % std::size(bases)];
    uint32_t period = periods[random() % std::size(periods)];
    int32_t c = random() % 2 ? 1 : -1;
    std::vector<uint32_t> fitting, others;
    for (uint32_t p : smallPrimes) {
      uint64_t power = 1;
      for (uint32_t e = 0; e < period; ++e) power = power * static_cast<uint64_t>(base) % p;
      (power == 1 ? fitting : others).push_back(p);
    }
    std::vector<uint32_t> primes;
    for (uint32_t p : fitting) {
      if (random() % 4 != 0) primes.push_back(p);
    }
    if (random() % 8 == 0) primes.push_back(others[random() % others.size()]);
    if (random() % 8 == 0) primes.push_back(static_cast<uint32_t>(random() % 3000 + 4));
    std::sort(primes.begin(), primes.end());
    if (random() % 8 == 0 && primes.size() > 1) std::swap(primes[0], primes[random() % primes.size()]);
    if (primes.empty()) continue;
    int64_t k = random() % 2 ? static_cast<int64_t>(random() % 100000 + 1)
                             : static_cast<int64_t>(random() % 1000000000000000000 + 1);
    std::string line = lineText(k, period, primes);
    SCOPED_TRACE(line + " base=" + std::to_string(base) + " c=" + std::to_string(c));
    bool expected = goodByBruteForce(k, base, c, period, primes);
    ASSERT_EQ(checkLine(line, base, c).fault.empty(), expected);
    ++(expected ? good : bad);
  }
  std::printf("generated lines: %d good, %d bad\n", good, bad);
  EXPECT_GT(good, 1000);
  EXPECT_GT(bad, 1000);
}

// Sets of primes whose orders of b all exceed 1 and divide P, and which cover every
// exponent for a few residues of k modulo their product M: every residue from 1 to M
// is tried (as itself or lifted by a random multiple of M towards 10^18), so the
// genuine coverings (among them 9175 for S10 and 93435 for R10) and all near misses
// are compared with brute force.
TEST(VerifyTest, VerdictsAgreeWithBruteForceOnEveryResidue) {
  struct Family {
    int64_t base;
    uint32_t period;
    std::vector<uint32_t> primes;
  };
  const Family families[] = {
      {8, 4, {3, 5, 13}},     {12, 4, {5, 13, 29}},     {11, 6, {3, 7, 19, 37}},
      {9, 6, {5, 7, 13, 73}}, {10, 6, {7, 11, 13, 37}},
  };
  std::mt19937_64 random(9175);
  for (const Family& family : families) {
    const int64_t product = std::accumulate(family.primes.begin(), family.primes.end(), int64_t{1},
                                            [](int64_t a, uint32_t p) { return a * p; });
    for (int32_t c : {1, -1}) {
      int good = 0;
      for (int64_t residue = 1; residue <= product; ++residue) {
        int64_t lifts = (1000000000000000000 - residue) / product;
        int64_t k = random() % 2 ? residue : residue + static_cast<int64_t>(random() % lifts) * product;
        std::string line = lineText(k, family.period, family.primes);
        SCOPED_TRACE(line + " base=" + std::to_string(family.base) + " c=" + std::to_string(c));
        bool expected = firstUncoveredByBruteForce(k, family.base, c, family.period, family.primes) == 0;
        ASSERT_EQ(checkLine(line, family.base, c).fault.empty(), expected);
        good += expected;
      }
      std::printf("base %d, c=%+d: %d of %d residues covered\n", static_cast<int>(family.base), c, good,
                  static_cast<int>(product));
      EXPECT_GT(good, 0);
    }
  }
  EXPECT_EQ(checkLine("9175  6  [7, 11, 13, 37]\n", 10, 1).fault, "");
}

struct StreamResult {
  verify::Tally tally;
  std::string report;
};

StreamResult checkText(const std::string& text, int64_t base, int32_t c) {
  std::string input = text;
  std::FILE* in = text.empty() ? std::fopen("/dev/null", "r") : fmemopen(input.data(), input.size(), "r");
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  StreamResult result{verify::checkStream(in, base, c, out), ""};
  std::fclose(in);
  std::fclose(out);
  result.report.assign(buffer, size);
  std::free(buffer);
  return result;
}

TEST(VerifyTest, StreamReportsEachBadLineWithItsNumberAndText) {
  StreamResult result = checkText(
      "78557  36  [3, 5, 7, 13, 19, 37, 73]\n"
      "78557  36  [3, 5, 7, 13, 19, 37, 73]\n"
      "78500  36  [3, 5, 7, 13, 19, 37, 73, 91]\n"
      "271129  24  [3, 5, 7, 13, 17, 241]\n"
      "300000  24  [3, 5, 7\x01\n"
      "271129  24  [3, 5, 7, 13, 17, 241]\n"
      "9000000  24  [3, 5",
      2, 1);
  EXPECT_EQ(result.report,
            "line 2: k is not above the k of line 1 (78557) : 78557  36  [3, 5, 7, 13, 19, 37, 73]\n"
            "line 3: 91 is not prime : 78500  36  [3, 5, 7, 13, 19, 37, 73, 91]\n"
            "line 5: expected \", \" or \"]\" after a prime : 300000  24  [3, 5, 7\\x01\n"
            "line 6: k is not above the k of line 4 (271129) : 271129  24  [3, 5, 7, 13, 17, 241]\n"
            "line 7: no newline at the end (truncated line) : 9000000  24  [3, 5\n");
  EXPECT_EQ(result.tally.checked, 7u);
  EXPECT_EQ(result.tally.bad, 5u);
  EXPECT_FALSE(result.tally.readFailed);
}

// A file with Windows line ends checks like its LF twin; reports show lines without them.
TEST(VerifyTest, StreamAcceptsCrLfLineEnds) {
  StreamResult result = checkText(
      "78557  36  [3, 5, 7, 13, 19, 37, 73]\r\n"
      "271129  24  [3, 5, 7, 13, 17, 241]\n"
      "271130  24  [3, 5, 7, 13, 17, 241]\r\n",
      2, 1);
  EXPECT_EQ(result.report,
            "line 3: n=1 is not covered: no listed prime divides 271130*2^1+1 : 271130  24  [3, 5, 7, 13, 17, 241]\n");
  EXPECT_EQ(result.tally.checked, 3u);
  EXPECT_EQ(result.tally.bad, 1u);
}

TEST(VerifyTest, StreamEdges) {
  StreamResult empty = checkText("", 2, 1);
  EXPECT_EQ(empty.tally.checked, 0u);
  EXPECT_EQ(empty.report, "");

  // 65536 characters are the most a line may have; one more makes it bad.
  std::string longest = "78557  36  [3]" + std::string(65536 - 14, ' ');
  EXPECT_EQ(checkText(longest + "\n", 2, 1).report,
            "line 1: unexpected text after \"]\" : " + longest.substr(0, 200) + "...\n");
  std::string longLine = longest + " \n";
  StreamResult tooLong = checkText(longLine + "78557  36  [3, 5, 7, 13, 19, 37, 73]\n", 2, 1);
  EXPECT_EQ(tooLong.tally.checked, 2u);
  EXPECT_EQ(tooLong.tally.bad, 1u);
  EXPECT_EQ(tooLong.report, "line 1: line longer than 65536 characters : " + longLine.substr(0, 200) + "...\n");
}

// ---- The command, run as a user would: in a directory holding pelund.ini.

std::string verifyBinary() {
  std::string path = PELUND_BINARY;
  return path + "-verify";
}

const char* const kSierpinskiIni = "base=2\nmink=78000\nmaxk=80000\nc=1\nperiod=36\n";

TEST(VerifyCommandTest, ReportsBadLinesAndExitsWithOne) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kSierpinskiIni);
  dir.write("covering.txt", "78557  36  [3, 5, 7, 13, 19, 37, 73]\n78558  36  [3, 5, 7, 13, 19, 37, 73]\n");
  e2e::RunResult result = e2e::run(dir, {}, "", std::chrono::seconds(60), verifyBinary());
  EXPECT_EQ(result.out,
            "line 2: n=1 is not covered: no listed prime divides 78558*2^1+1 : 78558  36  [3, 5, 7, 13, 19, 37, 73]\n"
            "2 lines checked, 1 bad\n");
  EXPECT_EQ(result.exitStatus, 1);
}

TEST(VerifyCommandTest, AcceptsWhatPelundWrites) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kSierpinskiIni);
  ASSERT_EQ(e2e::run(dir).exitStatus, 0);
  ASSERT_EQ(dir.read("covering.txt"), "78557  36  [3, 5, 7, 13, 19, 37, 73]\n");
  e2e::RunResult result = e2e::run(dir, {}, "", std::chrono::seconds(60), verifyBinary());
  EXPECT_EQ(result.out, "1 line checked, 0 bad\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST(VerifyCommandTest, FilesMissingOrUnreadable) {
  struct Case {
    const char* ini;  // nullptr: no pelund.ini
    const char* arguments;
    std::string out;
    int exitStatus;
  };
  const Case cases[] = {
      {kSierpinskiIni, "", "no covering.txt: nothing to check\n0 lines checked, 0 bad\n", 0},
      {kSierpinskiIni, "other.txt", "pelund-verify: cannot open other.txt: No such file or directory\n", 2},
      {kSierpinskiIni, "sub", "pelund-verify: cannot read sub: Is a directory\n", 2},
      {kSierpinskiIni, "a b", "usage: pelund-verify [covering-file | --help | --version]\n", 2},
      {kSierpinskiIni, "--help x", "usage: pelund-verify [covering-file | --help | --version]\n", 2},
      {nullptr, "", "pelund-verify: pelund.ini not found\n", 2},
      {"base=2\nmink=1\nmaxk=5\nc=0\n", "", "pelund-verify: pelund.ini: c must be -1 or 1\n", 2},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(std::string(one.ini ? one.ini : "(no ini)") + " args: " + one.arguments);
    e2e::TempDir dir;
    if (one.ini != nullptr) dir.write("pelund.ini", one.ini);
    std::filesystem::create_directory(dir.file("sub"));
    e2e::RunResult result = e2e::run(dir, {}, one.arguments, std::chrono::seconds(60), verifyBinary());
    EXPECT_EQ(result.out, one.out);
    EXPECT_EQ(result.exitStatus, one.exitStatus);
  }
}

// --help and --version answer without pelund.ini and touch nothing; a covering file
// whose name starts with two dashes is still read when named as a path. Text that
// cannot be written ends with status 2 and the cause on standard error.
TEST(VerifyCommandTest, HelpAndVersion) {
  e2e::TempDir dir;
  const e2e::RunResult help = e2e::run(dir, {}, "--help", std::chrono::seconds(60), verifyBinary());
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* said : {"Usage: pelund-verify [--explain | --json] [covering-file]", "--json the same", "pelund.ini",
                           "covering.txt", "lines checked", "Exit status: 0"})
    EXPECT_NE(help.out.find(said), std::string::npos) << said;
  const e2e::RunResult version = e2e::run(dir, {}, "--version", std::chrono::seconds(60), verifyBinary());
  EXPECT_EQ(version.out, std::string("pelund-verify ") + pelund::kVersion + "\n");
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  dir.write("pelund.ini", kSierpinskiIni);
  dir.write("--help", "78557  36  [3, 5, 7, 13, 19, 37, 73]\n");
  const e2e::RunResult named = e2e::run(dir, {}, "./--help", std::chrono::seconds(60), verifyBinary());
  EXPECT_EQ(named.out, "1 line checked, 0 bad\n");
  EXPECT_EQ(named.exitStatus, 0);

  const std::string command = "cd '" + dir.path() + "' && '" + verifyBinary() + "' --help > /dev/full 2> errors.txt";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(dir.read("errors.txt"), "pelund-verify: standard output cannot be written: No space left on device\n");
}

}  // namespace
