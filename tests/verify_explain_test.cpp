// The explanation of a line (pelund::explainLine, pelund::explain) and pelund-verify
// --explain / --json: on generated lines each prime's period and class agree with
// direct arithmetic, the classes cover 1 .. span exactly when the terms do, and the
// reason is the checker's; the command's exact bytes on a small file and its exit
// statuses. The JSON itself is read back by Python's json module (tests/python).
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "e2e.h"
#include "pelund/pelund.hpp"

namespace {

bool isPrimeByTrialDivision(uint32_t n) {
  if (n < 2) return false;
  for (uint32_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

uint32_t orderByMultiplication(int64_t base, uint32_t p) {
  uint32_t order = 1;
  for (uint64_t power = uint64_t(base) % p; power != 1; power = power * uint64_t(base) % p) ++order;
  return order;
}

// p | k*b^n + c, from k mod p and n multiplications.
bool divides(uint32_t p, int64_t k, int64_t base, uint32_t n, int32_t c) {
  uint64_t residue = uint64_t(k) % p;
  for (uint32_t i = 0; i < n; ++i) residue = residue * uint64_t(base) % p;
  return (residue + (c > 0 ? 1 : p - 1)) % p == 0;
}

std::string lineText(int64_t k, uint32_t period, const std::vector<uint32_t>& primes) {
  std::string text = std::to_string(k) + "  " + std::to_string(period) + "  [";
  for (size_t i = 0; i < primes.size(); ++i) text += (i > 0 ? ", " : "") + std::to_string(primes[i]);
  return text + "]\n";
}

// Lines as a search writes them (primes of an order dividing the period, three in four
// of them), sometimes with a prime of another order, for k up to 10^18.
TEST(VerifyExplain, ClassesAgreeWithDirectArithmeticOnGeneratedLines) {
  std::mt19937_64 random(78557);
  const int64_t bases[] = {2, 3, 5, 6, 7, 10, 12};
  const uint32_t periods[] = {2, 3, 4, 6, 8, 12, 16, 18, 24, 36};
  int covering = 0, uncovered = 0, unknown = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    const int64_t base = bases[random() % std::size(bases)];
    const uint32_t period = periods[random() % std::size(periods)];
    const int32_t c = random() % 2 ? 1 : -1;
    std::vector<uint32_t> primes;
    bool foreign = false;
    for (uint32_t p = 2; p < 2000; ++p) {
      if (!isPrimeByTrialDivision(p) || base % p == 0) continue;
      const bool fits = period % orderByMultiplication(base, p) == 0;
      if ((fits && random() % 4 != 0) || (!fits && random() % 400 == 0)) primes.push_back(p);
      foreign = foreign || (!fits && !primes.empty() && primes.back() == p);
    }
    if (primes.empty()) continue;
    const int64_t k = random() % 2 ? int64_t(random() % 100000 + 1) : int64_t(random() % 1000000000000000000 + 1);
    const std::string line = lineText(k, period, primes);
    SCOPED_TRACE(line + " base=" + std::to_string(base) + " c=" + std::to_string(c));
    const pelund::Explanation e = pelund::explainLine(line, base, c);
    ASSERT_EQ(e.fault, pelund::verifyLine(line, base, c).fault);
    ASSERT_EQ(e.classesKnown, !foreign);
    if (foreign) {
      EXPECT_TRUE(e.primes.empty());
      ++unknown;
      continue;
    }
    ASSERT_EQ(e.span, period);
    ASSERT_EQ(e.primes.size(), primes.size());
    std::vector<bool> inClass(period + 1), divided(period + 1);
    for (size_t i = 0; i < primes.size(); ++i) {
      const pelund::PrimeClass& prime = e.primes[i];
      ASSERT_EQ(prime.prime, primes[i]);
      ASSERT_EQ(prime.period, orderByMultiplication(base, prime.prime));
      std::vector<uint32_t> residues;
      for (uint32_t r = 1; r <= prime.period; ++r)
        if (divides(prime.prime, k, base, r, c)) residues.push_back(r % prime.period);
      std::sort(residues.begin(), residues.end());
      ASSERT_EQ(prime.residues, residues) << prime.prime;
      for (uint32_t n = 1; n <= period; ++n) {
        inClass[n] = inClass[n] || std::count(residues.begin(), residues.end(), n % prime.period) > 0;
        divided[n] = divided[n] || divides(prime.prime, k, base, n, c);
      }
    }
    ASSERT_EQ(inClass, divided);
    const bool all = std::count(divided.begin() + 1, divided.end(), true) == period;
    ASSERT_EQ(all, e.fault.find("is not covered") == std::string::npos);
    ++(all ? covering : uncovered);
  }
  std::printf("generated lines: %d covering, %d with an n uncovered, %d with a prime of another order\n", covering,
              uncovered, unknown);
  EXPECT_GT(covering, 100);
  EXPECT_GT(uncovered, 100);
  EXPECT_GT(unknown, 100);
}

// explain() takes the primes as a set and the period as the lcm of their orders: the
// line it builds explains as that line does, and a k below 1 is refused as in a line.
TEST(VerifyExplain, PrimesAsASetExplainAsTheirLine) {
  std::mt19937_64 random(271129);
  for (int trial = 0; trial < 300; ++trial) {
    const int64_t base = int64_t(random() % 30 + 2);
    const int32_t c = random() % 2 ? 1 : -1;
    const int64_t k = int64_t(random() % 1000000 + 1);
    std::vector<uint32_t> given;
    for (uint32_t p = 3; p < 300; ++p)
      if (isPrimeByTrialDivision(p) && base % p != 0 && random() % 6 == 0) given.push_back(p);
    if (given.empty()) continue;
    uint64_t lcm = 1;
    for (uint32_t p : given) lcm = std::lcm(lcm, uint64_t(orderByMultiplication(base, p)));
    if (lcm > 5040) continue;
    std::vector<uint32_t> shuffled = given;
    shuffled.push_back(given[random() % given.size()]);
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    const std::string line = lineText(k, uint32_t(lcm), given);
    SCOPED_TRACE(line + " base=" + std::to_string(base) + " c=" + std::to_string(c));
    const pelund::Explanation fromSet = pelund::explain(base, c, k, shuffled), fromLine = pelund::explainLine(line, base, c);
    EXPECT_EQ(fromSet.period, lcm);
    EXPECT_EQ(fromSet.fault, fromLine.fault);
    ASSERT_EQ(fromSet.primes.size(), fromLine.primes.size());
    for (size_t i = 0; i < given.size(); ++i) EXPECT_EQ(fromSet.primes[i].residues, fromLine.primes[i].residues);
  }
  EXPECT_EQ(pelund::explain(2, 1, 0, {3, 5}).fault, pelund::verifyLine("0  4  [3, 5]\n", 2, 1).fault);
  EXPECT_EQ(pelund::explain(1, 1, 78557, {3, 5}).fault, pelund::verifyLine("78557  4  [3, 5]\n", 1, 1).fault);
}

// ---- The command.

const char* const kIni = "base=2\nmink=1\nmaxk=2\nc=1\n";

TEST(VerifyExplainCommand, ExplainsEachLineOfASmallFile) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kIni);
  dir.write("covering.txt",
            "78557  36  [3, 5, 7, 13, 19, 37, 73]\n"
            "78558  36  [3, 5, 7, 13, 19, 37, 73]\n"
            "271129  24  [3, 5, 7, 13, 17, 241]\n"
            "271129  24  [3, 5, 7, 13, 17, 241]\n"
            "300000  24  [3, 5, 7, 11]\n");
  const e2e::RunResult result = e2e::run(dir, {}, "--explain", std::chrono::seconds(60), PELUND_VERIFY_BINARY);
  EXPECT_EQ(result.out,
            "line 1: 78557*2^n+1 : 78557  36  [3, 5, 7, 13, 19, 37, 73]\n"
            "  n=0 (mod 2): 3\n"
            "  n=1 (mod 4): 5\n"
            "  n=1 (mod 3): 7\n"
            "  n=11 (mod 12): 13\n"
            "  n=15 (mod 18): 19\n"
            "  n=27 (mod 36): 37\n"
            "  n=3 (mod 9): 73\n"
            "  the classes cover every n from 1 to 36 and repeat every 36: every term is composite\n"
            "line 2: n=1 is not covered: no listed prime divides 78558*2^1+1 : 78558  36  [3, 5, 7, 13, 19, 37, 73]\n"
            "  no n: 3 (divides no term)\n"
            "  n=3 (mod 4): 5\n"
            "  no n: 7 (divides no term)\n"
            "  n=0 (mod 12): 13\n"
            "  n=12 (mod 18): 19\n"
            "  n=22 (mod 36): 37\n"
            "  no n: 73 (divides no term)\n"
            "line 3: 271129*2^n+1 : 271129  24  [3, 5, 7, 13, 17, 241]\n"
            "  n=1 (mod 2): 3\n"
            "  n=0 (mod 4): 5\n"
            "  n=2 (mod 3): 7\n"
            "  n=6 (mod 12): 13\n"
            "  n=6 (mod 8): 17\n"
            "  n=10 (mod 24): 241\n"
            "  the classes cover every n from 1 to 24 and repeat every 24: every term is composite\n"
            "line 4: k is not above the k of line 3 (271129) : 271129  24  [3, 5, 7, 13, 17, 241]\n"
            "  n=1 (mod 2): 3\n"
            "  n=0 (mod 4): 5\n"
            "  n=2 (mod 3): 7\n"
            "  n=6 (mod 12): 13\n"
            "  n=6 (mod 8): 17\n"
            "  n=10 (mod 24): 241\n"
            "line 5: the order of 2 modulo 11 is 10, which does not divide the period 24 : 300000  24  [3, 5, 7, 11]\n"
            "5 lines checked, 3 bad\n");
  EXPECT_EQ(result.exitStatus, 1);
}

// The statuses of the plain check; with --json standard output carries JSON alone.
TEST(VerifyExplainCommand, ExitStatusesAndMessagesFollowThePlainCheck) {
  struct Case {
    const char* covering;  // nullptr: none
    const char* arguments;
    std::string out;
    int exitStatus;
  };
  const std::string good = "78557  36  [3, 5, 7, 13, 19, 37, 73]";
  const Case cases[] = {
      {"78557  36  [3, 5, 7, 13, 19, 37, 73]\n", "covering.txt --explain",
       "line 1: 78557*2^n+1 : " + good + "\n", 0},
      {nullptr, "--explain", "no covering.txt: nothing to check\n0 lines checked, 0 bad\n", 0},
      {nullptr, "--json", "", 0},
      {nullptr, "--explain other.txt", "pelund-verify: cannot open other.txt: No such file or directory\n", 2},
      {nullptr, "--json other.txt", "", 2},
      {"78557  36  [3]\n", "--json", PELUND_JSON_BUILT ? "{\"line\":1" : "", PELUND_JSON_BUILT ? 1 : 2},
      {nullptr, "--explain --explain", "usage: pelund-verify [--explain | --json] [covering-file]\n", 2},
      {nullptr, "--explain --json", "", 2},
      {nullptr, "--explain a b", "usage: pelund-verify [--explain | --json] [covering-file]\n", 2},
      {nullptr, "--json a b", "", 2},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(one.arguments);
    e2e::TempDir dir;
    dir.write("pelund.ini", kIni);
    if (one.covering != nullptr) dir.write("covering.txt", one.covering);
    const e2e::RunResult result = e2e::run(dir, {}, one.arguments, std::chrono::seconds(60), PELUND_VERIFY_BINARY);
    EXPECT_EQ(result.out.substr(0, one.out.size()), one.out);  // the first line for a good file
    EXPECT_EQ(result.out.empty(), one.out.empty());
    EXPECT_EQ(result.exitStatus, one.exitStatus);
  }
}

}  // namespace
