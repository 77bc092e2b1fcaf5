// algebraic=1 through the real binary: the tabled smallest k provable by any method of
// five bases come first (the oracle proves no smaller k), with the exact console,
// pelund.log and covering.txt and a clean pelund-verify; without the key or with 0 the
// bytes are those of before, with 1 only algebraic lines are added; runs killed or
// stopped at random resume to the uninterrupted results; the other setting's state is
// refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>

#include "algebraic_oracle.h"
#include "e2e.h"
#include "range_walk.h"

namespace {

using e2e::Outcome;
using e2e::runIni;

std::string iniOf(int32_t b, int32_t c, int64_t maxK, const std::string& extra) {
  return "base=" + std::to_string(b) + "\nmink=1\nmaxk=" + std::to_string(maxK) + "\nc=" + std::to_string(c) + "\n" + extra;
}

TEST(AlgebraicEndToEnd, SmallestProvableKOfFiveBasesComeFirst) {
  const oracle::Case targets[] = {{4, -1, 144, 1000000, 9}, {8, 1, 144, 1000000, 1}, {12, -1, 144, 1000000, 25},
                                  {16, 1, 144, 1000000, 2500}, {30, -1, 144, 1000000, 1369}};
  for (const oracle::Case& cs : targets) {
    const std::string form = (cs.c == 1 ? "S" : "R") + std::to_string(cs.b);
    SCOPED_TRACE(form);
    const CandidateTable table = helpers::bruteTable(cs.b, cs.P, cs.maxFact);
    for (int64_t k = 1; k <= cs.maxK; ++k) ASSERT_EQ(oracle::proved(k, cs, table), k == cs.maxK) << k;
    std::string factors = "factor and period list:\n", inProcess;
    for (const FactorPeriod& fp : table.factorPeriodList)
      factors += std::to_string(fp.factor) + "  " + std::to_string(fp.period) + "\n";
    struct Text : PartSink {
      std::string& text;
      explicit Text(std::string& t) : text(t) {}
      void partDone(const PartResult& part) override { text += part.text; }
    } sink(inProcess);
    SearchParams params;
    params.base = cs.b, params.c = cs.c, params.maxK = cs.maxK, params.algebraic = true;
    EXPECT_TRUE(pelund::Search(params, table).walk(1, cs.maxK, sink, pelund::StopToken{}));

    e2e::TempDir dir;
    const Outcome run = runIni(dir, iniOf(cs.b, cs.c, cs.maxK, "algebraic=1\nthreads=2\n"));
    const std::string banner = "Covering sets for " + form + " k=1 to " + std::to_string(cs.maxK) +
                               " with factor<=1000000 and period=144";
    const std::string closing = "1 covering set found for " + form;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + e2e::statusLine(banner) + "\n" + e2e::statusLine(closing));
    EXPECT_EQ(run.log, "Status (STAMP):  " + banner + "\n\n" + factors + "\nStatus (STAMP):  " + closing + "\n\n");
    EXPECT_EQ(run.covering.rfind(std::to_string(cs.maxK) + "  ", 0), 0u) << run.covering;
    EXPECT_NE(run.covering.find("  + n="), std::string::npos) << run.covering;
    EXPECT_EQ(run.covering, inProcess);
    const e2e::RunResult verified = e2e::verifyResults(dir);
    EXPECT_EQ(verified.out, "1 line checked, 0 bad\n");
    EXPECT_EQ(verified.exitStatus, 0);
  }
}

TEST(AlgebraicEndToEnd, OffWritesTheSameBytesAndOnOnlyAddsAlgebraicLines) {
  const std::string settings[] = {
      iniOf(4, -1, 3000000, ""),          iniOf(8, 1, 3000000, "period=24\nmaxfact=1000\n"),
      iniOf(12, -1, 20000000, "kdisp=5000000\n"), iniOf(16, 1, 3000000, "period=48\n"),
      iniOf(30, -1, 5000000, "engine=sieve\nthreads=1\n"), iniOf(10, -1, 1000000, ""),
  };
  for (const std::string& ini : settings) {
    SCOPED_TRACE(ini);
    e2e::TempDir absentDir, offDir, onDir;
    const Outcome absent = runIni(absentDir, ini + "resume=1\n"), off = runIni(offDir, ini + "resume=1\nalgebraic=0\n");
    EXPECT_EQ(off.status, 0);
    EXPECT_TRUE(off.out == absent.out && off.log == absent.log && off.covering == absent.covering);
    EXPECT_TRUE(off.state == absent.state && off.state.find("algebraic") == std::string::npos) << off.state;
    const Outcome on = runIni(onDir, ini + "algebraic=1\n");
    std::string kept;  // the lines of `on` without the algebraic ones
    for (size_t at = 0, end; at < on.covering.size(); at = end + 1) {
      end = on.covering.find('\n', at);
      const std::string line = on.covering.substr(at, end + 1 - at);
      if (line.find("  + n=") == std::string::npos) kept += line;
    }
    EXPECT_EQ(kept, off.covering);
    EXPECT_EQ(e2e::verifyResults(onDir).exitStatus, 0);
  }
}

// Dense in algebraic lines (R4 squares, every n algebraic; R36 squares beside primes),
// each run well under a second, so a kill lands anywhere; then the other setting's
// state is refused with nothing touched.
TEST(AlgebraicEndToEnd, InterruptedRunsResumeAndTheOtherSettingIsRefused) {
  const std::string searches[] = {iniOf(4, -1, 40000000000, "period=12\nmaxfact=1000\nengine=residue\n"),
                                  iniOf(36, -1, 300000000, "maxfact=100000\nengine=sieve\n")};
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  e2e::TempDir wholeDirs[2];
  const Outcome references[] = {runIni(wholeDirs[0], searches[0] + "algebraic=1\nresume=1\n"),
                                runIni(wholeDirs[1], searches[1] + "algebraic=1\nresume=1\n")};
  for (int round = 0; round < 12 && !HasFailure(); ++round) {
    const std::string ini = searches[round % 2] + "algebraic=1\nresume=1\nthreads=" + std::to_string(1 + round / 2 % 2) + "\n";
    e2e::TempDir dir;
    const Outcome& reference = references[round % 2];
    const int signal = round < 8 ? SIGKILL : round % 4 < 2 ? SIGINT : SIGTERM;
    const auto delay = std::chrono::milliseconds(random() % 400);
    SCOPED_TRACE(ini + "signal " + std::to_string(signal) + " after " + std::to_string(delay.count()) + " ms");
    const Outcome stopped = runIni(dir, ini, {signal, "Covering sets for", delay});
    EXPECT_TRUE(stopped.status == 0 || stopped.status == 128 + signal || stopped.status == -SIGKILL);
    const Outcome last = runIni(dir, ini);
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.out.substr(last.out.rfind("\033[32m")), reference.out.substr(reference.out.rfind("\033[32m")));
    EXPECT_TRUE(last.covering == reference.covering) << "covering.txt differs from the uninterrupted run";
    if (round >= 2) continue;
    const Outcome refused = runIni(dir, searches[round % 2] + "algebraic=0\nresume=1\n");
    EXPECT_EQ(refused.out, e2e::errorLine(round == 0 ? "pelund.state belongs to another search (base=4 c=-1 period=12 "
                                                       "maxfact=1000 mink=1 algebraic=1)"
                                                     : "pelund.state belongs to another search (base=36 c=-1 "
                                                       "period=144 maxfact=100000 mink=1 algebraic=1)"));
    EXPECT_TRUE(refused.status == 1 && refused.covering == reference.covering && refused.state == last.state);
  }
}

}  // namespace
