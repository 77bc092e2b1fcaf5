// pelund-ck --wide through the real binary. Whether k is covered, and by which primes,
// depends on k modulo Q*b*(b-1) alone, Q the product of the candidate primes: so a
// table of k raised by a multiple of that modulus for every base (above 2^64, near
// 2^256, or across 1e18, where the ordinary engines hand over to the wide one) is the
// ordinary table of the range below, its k raised. Within the caps --wide is the
// ordinary table with " wide=1" in its first line; wide tables resume; the lines
// verify; the faults have pelund's words.
#include <gtest/gtest.h>
#include <gmpxx.h>

#include <random>
#include <sstream>

#include <pelund/pelund.hpp>

#include "e2e.h"
#include "search_helpers.h"

namespace {

e2e::RunResult runCk(const e2e::TempDir& dir, const std::string& arguments) {
  return e2e::run(dir, {}, arguments, std::chrono::seconds(300), PELUND_CK_BINARY);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string tableOf(const std::string& arguments) {
  e2e::TempDir dir;
  const e2e::RunResult result = runCk(dir, arguments);
  EXPECT_EQ(result.exitStatus, 0) << arguments << "\n" << result.out;
  return dir.read("ck.txt");
}

// The lines of a table after its first, every k raised by `shift`.
std::vector<std::string> raised(const std::string& table, const mpz_class& shift) {
  std::vector<std::string> lines = linesOf(table);
  lines.erase(lines.begin());
  for (std::string& line : lines) {
    const size_t name = line.find("  ") + 2;
    if (line.compare(name, std::string::npos, "none") == 0) continue;
    const size_t end = line.find("  ", name);
    const mpz_class k(line.substr(name, end - name));
    line = line.substr(0, name) + mpz_class(k + shift).get_str() + line.substr(end);
  }
  return lines;
}

std::vector<std::string> body(const std::string& table) {
  std::vector<std::string> lines = linesOf(table);
  lines.erase(lines.begin());
  return lines;
}

// The lcm over the bases of b*(b-1) times the product of their candidate primes.
mpz_class modulusOf(const std::vector<int>& bases, int period, int maxFact) {
  mpz_class m = 1;
  for (int b : bases) {
    mpz_class q = b * (b - 1);
    for (const FactorPeriod& fp : helpers::bruteTable(b, period, uint32_t(maxFact)).factorPeriodList) q *= fp.factor;
    mpz_lcm(m.get_mpz_t(), m.get_mpz_t(), q.get_mpz_t());
  }
  return m;
}

std::string basesText(const std::vector<int>& bases) {
  std::string text;
  for (int b : bases) text += (text.empty() ? "" : ",") + std::to_string(b);
  return text;
}

TEST(WideCkTable, TablesAboveTheCapsAreTheOrdinaryTablesOfTheRangeBelowRaised) {
  std::mt19937_64 random(20261208);
  const mpz_class top = mpz_class(1) << 256, e18("1000000000000000000");
  size_t found = 0, nones = 0, seams = 0, widePart = 0;
  for (int round = 0; round < 8; ++round) {
    // One base first, two or three then.
    std::vector<int> bases;
    for (int i = 0; i < (round < 4 ? 1 : 2 + int(random() % 2)); ++i) bases.push_back(2 + int(random() % 20));
    std::sort(bases.begin(), bases.end());
    bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
    const int period = round % 2 == 0 ? 12 : 24;
    const int maxFact = 100 + int(random() % 200);
    const int64_t from = 1 + int64_t(random() % 1000), to = from + 200000 + int64_t(random() % 4000000);
    const mpz_class q = modulusOf(bases, period, maxFact);
    const std::string forms = round % 3 == 0 ? "S" : "SR";
    const std::string settings = forms + " " + basesText(bases) + " --period " + std::to_string(period) + " --maxfact " +
                                 std::to_string(maxFact) + " --threads " + std::to_string(1 + round % 2);
    SCOPED_TRACE(settings);
    const std::string below = tableOf(settings + " --mink " + std::to_string(from) + " --maxk " + std::to_string(to));
    std::vector<mpz_class> shifts = {mpz_class("100000000000000000000000") / q * q + q, (top - to - 1) / q * q};
    for (const mpz_class& shift : shifts) {
      const std::string mink = mpz_class(shift + from).get_str(), maxk = mpz_class(shift + to).get_str();
      SCOPED_TRACE(mink);
      ASSERT_LT(shift + to, top);
      const std::string above = tableOf(settings + " --wide --mink " + mink + " --maxk " + maxk);
      std::string heading = linesOf(below).front();
      heading = heading.substr(0, heading.find(" mink=")) + " mink=" + mink + " maxk=" + maxk + " algebraic=0 wide=1";
      EXPECT_EQ(linesOf(above).front(), heading);
      EXPECT_EQ(body(above), raised(below, shift));
    }
    // Across 1e18: shift the largest multiple of the modulus up to it, r = 1e18 - shift
    // below the modulus, and a range from a little below r: the ordinary engines search
    // up to 1e18, the wide one after it.
    if (q < e18 / 4) {
      const mpz_class shift = e18 / q * q, r = e18 - shift;
      const mpz_class lo = r > 1000 ? mpz_class(r - int(random() % 1000)) : mpz_class(1), hi = lo + (to - from);
      SCOPED_TRACE("across 1e18 from " + mpz_class(shift + lo).get_str());
      const std::string seamBelow = tableOf(settings + " --mink " + lo.get_str() + " --maxk " + hi.get_str());
      const std::string above = tableOf(settings + " --wide --mink " + mpz_class(shift + lo).get_str() + " --maxk " +
                                        mpz_class(shift + hi).get_str());
      EXPECT_EQ(body(above), raised(seamBelow, shift));
      ++seams;
      for (const std::string& line : body(above)) {
        const size_t k = line.find("  ") + 2;
        widePart += !line.ends_with("  none") && mpz_class(line.substr(k, line.find("  ", k) - k)) > e18;
      }
    }
    for (const std::string& line : body(below)) (line.ends_with("  none") ? nones : found) += 1;
  }
  EXPECT_GT(found, 4u);
  EXPECT_GT(nones, 0u);
  EXPECT_GE(seams, 2u);
  EXPECT_GT(widePart, 0u);
}

TEST(WideCkTable, WithinTheCapsTheOrdinaryTableWithWideInItsFirstLine) {
  std::mt19937_64 random(8122026);
  for (int round = 0; round < 4; ++round) {
    const int first = 2 + int(random() % 100);
    const std::string settings = "SR " + std::to_string(first) + "-" + std::to_string(first + 2) + " --period " +
                                 std::to_string(round % 2 ? 144 : 36) + " --maxfact " +
                                 std::to_string(1000 + random() % 50000) + " --maxk " +
                                 std::to_string(1000 + random() % 1000000) + (round == 3 ? " --algebraic" : "");
    SCOPED_TRACE(settings);
    const std::string ordinary = tableOf(settings), wide = tableOf(settings + " --wide");
    const size_t end = ordinary.find('\n');
    EXPECT_EQ(wide, ordinary.substr(0, end) + " wide=1" + ordinary.substr(end));
  }
}

// A period above 5040 makes the whole search wide: each line is the first of pelund's
// wide=1 search with the same parameters.
TEST(WideCkTable, LargerPeriodsGiveTheFirstLineOfPelundWide) {
  std::mt19937_64 random(5544);
  const int periods[] = {5544, 7920, 10080};
  size_t found = 0;
  for (int round = 0; round < 3; ++round) {
    const int first = 2 + int(random() % 30), period = periods[round], maxFact = 500 + int(random() % 3000);
    const std::string maxK = std::to_string(100000 + random() % 3000000);
    const std::string settings = "SR " + std::to_string(first) + "-" + std::to_string(first + 1) + " --wide --period " +
                                 std::to_string(period) + " --maxfact " + std::to_string(maxFact) + " --maxk " + maxK;
    SCOPED_TRACE(settings);
    const std::vector<std::string> lines = body(tableOf(settings));
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines) {
      const size_t blank = line.find("  ");
      e2e::TempDir dir;
      dir.write("pelund.ini", "base=" + line.substr(1, blank - 1) + "\nc=" + (line[0] == 'S' ? "1" : "-1") +
                                  "\nmink=1\nmaxk=" + maxK + "\nperiod=" + std::to_string(period) +
                                  "\nmaxfact=" + std::to_string(maxFact) + "\nwide=1\nmaxsets=1\n");
      EXPECT_EQ(e2e::run(dir).exitStatus, 0);
      const std::vector<std::string> covering = linesOf(dir.read("covering.txt"));
      EXPECT_EQ(line.substr(blank + 2), covering.empty() ? "none" : covering.front());
      found += !covering.empty();
    }
  }
  EXPECT_GT(found, 1u);
}

TEST(WideCkTable, WideTablesResumeAndAreRefusedWithoutWide) {
  const std::string settings = "SR 2,6,10,11 --period 12 --maxfact 200 --wide --mink 100000000000000000000001 "
                               "--maxk 100000000000000000500000";
  const std::string reference = tableOf(settings);
  const std::vector<std::string> lines = linesOf(reference);
  ASSERT_EQ(lines.size(), 9u);
  // Cut after a few lines, or inside one (a killed run): the same table again.
  for (size_t cut : {reference.find('\n', reference.find("R6")) + 1, reference.size() - 7}) {
    e2e::TempDir dir;
    dir.write("ck.txt", reference.substr(0, cut));
    EXPECT_EQ(runCk(dir, settings).exitStatus, 0);
    EXPECT_EQ(dir.read("ck.txt"), reference);
  }
  // A damaged wide line and the table read without --wide are refused untouched.
  const std::string damaged = lines[0] + "\n" + lines[1] + "\n" + lines[2].substr(0, 10) + "x\n";
  e2e::TempDir dir;
  dir.write("ck.txt", damaged);
  EXPECT_EQ(runCk(dir, settings).out,
            e2e::errorLine("ck.txt does not match its parameters at line 3: " + lines[2].substr(0, 10) + "x"));
  EXPECT_EQ(dir.read("ck.txt"), damaged);
  dir.write("ck.txt", reference);
  EXPECT_EQ(runCk(dir, "SR 2,6,10,11 --period 12 --maxfact 200").out,
            e2e::errorLine("ck.txt holds a table of other parameters: " + lines[0]));
  // The factoring's effort is a parameter of the table when it is not the default.
  EXPECT_EQ(runCk(dir, settings + " --factoreffort 7").out,
            e2e::errorLine("ck.txt holds a table of other parameters: " + lines[0]));
  EXPECT_EQ(dir.read("ck.txt"), reference);
  EXPECT_EQ(tableOf(settings + " --factoreffort 0"),
            lines[0] + " factoreffort=0" + reference.substr(reference.find('\n')));
}

TEST(WideCkTable, EveryWideLineVerifiesAndTheConsoleNamesTheRangeInFull) {
  const std::string top = "115792089237316195423570985008687907853269984665640564039457584007913129639935";
  const std::string mink = "115792089237316195423570985008687907853269984665640564039457584007913000000000";
  e2e::TempDir dir;
  const e2e::RunResult result =
      runCk(dir, "SR 2-14 --period 24 --maxfact 1000 --wide --mink " + mink + " --maxk " + top);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(e2e::maskStamps(result.out),
            "\n" + e2e::statusLine("CK table of S and R for bases 2-14 with factor<=1000 and period=24, k=" + mink +
                                   " to " + top) +
                "\n" + e2e::statusLine("CK table complete: 26 lines in ck.txt"));
  size_t verified = 0;
  for (const std::string& line : body(dir.read("ck.txt"))) {
    const size_t blank = line.find("  ");
    if (line.ends_with("  none")) continue;
    const pelund::LineVerdict verdict = pelund::verifyLine(line.substr(blank + 2) + "\n",
                                                           std::stoll(line.substr(1, blank - 1)), line[0] == 'S' ? 1 : -1);
    EXPECT_EQ(verdict.fault, "") << line;
    EXPECT_GT(verdict.kText, mink) << line;
    ++verified;
  }
  EXPECT_GT(verified, 10u);
}

// A line whose Phi_d(b) were not all factored (none of base 10's or 11's at period 97
// without time to factor; base 2's are) is named in pelund.log with what is left, once
// written, and in a closing line; the others are not.
TEST(WideCkTable, LinesOfPhiNotFactoredCompletelyAreNamed) {
  if (!PELUND_FACTORING_BUILT) GTEST_SKIP() << "built without FLINT";
  e2e::TempDir dir;
  const e2e::RunResult result = runCk(
      dir, "SR 2,10-11 --wide --period 97 --maxfact 18446744073709551615 --maxk 1000 --factoreffort 0");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(e2e::maskStamps(result.out),
            "\n" +
                e2e::statusLine("CK table of S and R for bases 2,10-11 with factor<=18446744073709551615 and "
                                "period=97, k=1 to 1000") +
                "\n" + e2e::statusLine("CK table complete: 6 lines in ck.txt") +
                e2e::statusLine("The lines of S10, R10, S11, R11 are exact for the candidate primes listed in "
                                "pelund.log: some Phi_d(b) are not factored completely"));
  EXPECT_EQ(body(dir.read("ck.txt")),
            (std::vector<std::string>{"S2  none", "R2  none", "S10  none", "R10  none", "S11  none", "R11  none"}));
  std::string expected;
  for (const char* name : {"S10", "R10", "S11", "R11"})
    expected += "Status (STAMP):  " + std::string(name) +
                ": the line is exact for the candidate primes found; not factored completely:\n" +
                (name[1] == '1' && name[2] == '0' ? "Phi_97(10): no factor found; a cofactor of 97 digits is left"
                                                  : "Phi_97(11): 389; a cofactor of 98 digits is left") +
                "\n\n";
  const std::string log = e2e::maskStamps(dir.read("pelund.log"));
  EXPECT_NE(log.find(expected), std::string::npos) << log;
  EXPECT_EQ(log.find("S2:"), std::string::npos);
  EXPECT_EQ(log.find("R2:"), std::string::npos);
}

TEST(WideCkTable, FaultsHaveTheWordsOfPelund) {
  const struct {
    std::string arguments, message;
  } cases[] = {
      // The range's own checks are the library's (see ConfigTest): one of them here.
      {"S 2 --wide --period 65521", "period cannot be greater than 65520"},
      {"S 2 --wide --maxk 1000000000000000001 --algebraic",
       "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040"},
      {"S 2 --period 5041 --wide --algebraic",
       "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040"},
      {"S 2 --wide --maxk 1000000000000000001 --threads 1025", "threads cannot be greater than 1024"},
      {"S 1 --wide", "base cannot be less than 2"},
      {"S 2 --wide --factoreffort 86401", "factoreffort cannot be greater than 86400"},
      {"S 2 --wide --factoreffort -1", "option values must be decimal numbers"},
      // Without --wide, the caps of the ordinary table.
      {"S 2 --maxk 1000000000000000001", "maxk cannot be greater than 1e18"},
      {"S 2 --period 65520", "period cannot be greater than 5040"},
      {"S 2 --maxfact 18446744073709551615", "maxfact cannot be greater than 1e9"},
      {"S 2 --maxk 115792089237316195423570985008687907853269984665640564039457584007913129639935",
       "option values must be decimal numbers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    e2e::TempDir dir;
    const e2e::RunResult result = runCk(dir, c.arguments);
    EXPECT_EQ(result.out, e2e::errorLine(c.message));
    EXPECT_EQ(result.exitStatus, 1);
    for (const char* file : {"ck.txt", "pelund.log", "pelund.lock"}) EXPECT_FALSE(dir.exists(file)) << file;
  }
}

}  // namespace
