// algebraic=1 through the real binary: the smallest k provable by any method of five
// bases come first (the oracle proves no smaller k), with the exact console,
// pelund.log and covering.txt and a clean pelund-verify; without the key or with 0 a
// run writes what it wrote before, and with 1 it keeps those lines and adds only
// algebraic ones; resumable runs killed or stopped at random moments resume to the
// uninterrupted results; a state of the other setting is refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>
#include <sstream>

#include "algebraic_oracle.h"
#include "e2e.h"
#include "range_walk.h"

namespace {

using e2e::statusLine;

struct Outcome {
  std::string out, log, covering, state;
  int status;
};

Outcome runIni(const std::string& ini, const e2e::Interrupt& interrupt = {}) {
  e2e::TempDir dir;
  dir.write("pelund.ini", ini);
  const e2e::RunResult result = e2e::run(dir, interrupt);
  return {e2e::maskStamps(result.out), e2e::maskStamps(dir.read("pelund.log")), dir.read("covering.txt"),
          dir.read("pelund.state"), result.exitStatus};
}

std::string iniOf(int32_t b, int32_t c, int64_t maxK, const std::string& extra) {
  return "base=" + std::to_string(b) + "\nmink=1\nmaxk=" + std::to_string(maxK) + "\nc=" + std::to_string(c) + "\n" +
         extra;
}

std::string formOf(int32_t b, int32_t c) { return (c == 1 ? "S" : "R") + std::to_string(b); }

// The lines of the same search walked in this process, for the bytes of covering.txt.
std::string linesInProcess(const oracle::Case& cs, const CandidateTable& table) {
  struct Text : PartSink {
    std::string text;
    void partDone(const PartResult& part) override { text += part.text; }
  } sink;
  SearchParams params;
  params.base = cs.b, params.c = cs.c, params.period = cs.P, params.maxFact = int32_t(cs.maxFact);
  params.minK = 1, params.maxK = cs.maxK, params.algebraic = true;
  const SieveTables tables(params, table);
  EXPECT_TRUE(walkRange(tables, params, 1, cs.maxK, sink));
  return sink.text;
}

std::string factorList(const CandidateTable& table) {
  std::string text = "factor and period list:\n";
  for (const FactorPeriod& fp : table.factorPeriodList)
    text += std::to_string(fp.factor) + "  " + std::to_string(fp.period) + "\n";
  return text + "\n";
}

// The tabled smallest k provable by any method (covering set or algebraic factors,
// alone or mixed) with P = 144 and primes below 10^6, searched from k = 1.
TEST(AlgebraicEndToEnd, SmallestProvableKOfFiveBasesComeFirst) {
  const struct {
    int32_t b, c;
    int64_t k;
  } targets[] = {{4, -1, 9}, {8, 1, 1}, {12, -1, 25}, {16, 1, 2500}, {30, -1, 1369}};
  for (const auto& target : targets) {
    const oracle::Case cs{target.b, target.c, 144, 1000000, target.k};
    const std::string form = formOf(cs.b, cs.c);
    SCOPED_TRACE(form);
    const CandidateTable table = helpers::bruteTable(cs.b, cs.P, cs.maxFact);
    for (int64_t k = 1; k <= target.k; ++k) ASSERT_EQ(oracle::proved(k, cs, table), k == target.k) << k;

    e2e::TempDir dir;
    dir.write("pelund.ini", iniOf(cs.b, cs.c, target.k, "algebraic=1\nthreads=2\n"));
    const e2e::RunResult run = e2e::run(dir);
    const std::string banner = "Covering sets for " + form + " k=1 to " + std::to_string(target.k) +
                               " with factor<=1000000 and period=144";
    const std::string closing = "1 covering set found for " + form;
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(e2e::maskStamps(run.out), "\n" + statusLine(banner) + "\n" + statusLine(closing));
    EXPECT_EQ(e2e::maskStamps(dir.read("pelund.log")),
              "Status (STAMP):  " + banner + "\n\n" + factorList(table) + "Status (STAMP):  " + closing + "\n\n");
    const std::string covering = dir.read("covering.txt");
    EXPECT_EQ(covering.rfind(std::to_string(target.k) + "  ", 0), 0u) << covering;
    EXPECT_NE(covering.find("  + n="), std::string::npos) << covering;
    EXPECT_EQ(covering, linesInProcess(cs, table));
    const e2e::RunResult verified = e2e::verifyResults(dir);
    EXPECT_EQ(verified.out, "1 line checked, 0 bad\n");
    EXPECT_EQ(verified.exitStatus, 0);
  }
}

// Without the key and with algebraic=0 the bytes are the same, pelund.state included;
// with algebraic=1 every earlier line stays, in order, and the added lines are
// algebraic ones that pelund-verify accepts.
TEST(AlgebraicEndToEnd, OffWritesTheSameBytesAndOnOnlyAddsAlgebraicLines) {
  const std::string settings[] = {
      iniOf(4, -1, 3000000, ""),
      iniOf(8, 1, 3000000, "period=24\nmaxfact=1000\n"),
      iniOf(12, -1, 20000000, "kdisp=5000000\n"),
      iniOf(16, 1, 3000000, "period=48\n"),
      iniOf(30, -1, 5000000, "engine=sieve\nthreads=1\n"),
      iniOf(10, -1, 1000000, ""),
      iniOf(2, 1, 200000, "period=36\n"),
  };
  for (const std::string& ini : settings) {
    SCOPED_TRACE(ini);
    const Outcome absent = runIni(ini + "resume=1\n");
    const Outcome off = runIni(ini + "resume=1\nalgebraic=0\n");
    EXPECT_EQ(off.status, 0);
    EXPECT_EQ(off.out, absent.out);
    EXPECT_EQ(off.log, absent.log);
    EXPECT_EQ(off.covering, absent.covering);
    EXPECT_EQ(off.state, absent.state);
    EXPECT_EQ(off.state.find("algebraic"), std::string::npos);
    e2e::TempDir dir;
    dir.write("pelund.ini", ini + "algebraic=1\n");
    ASSERT_EQ(e2e::run(dir).exitStatus, 0);
    std::istringstream with(dir.read("covering.txt")), without(off.covering);
    std::string line, kept;
    bool more = bool(std::getline(without, kept));
    while (std::getline(with, line)) {
      if (more && line == kept) more = bool(std::getline(without, kept));
      else EXPECT_NE(line.find("  + n="), std::string::npos) << line;
    }
    EXPECT_FALSE(more) << "a line of the search without algebraic factors is missing: " << kept;
    const e2e::RunResult verified = e2e::verifyResults(dir);
    EXPECT_EQ(verified.exitStatus, 0) << verified.out;
  }
}

// Dense in algebraic lines (squares of R4 with every n algebraic; squares of R36 with
// primes beside), each run about half a second: a kill lands anywhere.
TEST(AlgebraicEndToEnd, InterruptedRunsResumeToTheUninterruptedResults) {
  const std::string searches[] = {
      iniOf(4, -1, 40000000000, "period=12\nmaxfact=1000\nengine=residue\nalgebraic=1\n"),
      iniOf(36, -1, 300000000, "maxfact=100000\nengine=sieve\nalgebraic=1\n"),
  };
  const Outcome whole[] = {runIni(searches[0]), runIni(searches[1])};
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (int round = 0; round < 12 && !HasFailure(); ++round) {
    const int which = round % 2;
    const int signal = round < 8 ? SIGKILL : round % 4 < 2 ? SIGINT : SIGTERM;
    e2e::TempDir dir;
    dir.write("pelund.ini", searches[which] + "resume=1\nthreads=" + std::to_string(1 + round / 2 % 2) + "\n");
    const auto delay = std::chrono::milliseconds(random() % 400);
    SCOPED_TRACE(searches[which] + "signal " + std::to_string(signal) + " after " + std::to_string(delay.count()));
    const e2e::RunResult stopped = e2e::run(dir, {signal, "Covering sets for", delay});
    EXPECT_TRUE(stopped.exitStatus == 0 || stopped.exitStatus == 128 + signal || stopped.termSignal == SIGKILL);
    const e2e::RunResult last = e2e::run(dir);
    EXPECT_EQ(last.exitStatus, 0);
    const std::string out = e2e::maskStamps(last.out);
    EXPECT_EQ(out.substr(out.rfind("\033[32m")), whole[which].out.substr(whole[which].out.rfind("\033[32m")));
    EXPECT_TRUE(dir.read("covering.txt") == whole[which].covering) << "covering.txt differs from the uninterrupted run";
  }
}

// A state of a search with the other setting is refused, and nothing is touched.
TEST(AlgebraicEndToEnd, ResumingWithTheOtherSettingIsRefused) {
  const std::string ini = iniOf(4, -1, 1000000, "period=12\nmaxfact=1000\nresume=1\n");
  const struct {
    const char* first;
    const char* then;
    std::string message;
  } cases[] = {
      {"algebraic=1\n", "algebraic=0\n",
       "pelund.state belongs to another search (base=4 c=-1 period=12 maxfact=1000 mink=1 algebraic=1)"},
      {"", "algebraic=1\n", "pelund.state belongs to another search (base=4 c=-1 period=12 maxfact=1000 mink=1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    e2e::TempDir dir;
    dir.write("pelund.ini", ini + c.first);
    ASSERT_EQ(e2e::run(dir).exitStatus, 0);
    const std::string state = dir.read("pelund.state"), covering = dir.read("covering.txt");
    dir.write("pelund.ini", ini + c.then);
    const e2e::RunResult run = e2e::run(dir);
    EXPECT_EQ(e2e::maskStamps(run.out), e2e::errorLine(c.message));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(dir.read("pelund.state"), state);
    EXPECT_EQ(dir.read("covering.txt"), covering);
  }
}

}  // namespace
