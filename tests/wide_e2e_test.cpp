// wide=1 through the real binary. Within the 64-bit caps it is an ordinary search,
// byte for byte. Beyond them, the covered k of a range shifted by a multiple of the
// product Q of the candidate primes (and of b and b-1, which decide the k left out)
// are those of the unshifted range, shifted: whether k is covered, and by which
// primes, depends on k modulo Q alone. So an ordinary search is the oracle of a wide
// one at any height. Stopped or killed wide searches resume to the same file, and
// pelund-verify proves their lines.
#include <gtest/gtest.h>
#include <gmpxx.h>
#include <signal.h>

#include <random>
#include <sstream>
#include <tuple>

#include "e2e.h"
#include "search_helpers.h"
#include "rounds.h"

namespace {

using e2e::Outcome;
using e2e::runIni;

std::string iniOf(int b, int c, const std::string& minK, const std::string& maxK, int period,
                  const std::string& maxFact, const std::string& extra = "") {
  return "base=" + std::to_string(b) + "\nc=" + std::to_string(c) + "\nmink=" + minK + "\nmaxk=" + maxK +
         "\nperiod=" + std::to_string(period) + "\nmaxfact=" + maxFact + "\n" + extra;
}
std::string iniOf(int b, int c, const std::string& minK, const std::string& maxK, int period, int maxFact,
                  const std::string& extra = "") {
  return iniOf(b, c, minK, maxK, period, std::to_string(maxFact), extra);
}

// covering.txt with every k raised by `shift`.
std::string shifted(const std::string& covering, const mpz_class& shift) {
  std::istringstream in(covering);
  std::string line, out;
  while (std::getline(in, line)) {
    const size_t end = line.find("  ");
    const mpz_class k(line.substr(0, end));
    out += k.get_str() == line.substr(0, end) ? mpz_class(k + shift).get_str() + line.substr(end) + "\n" : "?\n";
  }
  return out;
}

// The closing report's count, as console bytes.
std::string closingOf(const std::string& out) {
  const size_t at = out.rfind("\033[32mStatus (STAMP):  ");
  return at == std::string::npos ? "" : out.substr(at);
}

TEST(WideEndToEnd, WithinTheCapsTheBytesOfAnOrdinarySearch) {
  std::mt19937_64 random(20261208);
  const int periods[] = {12, 24, 36, 144, 720};
  for (int round = 0; round < 10; ++round) {
    const int b = 2 + int(random() % 60), c = random() % 2 ? 1 : -1, period = periods[random() % 5];
    const int64_t maxK = 1000 + int64_t(random() % 200000);
    std::string extra = "threads=" + std::to_string(1 + random() % 2) + "\n";
    if (round % 3 == 0) extra += "kdisp=1000\n";
    if (round % 4 == 1) extra += "maxsets=3\n";
    if (round % 5 == 2) extra += "resume=1\n";
    const std::string ini = iniOf(b, c, "1", std::to_string(maxK), period, 2000 + int(random() % 50000), extra);
    SCOPED_TRACE(ini);
    e2e::TempDir ordinary, wide;
    const Outcome a = runIni(ordinary, ini), z = runIni(wide, ini + "wide=1\nfactoreffort=3\n");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(z.status, a.status);
    EXPECT_EQ(z.out, a.out);
    EXPECT_EQ(z.log, a.log);
    EXPECT_EQ(z.covering, a.covering);
    EXPECT_EQ(z.state, a.state);
  }
}

// A small search whose candidates' product Q is small: its covered k above 2^64 (and
// near 2^256) are those of the range below, shifted by a multiple of Q*b*(b-1).
struct Shifted {
  int b, c, period, maxFact;
  int64_t from, to;
};

mpz_class modulusOf(const Shifted& s) {
  mpz_class q = s.b * (s.b - 1);
  for (const FactorPeriod& fp : helpers::bruteTable(s.b, s.period, uint32_t(s.maxFact)).factorPeriodList) q *= fp.factor;
  return q;
}

TEST(WideEndToEnd, CoveredKAboveTheCapsAreThoseOfTheRangeBelowShifted) {
  const Shifted cases[] = {{2, 1, 24, 300, 1, 3000000},     {2, -1, 36, 200, 1000, 2000000},
                           {11, 1, 12, 200, 1, 200000},      {10, -1, 12, 200, 1, 1000000},
                           {6, 1, 24, 400, 5000, 2500000}};
  const mpz_class top = mpz_class(1) << 256;
  for (const Shifted& s : cases) {
    const mpz_class q = modulusOf(s);
    for (const mpz_class& height : {mpz_class("100000000000000000000000"), mpz_class((top - s.to - 1) / q)}) {
      const mpz_class shift = height * q;
      const std::string from = mpz_class(shift + s.from).get_str(), to = mpz_class(shift + s.to).get_str();
      SCOPED_TRACE(from + " " + to);
      ASSERT_LT(shift + s.to, top);
      e2e::TempDir below, above;
      const Outcome a = runIni(below, iniOf(s.b, s.c, std::to_string(s.from), std::to_string(s.to), s.period, s.maxFact));
      const Outcome z = runIni(above, iniOf(s.b, s.c, from, to, s.period, s.maxFact, "wide=1\n"));
      EXPECT_EQ(a.status, 0);
      EXPECT_EQ(z.status, 0) << z.out;
      EXPECT_FALSE(a.covering.empty());
      EXPECT_EQ(z.covering, shifted(a.covering, shift));
      EXPECT_EQ(closingOf(z.out), closingOf(a.out));
      const std::string form = std::string(s.c == 1 ? "S" : "R") + std::to_string(s.b);
      EXPECT_EQ(z.out.substr(0, z.out.find("\033[32mStatus (STAMP):  ", 10)),
                "\n" + e2e::statusLine("Covering sets for " + form + " k=" + from + " to " + to + " with factor<=" +
                                       std::to_string(s.maxFact) + " and period=" + std::to_string(s.period)) +
                    "\n");
      EXPECT_EQ(z.log.substr(z.log.find("factor and period list:")), a.log.substr(a.log.find("factor and period list:")));
      EXPECT_EQ(e2e::verifyResults(above).exitStatus, 0);
    }
  }
}

// Progress lines at the multiples of kdisp, maxsets, and a stop or a kill anywhere:
// the resumed search ends with the file of one uninterrupted run. A long part, of the
// wide tree (P above 5040) or of the 64-bit tree beyond 10^18, goes subtree by subtree,
// and the state names the part and the subtrees done with their k: a stop inside it,
// or a kill a second or more into it, resumes from there (a stop's state names the
// part; its lines are written when the part is done). A stop that comes after the run
// ended is tried again sooner.
TEST(WideEndToEnd, StoppedOrKilledWideSearchesResumeToTheSameFile) {
  struct Search {
    std::string ini;
    int cpuMs;           // a long part: stops after cpuMs/2 to cpuMs of processor time (0: none)
    std::string partTo;  // its end, where the parts are not timed
  };
  const Search searches[] = {
      // About a second of work in short parts of the usual engines: stops land anywhere.
      {iniOf(10, -1, "100000000000000000001", "100000000004000000000", 144, 1000, "wide=1\nkdisp=10000000\n"), 0, ""},
      // The wide tree: one part of 2^22 k and one of a single k, about three seconds here.
      {iniOf(10, -1, "1000000000000000000000000", "1000000000000000004194304", 20160, 2000, "wide=1\nthreads=2\n"),
       1500, "1000000000000000004194303"},
      // The 64-bit tree on shifted tables: short parts, then long ones, four seconds in all.
      {iniOf(7, 1, "1000000000000000000000000", "1000000000003000000000000", 5040, 1000000, "wide=1\nthreads=2\n"),
       4000, ""}};
  std::mt19937_64 random(std::random_device{}());
  std::vector<Outcome> references;
  for (const auto& [ini, cpuMs, partTo] : searches) {
    // Under the sanitizers the 64-bit tree's search takes a minute and a half; its
    // subtrees beyond 10^18 are stopped and resumed there by
    // WideSearch.APartOfTheWideTreeStoppedAnywhereGoesOnFromItsProgress, and the state
    // keys of a part by the wide tree's search here.
    if (e2e::kSanitized && &ini == &searches[2].ini) continue;
    const bool inTree = cpuMs > 0;
    e2e::TempDir whole;
    const Outcome& reference = references.emplace_back(runIni(whole, ini));
    ASSERT_EQ(reference.status, 0);
    ASSERT_FALSE(reference.covering.empty());
    EXPECT_TRUE(inTree || reference.out.find("Searching at k = 100000000000010000000. ") != std::string::npos);
    int midPart = 0;
    // In a long part the stop comes after cpuMs/2 to cpuMs of processor time (the table
    // phase takes milliseconds of it), and sooner while the run ends first.
    for (int round = 0, delay = cpuMs; round < (inTree ? 3 : e2e::rounds(6)); ++round) {
      const int signal = (inTree ? round == 2 : round % 2 == 0) ? SIGKILL : SIGINT;
      SCOPED_TRACE(ini + "round " + std::to_string(round) + ", after " + std::to_string(delay) + " ms");
      e2e::TempDir dir;
      dir.write("pelund.ini", ini + "resume=1\n");
      e2e::Interrupt interrupt{signal, "Covering sets for"};
      if (inTree)
        interrupt.cpuDelay = std::chrono::milliseconds(delay / 2 + random() % (delay / 2 + 1));
      else
        interrupt.delay = std::chrono::milliseconds(random() % 1000);
      const e2e::RunResult cut = e2e::run(dir, interrupt);
      if (inTree && cut.exitStatus == 0) {  // the run ended first
        EXPECT_TRUE(dir.read("covering.txt") == reference.covering);
        if (delay > 200) --round, delay /= 4;
        continue;
      }
      EXPECT_TRUE(cut.exitStatus == 0 || cut.exitStatus == 128 + signal || cut.termSignal == SIGKILL) << cut.out;
      const std::string state = dir.read("pelund.state");
      if (const size_t at = state.find("\ndone="); at != std::string::npos && state.compare(at, 8, "\ndone=0\n") != 0)
        ++midPart;
      if (inTree && signal == SIGINT) {  // the part's lines come when it is done
        EXPECT_NE(state.find("\npartto=" + (partTo.empty() ? "" : partTo + "\nsubtrees=")), std::string::npos) << state;
        const std::string lines = dir.read("covering.txt");
        EXPECT_TRUE(partTo.empty() ? reference.covering.starts_with(lines) : !dir.exists("covering.txt"));
      }
      const e2e::RunResult last = e2e::run(dir);
      EXPECT_EQ(last.exitStatus, 0);
      EXPECT_EQ(closingOf(e2e::maskStamps(last.out)), closingOf(reference.out));
      EXPECT_TRUE(dir.read("covering.txt") == reference.covering);
      EXPECT_EQ(dir.read("pelund.state").find("partto="), std::string::npos);
    }
    EXPECT_TRUE(!inTree || midPart > 0) << "no stop came after a subtree of the part was done";
  }

  // maxsets=N writes the first N lines; resumed with a larger N it goes on from there.
  const std::string& ini = searches[0].ini;
  const Outcome& reference = references[0];
  ASSERT_GT(std::count(reference.covering.begin(), reference.covering.end(), '\n'), 4);
  e2e::TempDir dir;
  dir.write("pelund.ini", ini + "resume=1\nmaxsets=3\n");
  ASSERT_EQ(e2e::run(dir).exitStatus, 0);
  size_t third = 0;
  for (int i = 0; i < 3; ++i) third = reference.covering.find('\n', third) + 1;
  EXPECT_EQ(dir.read("covering.txt"), reference.covering.substr(0, third));
  dir.write("pelund.ini", ini + "resume=1\n");
  ASSERT_EQ(e2e::run(dir).exitStatus, 0);
  EXPECT_TRUE(dir.read("covering.txt") == reference.covering);
}

// A wide search and an ordinary one with the same keys are one search: each goes on
// from the other's state to the bytes of one run over the whole range (an ordinary
// search up to 10^18 extended beyond it; a wide one stopped below 10^18 and ended within
// the caps, with or without the key), and a wide state done beyond an ordinary run's
// maxk, or of another search, is refused for what it is.
TEST(WideEndToEnd, StatesOfTheOtherWidthGoOnAsOneSearch) {
  const std::string below = "999999999999000000", cap = "1000000000000000000", above = "1000000000001000000";
  const auto ini = [&](const std::string& maxK, const std::string& extra) {
    return iniOf(10, -1, below, maxK, 12, 200, "threads=1\nresume=1\n" + extra);
  };
  e2e::TempDir wholeWide, wholeOrdinary;
  const Outcome wide = runIni(wholeWide, ini(above, "wide=1\n")), ordinary = runIni(wholeOrdinary, ini(cap, ""));
  ASSERT_EQ(wide.status, 0);
  ASSERT_EQ(ordinary.status, 0);
  ASSERT_TRUE(wide.covering.starts_with(ordinary.covering) && wide.covering.size() > ordinary.covering.size());

  // (first run, second run, the one run whose bytes the second must end with)
  const std::tuple<std::string, std::string, const Outcome*> resumes[] = {
      {ini(cap, ""), ini(above, "wide=1\n"), &wide},
      {ini(above, "wide=1\nmaxsets=100\n"), ini(cap, ""), &ordinary},
      {ini(above, "wide=1\nmaxsets=100\n"), ini(cap, "wide=1\n"), &ordinary}};
  for (const auto& [first, second, whole] : resumes) {
    SCOPED_TRACE(first + "then\n" + second);
    e2e::TempDir dir;
    ASSERT_EQ(runIni(dir, first).status, 0);
    ASSERT_LT(dir.read("covering.txt").size(), whole->covering.size());
    const Outcome ended = runIni(dir, second);
    EXPECT_EQ(ended.status, 0) << ended.out;
    EXPECT_TRUE(ended.covering == whole->covering);
    EXPECT_EQ(closingOf(ended.out), closingOf(whole->out));
  }

  e2e::TempDir done;
  ASSERT_EQ(runIni(done, ini(above, "wide=1\n")).status, 0);
  Outcome refused = runIni(done, ini(cap, ""));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, e2e::errorLine("pelund.state records a search done up to k=" + above + ", beyond maxk=" + cap));
  refused = runIni(done, iniOf(10, -1, below, cap, 12, 300, "resume=1\n"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, e2e::errorLine("pelund.state belongs to another search (base=10 c=-1 period=12 maxfact=200 "
                                        "mink=999999999999000000 wide=1)"));
  EXPECT_TRUE(done.read("covering.txt") == wide.covering);
}

}  // namespace

namespace {

// A base near 1e9: its primes of period 4 and 6 divide b^2+1 and b^2-b+1, near 1e18,
// and come from factoring; the log lists them with the factorisations, the closing
// report says the factorisations are complete (no exactness note), every line verifies.
// Without the factoring library such a search is refused.
TEST(WideEndToEnd, CandidatesAboveTheTableComeFromFactoring) {
  for (int c : {1, -1}) {
    e2e::TempDir dir;
    const Outcome run =
        runIni(dir, iniOf(999999937, c, "1", "1000000000", 12, "18446744073709551615", "maxsets=4\nwide=1\n"));
    if (!PELUND_FACTORING_BUILT) {
      EXPECT_EQ(run.status, 1);
      EXPECT_NE(run.out.find(e2e::errorLine("primes above 1e9 need pelund built with FLINT")), std::string::npos);
      continue;
    }
    EXPECT_EQ(run.status, 0) << run.out;
    for (const char* text : {"99999987400000397  4\n", "52631572263158107  6\n",
                             "Phi_4(999999937) = 2 * 5 * 99999987400000397, complete\n",
                             "Phi_6(999999937) = 19 * 52631572263158107, complete\n"})
      EXPECT_NE(run.log.find(text), std::string::npos) << text;
    EXPECT_EQ(run.out.find("The search is exact for"), std::string::npos);
    EXPECT_EQ(std::count(run.covering.begin(), run.covering.end(), '\n'), 4);
    EXPECT_EQ(e2e::verifyResults(dir).exitStatus, 0);
  }
}

}  // namespace
