// pelund-mpi end to end, through mpirun on this machine: for 1, 2 and 3 ranks the
// console (stamps masked), covering.txt and the exit status equal pelund's; a
// configuration fault is shown once and ends every rank with status 1; a stop sent to
// mpirun at a random moment leaves exactly pelund's lines below the k it names; and a
// rank killed outright leaves a state from which pelund-mpi (with other ranks) or
// pelund finishes the search with the same covering.txt as an uninterrupted run.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <optional>
#include <random>
#include <regex>

#include "e2e.h"
#include "rounds.h"

namespace {

const std::string kMpiBinary = PELUND_MPI_BINARY;

// Open MPI on one machine only: shared memory between the ranks, no network.
// `patient`: mpirun waits its usual second before it kills the ranks of a stopped job
// (they need it to end cleanly); else it does not wait when ranks end with a fault.
std::string mpiArguments(int ranks, bool patient, const std::string& binary = kMpiBinary) {
  return "--allow-run-as-root --oversubscribe --mca btl self,vader --mca oob_tcp_if_include lo " +
         std::string(patient ? "" : "--mca odls_base_sigkill_timeout 0 ") + "-np " + std::to_string(ranks) + " " +
         binary;
}

e2e::RunResult runMpi(const e2e::TempDir& dir, int ranks, const e2e::Interrupt& interrupt = {}, bool patient = true) {
  return e2e::run(dir, interrupt, mpiArguments(ranks, patient), std::chrono::seconds(60), PELUND_MPIEXEC);
}

// `ini` over two ranks in `dir`, stopped by `signal` sent to rank 0 itself `delay` after
// `trigger` shows (mpirun passes a stop on to the ranks only after a second).
e2e::RunResult stoppedAtRankZero(e2e::TempDir& dir, const std::string& ini, int signal, const std::string& trigger,
                                 std::chrono::milliseconds delay) {
  dir.write("pelund.ini", ini);
  e2e::Interrupt stop{signal, trigger, delay};
  stop.rank = 0;
  return runMpi(dir, 2, stop);
}

// pelund-ck with these arguments: alone (ranks 0), or pelund-ck-mpi over `ranks` ranks.
e2e::RunResult runCk(const e2e::TempDir& dir, int ranks, const std::string& arguments,
                     const e2e::Interrupt& interrupt = {}) {
  return ranks == 0 ? e2e::run(dir, interrupt, arguments, std::chrono::seconds(120), PELUND_CK_BINARY)
                    : e2e::run(dir, interrupt, mpiArguments(ranks, true, PELUND_CK_MPI_BINARY) + arguments,
                               std::chrono::seconds(120), PELUND_MPIEXEC);
}

const bool kCkMpiBuilt = !std::string(PELUND_CK_MPI_BINARY).empty();
const std::string kSmallTable = " SR 2-12 --period 144 --maxfact 10000 --maxk 1000000 --threads 1";

#define SKIP_WITHOUT_MPI() \
  if (kMpiBinary.empty()) GTEST_SKIP() << "pelund-mpi was not built (MPI not found)"
#define SKIP_WITHOUT_CK_MPI() \
  if (!kCkMpiBuilt) GTEST_SKIP() << "pelund-ck-mpi was not built (MPI not found)"

// pelund's run of the same ini in a directory of its own.
e2e::RunResult runPelund(const std::string& ini, std::string& covering) {
  e2e::TempDir dir;
  dir.write("pelund.ini", ini);
  const e2e::RunResult result = e2e::run(dir);
  covering = dir.read("covering.txt");
  return result;
}

std::string iniWith(const std::string& settings, int64_t minK, int64_t maxK) {
  return settings + "mink=" + std::to_string(minK) + "\nmaxk=" + std::to_string(maxK) + "\n";
}

// Tries a stop after `delay`, and while the run ends before its stop, again after a
// quarter of the last delay, down to none: a fast machine may finish a short search
// within any fixed delay. `attempt` runs and checks one stop and says whether it
// landed; the result is whether one did.
template <class Attempt>
bool stopLands(std::chrono::milliseconds delay, const Attempt& attempt) {
  while (!attempt(delay)) {
    if (delay.count() == 0) return false;
    delay /= 4;
  }
  return true;
}

TEST(MpiSearch, SameConsoleAndResultsAsOneProcessForAnyRankCount) {
  SKIP_WITHOUT_MPI();
  const int64_t top = 1000000000000000000;
  const std::vector<std::string> inis = {
      iniWith("base=10\nc=-1\nperiod=144\nmaxfact=1000\nkdisp=50000000\nthreads=1\n", 1, 200000000),
      iniWith("base=2\nc=1\nperiod=36\nmaxfact=100000\nkdisp=100000000\nthreads=2\n", top - 300000000, top),
      iniWith("base=3\nc=1\nperiod=144\nmaxfact=1000\nengine=residue\nkdisp=100000000\n", top - 400000000, top - 7),
      iniWith("base=2\nc=1\nperiod=2\nmaxfact=5\n", 1, 1000),
      iniWith("base=10\nc=1\nperiod=6\nmaxfact=1000\nfacdisp=100\nkdisp=25000000\nresume=1\n", 5, 100000000),
      iniWith("base=4\nc=-1\nperiod=12\nmaxfact=1000\nengine=residue\nalgebraic=1\nresume=1\n", 1, 3000000000),
      iniWith("base=4\nc=-1\nperiod=2\nmaxfact=10\nalgebraic=1\n", 1, 100000000),  // one candidate: no engine
      // Sparse: the residue tree's parts spread over the ranks as subtrees.
      iniWith("base=7\nc=1\nperiod=144\nmaxfact=100000\nthreads=1\nkdisp=1000000000\n", 1, 10000000000000),
      iniWith("base=7\nc=1\nperiod=144\nmaxfact=100000\n", 1, 100000000000000000),
      iniWith("base=511\nc=-1\nperiod=720\nmaxfact=100000\nengine=residue\n", 1, 100000000000),
  };
  for (const std::string& ini : inis) {
    std::string expected;
    const e2e::RunResult single = runPelund(ini, expected);
    ASSERT_EQ(single.exitStatus, 0) << ini;
    // Four ranks on the tree's searches: three ranks and rank 0's thread, each holding
    // several subtrees and reports in flight.
    const bool tree = ini.find("base=7\n") != std::string::npos || ini.find("base=511\n") != std::string::npos;
    for (int ranks = 1; ranks <= (tree ? 4 : 3); ++ranks) {
      SCOPED_TRACE(ini + std::to_string(ranks) + " ranks");
      e2e::TempDir dir;
      dir.write("pelund.ini", ini);
      const e2e::RunResult result = runMpi(dir, ranks);
      EXPECT_EQ(result.exitStatus, single.exitStatus);
      EXPECT_EQ(e2e::maskStamps(result.out), e2e::maskStamps(single.out));
      EXPECT_EQ(dir.read("covering.txt"), expected);
    }
  }
}

TEST(MpiSearch, ConfigurationFaultIsShownOnceAndEndsEveryRank) {
  SKIP_WITHOUT_MPI();
  const std::vector<std::pair<std::string, std::string>> faults = {
      {"base=1\nmink=1\nmaxk=10\nc=1\n", "base cannot be less than 2"},
      {"base=10\nmink=5\nmaxk=4\nc=1\n", "mink cannot be greater than maxk"},
      {"base=10\nmink=1\nmaxk=100\nc=1\nresume=1\n", "pelund.state is damaged or incomplete"},
  };
  for (const auto& [ini, message] : faults) {
    for (int ranks : {2, 3}) {
      SCOPED_TRACE(ini + std::to_string(ranks) + " ranks");
      e2e::TempDir dir;
      dir.write("pelund.ini", ini);
      dir.write("pelund.state", "pelund state\nbase=10\n");
      dir.write("covering.txt", "kept\n");
      const e2e::RunResult result = runMpi(dir, ranks, {}, false);
      EXPECT_EQ(result.exitStatus, 1);
      EXPECT_EQ(result.out, e2e::errorLine(message));
      EXPECT_EQ(dir.read("covering.txt"), "kept\n");
    }
  }
}

// A stop that reaches rank 0 once the closing count is out (mpirun passing one on as
// the job ends) has nothing left to stop: the console, log and lines are those of the
// whole run, with no "Ctrl-C accepted." after them; so for a wide search on rank 0,
// and for a CK table.
TEST(MpiSearch, AStopAfterTheClosingCountIsNotAcknowledged) {
  SKIP_WITHOUT_MPI();
  struct Case { bool ck; std::string input, trigger, file; };
  for (const Case& c : {Case{false, iniWith("base=10\nc=-1\nperiod=144\nmaxfact=1000\n", 1, 20000000), "covering set",
                             "covering.txt"},
                        Case{false, "base=10\nc=-1\nperiod=144\nmaxfact=1000\nwide=1\nmink=100000000000000000001\n"
                                    "maxk=100000000000020000000\n", "covering set", "covering.txt"},
                        Case{true, kSmallTable, "CK table complete", "ck.txt"}}) {
    if (c.ck && !kCkMpiBuilt) continue;
    // pelund's input is its pelund.ini, pelund-ck's its arguments.
    const auto runOver = [&](const e2e::TempDir& dir, int ranks, const e2e::Interrupt& interrupt) {
      if (c.ck) return runCk(dir, ranks, c.input, interrupt);
      dir.write("pelund.ini", c.input);
      return ranks == 0 ? e2e::run(dir) : runMpi(dir, ranks, interrupt);
    };
    e2e::TempDir alone;
    const e2e::RunResult single = runOver(alone, 0, {});
    ASSERT_EQ(single.exitStatus, 0) << c.input;
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(c.input + ", round " + std::to_string(round));
      e2e::TempDir dir;
      e2e::Interrupt late{SIGTERM, c.trigger, std::chrono::milliseconds(round * 5)};
      late.rank = 0;
      const e2e::RunResult result = runOver(dir, 2 + round % 2, late);
      EXPECT_EQ(e2e::maskStamps(result.out), e2e::maskStamps(single.out));
      EXPECT_EQ(dir.read(c.file), alone.read(c.file));
      EXPECT_EQ(dir.read("pelund.log").find("interrupted"), std::string::npos);
    }
  }
}

// A stop sent to mpirun, which continues every rank, reads nothing from them for a
// second, hands the stop on as SIGTERM, and kills them all when the first one ends or
// a second later (Open MPI). The stops come at any moment of the first 1.5 seconds,
// while the test, like a slow console, reads nothing until it has sent the stop.
TEST(MpiSearch, StopAtRandomMomentsLeavesExactlyTheLinesBelowTheReportedK) {
  SKIP_WITHOUT_MPI();
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  // Progress lines become one mark each, so that the shape is matched on a short text.
  const std::regex progress("Searching at k = \\d+\\. \\d+ covering sets? found\\. \b{65}");
  const std::regex shape("\n\\x1b\\[32mStatus \\(STAMP\\):  Covering sets for [RS]10 k=\\d+ to \\d+ with factor<=1000 and period=6\n"
                         "\\x1b\\[0m\n#*\nCtrl-C accepted. #*Ending k search at k=(\\d+)\\.\n");
  // One start per setting; pelund's lines from there, searched anew only when a stop
  // comes beyond them.
  struct Setting {
    std::string ini;
    int64_t minK;
    int64_t reach = 0;  // pelund's lines cover minK..reach
    std::string lines;
  };
  std::vector<Setting> settings;
  for (const char* form : {"base=10\nc=-1\n", "base=10\nc=1\n"}) {
    const int64_t minK = int64_t(1 + random() % 100000000) * 100000000;
    settings.push_back({std::string(form) + "period=6\nmaxfact=1000\nkdisp=100000000\nthreads=1\n", minK, 0, ""});
  }
  const int signals[] = {SIGINT, SIGTERM};
  // Six runs: each rank count with each signal, both forms among them.
  for (int run = 0; run < 6 && !HasFailure(); ++run) {
    Setting& s = settings[(run / 2) % 2];
    const std::string ini = iniWith(s.ini, s.minK, 1000000000000000000);
    const int ranks = 1 + run % 3;
    const auto delay = std::chrono::milliseconds(random() % 1500);
    SCOPED_TRACE(ini + std::to_string(ranks) + " ranks, signal " + std::to_string(signals[run % 2]) + " after " +
                 std::to_string(delay.count()) + " ms");
    e2e::TempDir dir;
    dir.write("pelund.ini", ini);
    const e2e::RunResult result = runMpi(dir, ranks, {signals[run % 2], "Searching at k", delay});
    EXPECT_NE(result.exitStatus, 0);  // mpirun ends a signalled job with status 1
    std::smatch match;
    const std::string out = std::regex_replace(e2e::maskStamps(result.out), progress, "#");
    ASSERT_TRUE(std::regex_match(out, match, shape)) << out;
    const int64_t next = std::stoll(match[1]);
    ASSERT_GT(next, s.minK);
    if (next > s.reach) {
      s.reach = next + 2000000000;
      ASSERT_EQ(runPelund(iniWith(s.ini, s.minK, s.reach), s.lines).exitStatus, 0);
    }
    EXPECT_NE(dir.read("pelund.log").find("Search interrupted by signal 15 at k=" + std::to_string(next) + "\n"),
              std::string::npos);
    // pelund's lines for every k below next, and none at or above it.
    size_t end = 0;
    while (end < s.lines.size() && std::stoll(s.lines.substr(end, 20)) < next) end = s.lines.find('\n', end) + 1;
    EXPECT_EQ(dir.read("covering.txt"), s.lines.substr(0, end));
  }
}

// A rank (or pelund) killed outright, then the search resumed by another run.
TEST(MpiSearch, KilledRankLeavesAStateThatAnyRunFinishes) {
  SKIP_WITHOUT_MPI();
  // The sieve, whose time follows the width: the residue tree would end the run
  // before the kill.
  const std::string ini = iniWith("base=10\nc=1\nperiod=144\nmaxfact=1000\nkdisp=100000000\nthreads=1\nresume=1\n"
                                  "engine=sieve\n", 1,
                                  3000000000);
  std::string expected;
  ASSERT_EQ(runPelund(ini, expected).exitStatus, 0);
  ASSERT_GT(expected.size(), 0u);
  struct Case {
    int killedRanks;  // 0: pelund itself is killed
    int resumingRanks;  // 0: pelund resumes
  };
  for (const Case& c : {Case{3, 2}, Case{2, 0}, Case{0, 3}}) {
    SCOPED_TRACE("killed with " + std::to_string(c.killedRanks) + " ranks, resumed with " +
                 std::to_string(c.resumingRanks));
    // The kill comes 700 ms after the progress line at 3e8 k, and again sooner while the
    // run wrote every line before it: the whole search takes about a second and a half
    // here, and the progress lines reach mpirun's console in bursts.
    const bool landed = stopLands(std::chrono::milliseconds(700), [&](std::chrono::milliseconds delay) {
      SCOPED_TRACE("killed " + std::to_string(delay.count()) + " ms after the progress line");
      e2e::TempDir dir;
      dir.write("pelund.ini", ini);
      const e2e::Interrupt kill{SIGKILL, "Searching at k = 300000000.", delay, c.killedRanks > 0};
      const e2e::RunResult killed = c.killedRanks > 0 ? runMpi(dir, c.killedRanks, kill) : e2e::run(dir, kill);
      const std::string partial = dir.read("covering.txt");
      EXPECT_TRUE(partial.empty() || partial.back() == '\n');
      EXPECT_EQ(expected.compare(0, partial.size(), partial), 0);
      if (c.killedRanks > 0) {
        EXPECT_EQ(killed.out.find("Ctrl-C accepted."), std::string::npos);
      }
      if (partial.size() >= expected.size()) return false;  // the run ended, or wrote its last line, before the kill
      EXPECT_NE(killed.exitStatus, 0);
      // mpirun ends the other ranks as it passes on a stop; rank 0 tells the two apart.
      // (mpirun may drop what rank 0 wrote last to the console while it ends the others:
      // pelund.log names the rank all the same. And it kills rank 0 two seconds after a
      // rank died: a machine loaded enough may not give rank 0 the time to name it, and
      // then what is still promised is checked: whole lines, pelund's, and the resume.)
      if (c.killedRanks > 0) {
        const bool named =
            std::regex_search(killed.out, std::regex("\nRank [12] has ended\\. Ending k search at k=\\d+\\.\n$")) ||
            std::regex_search(dir.read("pelund.log"), std::regex("Search interrupted by the end of rank [12] at k="));
        if (!named) std::cout << "[ note     ] rank 0 was ended by mpirun before it named the rank\n";
      }
      const e2e::RunResult resumed = c.resumingRanks > 0 ? runMpi(dir, c.resumingRanks) : e2e::run(dir);
      EXPECT_EQ(resumed.exitStatus, 0);
      EXPECT_NE(resumed.out.find("Resuming S10 at k="), std::string::npos);
      EXPECT_EQ(dir.read("covering.txt"), expected);
      return true;
    });
    EXPECT_TRUE(landed) << "the run ended before its kill, also when sent as the progress line showed";
  }
}

// Sparse searches, whose parts go out as subtrees: a stop leaves exactly pelund's lines
// below the k it names; a killed rank is named; pelund or pelund-mpi finishes what either
// left, to pelund's file. The second search's last part (about four seconds, stopped
// after 1.5 to 3 s) goes out in subtrees whose progress the state records: the subtrees
// done from the first on, with their k.
TEST(MpiSearch, SparseSearchStoppedOrWithAKilledRankKeepsPelundsLines) {
  SKIP_WITHOUT_MPI();
  struct Sparse {
    std::string settings;
    int64_t maxK;
    int runs, firstMs, spreadMs;
    bool kills, longPart;
  };
  const Sparse searches[] = {
      {"base=7\nc=1\nperiod=144\nmaxfact=100000\nthreads=1\nresume=1\n", 1000000000000000000, 4, 300, 1200, true,
       false},
      {"base=7\nc=1\nperiod=5040\nmaxfact=1000000\nthreads=1\nresume=1\n", 3000000000000, 3, 1500, 1500, false,
       true},
  };
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (const Sparse& search : searches) {
    const std::string ini = iniWith(search.settings, 1, search.maxK);
    SCOPED_TRACE(ini);
    std::string expected;
    ASSERT_EQ(runPelund(ini, expected).exitStatus, 0);
    ASSERT_FALSE(expected.empty());
    const std::string ending =
        std::to_string(std::count(expected.begin(), expected.end(), '\n')) + " covering sets found for S7";
    int midPart = 0;
    // The long part's stops come later by half each time one lands before a subtree of
    // the part is done (a loaded machine), with up to three runs more while none came
    // after one.
    double later = 1;
    for (int run = 0, runs = search.runs; run < runs; ++run) {
      const bool kill = search.kills && run % 2 == 1;
      // A stop that comes after the search's end is tried again sooner, the finished
      // run having written every line. A stop goes to rank 0 itself: mpirun hands a
      // SIGTERM on to the ranks only a second or more later, when the first search has
      // ended (the stops through mpirun are tried on a dense search).
      const auto first = std::chrono::milliseconds(int64_t(later * double(search.firstMs + random() % search.spreadMs)));
      const bool landed = stopLands(first, [&](std::chrono::milliseconds delay) {
        SCOPED_TRACE(std::string(kill ? "a rank killed" : "SIGTERM") + " after " + std::to_string(delay.count()) +
                     " ms");
        e2e::TempDir dir;
        dir.write("pelund.ini", ini);
        e2e::Interrupt interrupt{kill ? SIGKILL : SIGTERM, "Covering sets for", delay, kill};
        if (!kill) interrupt.rank = 0;
        const e2e::RunResult stopped = runMpi(dir, search.longPart ? 2 : 2 + run / 2, interrupt);
        const std::string said =
            std::string(kill ? "Rank \\d+ has ended" : "Ctrl-C accepted") + "\\. Ending k search at k=";
        std::smatch match;
        const bool named = std::regex_search(stopped.out, match, std::regex(said + "(\\d+)\\.\n$"));
        // mpirun, ending a job one of whose ranks died, may drop what rank 0 wrote last
        // to the console while it ends the others; pelund.log names the rank and the k.
        std::smatch logged;
        const std::string log = dir.read("pelund.log");
        const bool inLog = kill && std::regex_search(
                                       log, logged, std::regex("Search interrupted by the end of rank \\d+ at k=(\\d+)\n"));
        if (named && kill) {
          EXPECT_TRUE(inLog && logged[1] == match[1]) << log;
        }
        const std::string lines = dir.read("covering.txt");
        const bool ended = stopped.out.find(ending) != std::string::npos;
        if (named || inLog) {
          const int64_t next = std::stoll(named ? match[1] : logged[1]);
          EXPECT_EQ(stopped.out.find("Ctrl-C accepted"), kill ? std::string::npos : stopped.out.rfind("Ctrl-C accepted"));
          size_t end = 0;
          while (end < expected.size() && std::stoll(expected.substr(end, 20)) < next) end = expected.find('\n', end) + 1;
          EXPECT_EQ(lines, expected.substr(0, end));
        } else if (kill && !ended) {
          // mpirun kills rank 0 two seconds after a rank died; a machine loaded enough
          // may not give it the time to name the rank. Whole lines are kept all the same.
          EXPECT_EQ(stopped.out.find("Ctrl-C accepted"), std::string::npos);
          EXPECT_EQ(expected.compare(0, lines.size(), lines), 0);
          EXPECT_TRUE(lines.empty() || lines.back() == '\n');
        } else {
          EXPECT_TRUE(ended) << stopped.out;
          EXPECT_TRUE(lines == expected);
          return !ended;  // it ended first: tried again sooner (a run neither stopped nor ended has failed)
        }
        const std::string state = dir.read("pelund.state");
        const size_t at = state.find("\ndone=");
        const bool afterASubtree = at != std::string::npos && state.compare(at, 8, "\ndone=0\n") != 0;
        midPart += afterASubtree;
        if (search.longPart && !afterASubtree) later *= 1.5;
        const e2e::RunResult resumed = run % 2 == 1 ? e2e::run(dir) : runMpi(dir, 2);
        EXPECT_EQ(resumed.exitStatus, 0);
        EXPECT_TRUE(dir.read("covering.txt") == expected);
        EXPECT_EQ(dir.read("pelund.state").find("partto="), std::string::npos);
        return true;
      });
      EXPECT_TRUE(landed) << "the search ends before any stop reaches it";
      if (search.longPart && midPart == 0 && run + 1 == runs && runs < search.runs + 3) ++runs;
    }
    if (search.longPart) {
      EXPECT_GT(midPart, 0) << "no stop came after a subtree of a part was done";
    }
  }
}

// Tree parts overlap: while a part's lines are written (its progress lines shown), the
// subtrees of the next one are out on the ranks. A stop, or a rank killed, as a part's
// progress line shows leaves whole lines, exactly pelund's below the k named (by the
// console, or by the log where mpirun dropped rank 0's last output), the messages of a
// run without overlap (as in pelund, progress lines of lines written may follow the
// acknowledgement), and a state that pelund-mpi on other ranks resumes to pelund's
// file. The parts of this search hold about 2^18 lines each, a tenth of a second to
// merge and write.
TEST(MpiSearch, AStopOrAKilledRankAtAPartBoundaryKeepsPelundsLines) {
  SKIP_WITHOUT_MPI();
  const std::string ini =
      iniWith("base=10\nc=-1\nperiod=144\nmaxfact=1000\nengine=residue\nthreads=1\nresume=1\nkdisp=100000000\n", 1,
              3000000000);
  std::string expected;
  ASSERT_EQ(runPelund(ini, expected).exitStatus, 0);
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (int run = 0; run < 4; ++run) {
    const bool kill = run % 2 == 1;
    const int ranks = 2 + run / 2;
    int64_t shown = int64_t(5 + random() % 20) * 100000000;
    std::optional<e2e::TempDir> scratch;
    e2e::RunResult stopped;
    // On a loaded machine the last parts may all end before a late stop or kill takes
    // effect: that run must still leave pelund's file, and the next tries at 5e8.
    for (int attempt = 0;; ++attempt) {
      scratch.emplace();
      scratch->write("pelund.ini", ini);
      // The stop goes to rank 0 itself: mpirun would hand it on a second later, after the end.
      e2e::Interrupt interrupt{kill ? SIGKILL : SIGTERM, "Searching at k = " + std::to_string(shown) + ".",
                               std::chrono::milliseconds(0), kill};
      if (!kill) interrupt.rank = 0;
      stopped = runMpi(*scratch, ranks, interrupt);
      if (stopped.out.find("584517 covering sets found") == std::string::npos) break;
      EXPECT_TRUE(scratch->read("covering.txt") == expected);
      ASSERT_LT(attempt, 2) << "the search ended first, at k = " << shown;
      shown = 500000000;
    }
    const e2e::TempDir& dir = *scratch;
    SCOPED_TRACE(std::string(kill ? "a rank killed" : "SIGTERM") + " at k = " + std::to_string(shown) + ", " +
                 std::to_string(ranks) + " ranks");
    EXPECT_NE(stopped.exitStatus, 0);
    const std::string said = kill ? "Rank \\d+ has ended" : "Ctrl-C accepted";
    const std::string logged = kill ? "the end of rank \\d+" : "signal 15";
    std::smatch onConsole, inLog;
    const std::string log = dir.read("pelund.log");
    const bool named =
        std::regex_search(stopped.out, onConsole, std::regex("\n" + said + "\\. [^\n]*Ending k search at k=(\\d+)\\.\n$"));
    const bool noted =
        std::regex_search(log, inLog, std::regex("Search interrupted by " + logged + " at k=(\\d+)\n"));
    EXPECT_TRUE(named || kill) << stopped.out.substr(stopped.out.size() - std::min<size_t>(stopped.out.size(), 300));
    if (named) {
      EXPECT_TRUE(noted && inLog[1] == onConsole[1]) << log;
    }
    EXPECT_EQ(stopped.out.find(kill ? "Ctrl-C accepted" : "has ended"), std::string::npos);
    const std::string lines = dir.read("covering.txt");
    EXPECT_TRUE(lines.empty() || lines.back() == '\n');
    EXPECT_EQ(expected.compare(0, lines.size(), lines), 0);
    if (named || noted) {
      // Every line below the k named, none at or above it; the progress line shown
      // was of lines written.
      const int64_t next = std::stoll(named ? onConsole[1] : inLog[1]);
      EXPECT_GE(next, shown);
      size_t end = 0;
      while (end < expected.size() && std::stoll(expected.substr(end, 20)) < next) end = expected.find('\n', end) + 1;
      EXPECT_EQ(lines, expected.substr(0, end));
    }
    const e2e::RunResult resumed = runMpi(dir, 5 - ranks);
    EXPECT_EQ(resumed.exitStatus, 0);
    EXPECT_NE(resumed.out.find("Resuming R10 at k="), std::string::npos);
    EXPECT_TRUE(dir.read("covering.txt") == expected);
  }
}

// A live rank that is slow to answer a stop (here stopped with SIGSTOP, for as long as
// the run lasts) is not taken for one that has ended, however long it stays silent:
// the console and the log name no rank, and the lines are exactly pelund's below the
// k named. The stop goes to rank 0 alone, so that mpirun does not continue the rank.
TEST(MpiSearch, ASlowRankIsNotNamedAsEnded) {
  SKIP_WITHOUT_MPI();
  const std::string ini = iniWith("base=7\nc=1\nperiod=144\nmaxfact=100000\nthreads=1\nresume=1\n", 1,
                                  1000000000000000000);
  std::string expected;
  ASSERT_EQ(runPelund(ini, expected).exitStatus, 0);
  for (const auto silence : {std::chrono::milliseconds(500), std::chrono::milliseconds(1500)}) {
    SCOPED_TRACE("silent for " + std::to_string(silence.count()) + " ms");
    // The rank is stopped 100 ms after the banner, and again sooner while the run ended
    // before that (the rank gone, the closing count out): the whole search takes about
    // seven tenths of a second here.
    const bool landed = stopLands(std::chrono::milliseconds(100), [&](std::chrono::milliseconds delay) {
      SCOPED_TRACE("rank 1 stopped " + std::to_string(delay.count()) + " ms after the banner");
      e2e::TempDir dir;
      dir.write("pelund.ini", ini);
      // Rank 1 goes on 2 s after the stop: a rank stopped between rank 0's closing count
      // and its own exit holds mpirun forever, though the search has ended; where the
      // stop landed, the run is long over by then (or the rank goes on silent no longer).
      e2e::Interrupt pause{SIGSTOP, "Covering sets for", delay}, stop{SIGTERM, "", silence},
          resume{SIGCONT, "", std::chrono::milliseconds(2000)};
      pause.rank = 1, stop.rank = 0, resume.rank = 1;
      const e2e::RunResult stopped = e2e::runSteps(dir, {pause, stop, resume}, mpiArguments(2, true),
                                                   std::chrono::seconds(60), PELUND_MPIEXEC);
      EXPECT_EQ(stopped.out.find("has ended"), std::string::npos);
      EXPECT_EQ(dir.read("pelund.log").find("Rank"), std::string::npos) << dir.read("pelund.log");
      if (stopped.out.find(" covering sets found for S7") != std::string::npos) {
        EXPECT_EQ(stopped.termSignal, 0) << "ended by the harness";
        EXPECT_TRUE(dir.read("covering.txt") == expected);
        return false;
      }
      std::smatch match;
      const bool acknowledged =
          std::regex_search(stopped.out, match, std::regex("\nCtrl-C accepted\\. Ending k search at k=(\\d+)\\.\n$"));
      EXPECT_TRUE(acknowledged) << stopped.out.substr(stopped.out.size() - std::min<size_t>(stopped.out.size(), 300));
      if (!acknowledged) return true;
      EXPECT_NE(dir.read("pelund.log").find("Search interrupted by signal 15 at k=" + std::string(match[1])),
                std::string::npos);
      const int64_t next = std::stoll(match[1]);
      size_t end = 0;
      while (end < expected.size() && std::stoll(expected.substr(end, 20)) < next) end = expected.find('\n', end) + 1;
      EXPECT_EQ(dir.read("covering.txt"), expected.substr(0, end));
      return true;
    });
    EXPECT_TRUE(landed) << "the run ended before its rank was stopped, also when stopped as the banner showed";
  }
}

// A dense search, where every piece is full of lines: each rank holds a few pieces'
// lines at most. The memory of the lines is what a run takes beyond the same process's
// on a range of a few lines (for pelund-mpi, Open MPI's own). Rank 0 holds the pieces
// finished ahead of the one being written, no more than two per rank beyond it (2R + 2
// in all), where pelund holds at least the piece it searches: every run stays below
// 2R + 3 times pelund's lines, a bound of the window that no load can break (a slow
// writer fills the window). Unhindered, the ranks hold about what pelund holds: the
// best of three runs (a busy machine slows some of them) stays below twice its lines.
TEST(MpiSearch, RankMemoryOfADenseSearchStaysNearPelunds) {
  SKIP_WITHOUT_MPI();
  if (e2e::kSanitized) GTEST_SKIP() << "the address sanitizer's shadow memory dominates the figures";
  // No large buffer in this process while the runs go: a child's peak counts what it had at
  // fork. So the results are read once every run is over.
  auto peakKb = [](const e2e::TempDir& dir, int64_t maxK, int rankCount) {  // 0: pelund
    dir.write("pelund.ini", iniWith("base=14\nc=1\nperiod=4\nthreads=1\n", 1, maxK));
    const e2e::RunResult result = rankCount > 0 ? runMpi(dir, rankCount) : e2e::run(dir);
    EXPECT_EQ(result.exitStatus, 0);
    return result.peakKb;
  };
  const int ranks = 2;
  e2e::TempDir denseAlone, few, fewAlone, dense[3];
  const int64_t aloneLines = peakKb(denseAlone, 30000000, 0) - peakKb(fewAlone, 1000, 0);
  const int64_t mpiOwn = peakKb(few, 1000, ranks);
  ASSERT_GT(aloneLines, 4096) << "pelund's lines should take megabytes here";
  int64_t least = INT64_MAX;
  for (const e2e::TempDir& dir : dense) {
    const int64_t lines = peakKb(dir, 30000000, ranks) - mpiOwn;
    std::cout << "[ figures  ] memory of the lines: pelund " << aloneLines / 1024 << " MiB, the largest of mpirun and "
              << ranks << " ranks " << lines / 1024 << " MiB\n";
    EXPECT_LT(lines, (2 * ranks + 3) * aloneLines);
    least = std::min(least, lines);
  }
  EXPECT_LT(least, 2 * aloneLines);
  const std::string expected = denseAlone.read("covering.txt");
  for (const e2e::TempDir& dir : dense) EXPECT_TRUE(dir.read("covering.txt") == expected);
}

// The wide engine's tables are pelund-ck's: pelund-ck-mpi refuses --wide, touching nothing.
// A wide table over ranks is pelund-ck's, byte for byte, console, ck.txt and log:
// wholly beyond 1e18; across it, where some bases have their line below 1e18 and
// others only above; and with Phi_d(b) not factored completely, which the ranks report.
TEST(MpiSearch, CkTablesOverRanksTakeWide) {
  SKIP_WITHOUT_CK_MPI();
  for (const std::string arguments :
       {" SR 2,6,10,11 --period 12 --maxfact 200 --wide --mink 100000000000000000000001 "
        "--maxk 100000000000000000500000 --threads 1",
        " SR 2-13 --period 12 --maxfact 200 --wide --mink 999999999999990001 --maxk 1000000000000010000 --threads 1",
        " SR 2,10-11 --wide --period 97 --maxfact 18446744073709551615 --maxk 1000 --factoreffort 0 --threads 1"}) {
    SCOPED_TRACE(arguments);
    if (!PELUND_FACTORING_BUILT && arguments.find("18446744073709551615") != std::string::npos) continue;
    e2e::TempDir single;
    const e2e::RunResult alone = runCk(single, 0, arguments);
    ASSERT_EQ(alone.exitStatus, 0) << alone.out;
    const std::string reference = single.read("ck.txt");
    ASSERT_NE(reference.find(" wide=1"), std::string::npos);
    for (int ranks : {1, 2}) {
      e2e::TempDir dir;
      const e2e::RunResult result = runCk(dir, ranks, arguments);
      EXPECT_EQ(result.exitStatus, 0) << ranks << " ranks";
      EXPECT_EQ(e2e::maskStamps(result.out), e2e::maskStamps(alone.out)) << ranks << " ranks";
      EXPECT_EQ(dir.read("ck.txt"), reference) << ranks << " ranks";
      EXPECT_EQ(e2e::maskStamps(dir.read("pelund.log")), e2e::maskStamps(single.read("pelund.log"))) << ranks << " ranks";
    }
  }
}

// pelund-ck over 1 to 3 ranks writes pelund-ck's ck.txt and console byte for byte; a
// stop at a random moment leaves whole lines of that file, named by the console, and
// the command started again (with other ranks or pelund-ck) completes it.
TEST(MpiSearch, CkTablesOverRanksAreThoseOfOneProcess) {
  SKIP_WITHOUT_CK_MPI();
  const std::string arguments = " SR 2-60,97,210-215 --period 144 --maxfact 100000 --maxk 100000000000 --threads 1";
  e2e::TempDir single;
  const e2e::RunResult alone = runCk(single, 0, arguments);
  ASSERT_EQ(alone.exitStatus, 0) << alone.out;
  const std::string reference = single.read("ck.txt");
  for (int ranks = 1; ranks <= 3; ++ranks) {
    SCOPED_TRACE(std::to_string(ranks) + " ranks");
    e2e::TempDir dir;
    const e2e::RunResult result = runCk(dir, ranks, arguments);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(e2e::maskStamps(result.out), e2e::maskStamps(alone.out));
    EXPECT_TRUE(dir.read("ck.txt") == reference);
  }
  std::mt19937_64 random(std::random_device{}());
  int stops = 0;
  for (int round = 0; round < 2; ++round) {
    stops += stopLands(std::chrono::milliseconds(random() % 400), [&](std::chrono::milliseconds delay) {
      SCOPED_TRACE("round " + std::to_string(round) + ", stop after " + std::to_string(delay.count()) + " ms");
      e2e::TempDir dir;
      // The stop goes to rank 0 as mpirun would pass it on, but at once: mpirun itself
      // waits a second first, by which time the table may be done.
      e2e::Interrupt stop{SIGTERM, "CK table of", delay};
      stop.rank = 0;
      const e2e::RunResult stopped = runCk(dir, 2 + round, arguments, stop);
      const std::string now = dir.read("ck.txt");
      EXPECT_EQ(reference.compare(0, now.size(), now), 0);
      EXPECT_TRUE(now.empty() || now.back() == '\n');
      std::smatch match;
      const bool landed =
          std::regex_search(stopped.out, match, std::regex("Ctrl-C accepted\\. Ending the CK table at (\\w+)\\.\n$"));
      if (landed) {
        const size_t lines = size_t(std::count(now.begin(), now.end(), '\n'));
        const size_t at = reference.find('\n' + std::string(match[1]) + "  ");
        EXPECT_EQ(size_t(std::count(reference.begin(), reference.begin() + long(at + 1), '\n')), lines) << match[1];
      } else {
        EXPECT_NE(stopped.out.find("CK table complete"), std::string::npos) << stopped.out;
      }
      EXPECT_EQ(runCk(dir, round == 0 ? 3 : 0, arguments).exitStatus, 0);
      EXPECT_TRUE(dir.read("ck.txt") == reference);
      return landed;
    });
  }
  EXPECT_GT(stops, 0) << "every table was done before its stop";
}

// A fault ends rank 0 through its red message; the other ranks, told of it, end with
// status 1, upon which mpirun ends rank 0 with a SIGTERM while it finalizes: that is
// no stop to acknowledge. The console, status and ck.txt are pelund-ck's, every time.
TEST(MpiSearch, CkFaultsOverRanksAreThoseOfOneProcess) {
  SKIP_WITHOUT_CK_MPI();
  e2e::TempDir source;
  ASSERT_EQ(runCk(source, 0, kSmallTable).exitStatus, 0);
  const std::string made = source.read("ck.txt");
  struct Case { std::string arguments, ck; };
  for (const Case& c : {Case{" SR 2-13" + kSmallTable.substr(8), made},
                        Case{kSmallTable, made.substr(0, made.size() / 2) + "x\n"},
                        Case{" SR 2-12 --period 0", made}}) {
    e2e::TempDir alone;
    alone.write("ck.txt", c.ck);
    const e2e::RunResult expected = runCk(alone, 0, c.arguments);
    ASSERT_EQ(expected.exitStatus, 1) << expected.out;
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(c.arguments + ", round " + std::to_string(round));
      e2e::TempDir dir;
      dir.write("ck.txt", c.ck);
      const e2e::RunResult result = runCk(dir, 3 + round % 2, c.arguments);
      EXPECT_EQ(result.exitStatus, 1);
      EXPECT_EQ(result.out, expected.out);
      EXPECT_EQ(dir.read("ck.txt"), c.ck);
    }
  }
}

}  // namespace

namespace {

// A wide search (k above 2^64) under mpirun runs on rank 0's threads: its console and
// covering.txt are pelund's for any number of ranks; stopped under mpirun it names a
// wide k, and pelund resumes it to the uninterrupted file.
TEST(MpiSearch, WideSearchesAreThoseOfPelundAndResumeAcrossThem) {
  SKIP_WITHOUT_MPI();
  const std::string ini = "base=10\nc=-1\nperiod=144\nmaxfact=1000\nkdisp=100000000\nwide=1\nresume=1\n"
                          "mink=100000000000000000001\nmaxk=100000000003000000000\n";
  std::string expected;
  const e2e::RunResult single = runPelund(ini, expected);
  ASSERT_EQ(single.exitStatus, 0);
  for (int ranks = 1; ranks <= 3; ranks += 2) {
    SCOPED_TRACE(std::to_string(ranks) + " ranks");
    e2e::TempDir dir;
    dir.write("pelund.ini", ini);
    const e2e::RunResult result = runMpi(dir, ranks);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(e2e::maskStamps(result.out), e2e::maskStamps(single.out));
    EXPECT_TRUE(dir.read("covering.txt") == expected);
  }
  std::mt19937_64 random(std::random_device{}());
  int stops = 0;
  for (int round = 0; round < 3; ++round) {
    stops += stopLands(std::chrono::milliseconds(random() % 500), [&](std::chrono::milliseconds delay) {
      SCOPED_TRACE("round " + std::to_string(round) + ", stop after " + std::to_string(delay.count()) + " ms");
      e2e::TempDir dir;
      const e2e::RunResult stopped = stoppedAtRankZero(dir, ini, SIGINT, "Searching at k", delay);
      const std::string out = e2e::maskStamps(stopped.out);
      // A stop that reaches mpirun after the closing report only changes its status.
      const bool landed = out.find("covering sets found for R10") == std::string::npos;
      if (landed) {
        EXPECT_NE(stopped.exitStatus, 0);
        EXPECT_NE(out.find("Ctrl-C accepted. "), std::string::npos) << out;
        EXPECT_TRUE(std::regex_search(out, std::regex("Ending k search at k=1000000000\\d{11}\\.\n"))) << out;
      }
      const e2e::RunResult resumed = e2e::run(dir);
      EXPECT_EQ(resumed.exitStatus, 0);
      EXPECT_TRUE(dir.read("covering.txt") == expected);
      return landed;
    });
  }
  // The first progress line comes a thirtieth of the way through the search: a stop
  // sent as it comes lands on any machine.
  EXPECT_GT(stops, 0);
}

}  // namespace
