// Standard output that cannot be written, through the real binary. A pipe whose reader
// has gone (pelund | head) stops a run as Ctrl-C does: the log's line, the state at the
// stop, covering.txt whole and equal to an uninterrupted run's below the stop, exit
// status 141; with Ctrl-C to both ends of the pipe (pelund | tee) the stop stays
// Ctrl-C's. The text of --help or --version that cannot be written ends with status 1.
// Output handed over non-blocking loses no byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "e2e.h"

namespace {

// R10 to 10^11: far longer than any of these runs waits for its stop.
std::string iniOf(const std::string& engine, int64_t maxK, const std::string& extra) {
  return "base=10\nmink=1\nmaxk=" + std::to_string(maxK) + "\nc=-1\nengine=" + engine + "\n" + extra;
}

// The point of the stop that the log names for `signal` ("k" or "factor"), or -1.
int64_t stopInLog(const std::string& log, int signal, std::string& where) {
  static const std::regex line(R"(Search interrupted by signal (\d+) at (k|factor)=(\d+)\n)");
  std::smatch match;
  if (!std::regex_search(log, match, line) || std::stoi(match[1]) != signal) return -1;
  where = match[2];
  return std::stoll(match[3]);
}

// A covering.txt of 2000 covers of R10: the k = 10176 mod 7*11*13*37.
std::string r10Covers() {
  std::string covering;
  for (int64_t k = 10176; k < 10176 + 2000 * 37037; k += 37037) covering += std::to_string(k) + "  6  [7, 11, 13, 37]\n";
  return covering;
}

std::string stateValue(const std::string& state, const std::string& key) {
  const std::regex line("\n" + key + "=(\\d+)\n");
  std::smatch match;
  return std::regex_search(state, match, line) ? std::string(match[1]) : "";
}

// Everything below the stop is searched and written, whole, as an uninterrupted run
// has it, and the state stands at the stop.
void expectStoppedAt(const e2e::TempDir& dir, const std::string& engine, const std::string& extra, int64_t at) {
  e2e::TempDir reference;
  reference.write("pelund.ini", iniOf(engine, at - 1, extra));
  EXPECT_EQ(e2e::run(reference).exitStatus, 0);
  const std::string covering = dir.read("covering.txt");
  EXPECT_EQ(covering, reference.read("covering.txt"));
  const std::string state = dir.read("pelund.state");
  EXPECT_EQ(stateValue(state, "nextk"), std::to_string(at)) << state;
  EXPECT_EQ(stateValue(state, "length"), std::to_string(covering.size())) << state;
}

TEST(ClosedOutputTest, AReaderThatGoesAwayStopsTheRunLikeASignal) {
  struct Case {
    const char* name;
    std::string engine;
    std::string extra;
    std::vector<e2e::Interrupt> steps;  // none: no reader from the start
    int status;
    int logged;  // the signal the log names
  } cases[] = {
      {"no reader from the start", "sieve", "", {}, 141, SIGPIPE},
      {"reader gone at a progress line, sieve", "sieve", "kdisp=10000000\n",
       {{0, "Searching at k = ", {}, false, true}}, 141, SIGPIPE},
      {"reader gone at a progress line, tree", "residue", "kdisp=10000000\n",
       {{0, "Searching at k = ", {}, false, true}}, 141, SIGPIPE},
      {"Ctrl-C to both ends of the pipe", "sieve", "",
       {{0, "period=144\n\033[0m\n", {}, false, true}, {SIGINT, "", std::chrono::milliseconds(300)}}, 130, SIGINT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::TempDir dir;
    const std::string ini = iniOf(c.engine, 100000000000, c.extra);
    dir.write("pelund.ini", ini + "resume=1\n");
    const e2e::RunResult run = c.steps.empty() ? e2e::runWithoutReader(dir) : e2e::runSteps(dir, c.steps);
    EXPECT_EQ(run.termSignal, 0);
    EXPECT_EQ(run.exitStatus, c.status);
    std::string where;
    const int64_t at = stopInLog(dir.read("pelund.log"), c.logged, where);
    ASSERT_GE(at, 0) << dir.read("pelund.log");
    // Without a reader the banner's first line stops the run, before the k search; a
    // reader gone at a progress line stops it in the k search. The Ctrl-C comes 300 ms
    // after the banner, almost always in the k search (the candidates take some ms).
    if (c.steps.empty()) {
      EXPECT_EQ(where, "factor");
    } else if (c.logged == SIGPIPE) {
      EXPECT_EQ(where, "k");
    }
    if (where == "factor") {
      EXPECT_EQ(dir.read("covering.txt"), "");
      continue;
    }
    expectStoppedAt(dir, c.engine, c.extra, at);
  }
}

// pelund-mpi alone (rank 0 without mpirun, whose own output is the pipe) stops as pelund
// does. Under mpirun, mpirun notices the closed pipe and stops the ranks with SIGTERM.
TEST(ClosedOutputTest, PelundMpiStopsAsPelundDoes) {
  if (std::string(PELUND_MPI_BINARY).empty()) GTEST_SKIP() << "pelund-mpi was not built (MPI not found)";
  setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 0);
  setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 0);
  e2e::TempDir dir;
  const std::string extra = "kdisp=10000000\n";
  dir.write("pelund.ini", iniOf("sieve", 100000000000, extra) + "resume=1\n");
  const e2e::RunResult run =
      e2e::runSteps(dir, {{0, "Searching at k = ", {}, false, true}}, "", std::chrono::seconds(120), PELUND_MPI_BINARY);
  EXPECT_EQ(run.termSignal, 0);
  EXPECT_EQ(run.exitStatus, 141);
  std::string where;
  const int64_t at = stopInLog(dir.read("pelund.log"), SIGPIPE, where);
  ASSERT_GE(at, 0) << dir.read("pelund.log");
  EXPECT_EQ(where, "k");
  expectStoppedAt(dir, "sieve", extra, at);
}

// pelund-ck writes only its banner and closing line to standard output. With no reader
// from the start the banner stops it before the first base, resumable; a reader gone
// once the banner shows (the table takes a second or more) leaves a table that is done
// reported done. Either way a run with a reader then holds the uninterrupted table.
TEST(ClosedOutputTest, PelundCkStopsAsPelundDoesAndReportsADoneTable) {
  const std::string arguments = "SR 2-300 --period 144 --maxk 1000000000000 --threads 2";
  const auto ck = [&](const e2e::TempDir& dir) {
    return e2e::run(dir, {}, arguments, std::chrono::seconds(300), PELUND_CK_BINARY);
  };
  e2e::TempDir reference;
  ASSERT_EQ(ck(reference).exitStatus, 0);
  const std::string table = reference.read("ck.txt");
  const struct {
    bool readerAtStart;
    int status;
    std::string logged, kept;
  } scenes[] = {{false, 141, "CK table interrupted by signal 13 at S2", table.substr(0, table.find('\n') + 1)},
                {true, 0, "CK table complete: 598 lines in ck.txt", table}};
  for (const auto& scene : scenes) {
    e2e::TempDir dir;
    const e2e::RunResult run =
        scene.readerAtStart
            ? e2e::runSteps(dir, {{0, "k=1 to 1000000000000\n\033[0m\n", {}, false, true}}, arguments,
                            std::chrono::seconds(300), PELUND_CK_BINARY)
            : e2e::runWithoutReader(dir, std::chrono::seconds(300), PELUND_CK_BINARY, arguments);
    EXPECT_EQ(run.termSignal, 0);
    EXPECT_EQ(run.exitStatus, scene.status);
    EXPECT_TRUE(dir.read("pelund.log").ends_with(scene.logged + "\n\n")) << dir.read("pelund.log");
    EXPECT_EQ(dir.read("ck.txt"), scene.kept);
    EXPECT_EQ(ck(dir).exitStatus, 0);
    EXPECT_EQ(dir.read("ck.txt"), table);
  }
}

// A parent may hand over its output non-blocking (another program set the flag on the
// pipe or terminal they share): a full pipe or terminal then takes nothing at once, and
// every byte must still arrive, as on a blocking pipe, while the parent's file keeps
// its flag. The reader comes late, so the output is full long before.
TEST(ClosedOutputTest, ANonBlockingOutputLosesNoByte) {
  // S2, P = 144, to 10^7: 2000 progress lines; the proofs of 2000 covers of R10.
  // Either fills the pipe many times over.
  const std::string covering = r10Covers();
  // On a terminal pelund would draw its status line, so the terminal's case is
  // pelund-verify's, whose bytes are those of a pipe.
  const struct {
    std::string binary, arguments, ini, covering;
    bool terminal;
  } cases[] = {{PELUND_BINARY, "", "base=2\nc=1\nmink=1\nmaxk=10000000\nkdisp=5000\n", "", false},
               {PELUND_VERIFY_BINARY, "--explain", "base=10\nc=-1\nmink=1\nmaxk=100000000\n", covering, false},
               {PELUND_VERIFY_BINARY, "--explain", "base=10\nc=-1\nmink=1\nmaxk=100000000\n", covering, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.binary + " " + c.arguments + (c.terminal ? " on a terminal" : ""));
    e2e::TempDir blockingDir, lateDir;
    for (const e2e::TempDir* dir : {&blockingDir, &lateDir}) {
      dir->write("pelund.ini", c.ini);
      if (!c.covering.empty()) dir->write("covering.txt", c.covering);
    }
    const e2e::RunResult blocking = e2e::run(blockingDir, {}, c.arguments, std::chrono::seconds(120), c.binary);
    ASSERT_EQ(blocking.exitStatus, 0);
    ASSERT_GT(blocking.out.size(), size_t(1) << 17);  // twice a pipe's 64 KiB
    bool stillNonBlocking = false;
    const e2e::RunResult late =
        e2e::runOnNonBlockingOutput(lateDir, c.terminal, std::chrono::milliseconds(500), stillNonBlocking, c.binary,
                                    c.arguments);
    EXPECT_EQ(late.exitStatus, 0);
    EXPECT_TRUE(stillNonBlocking);
    EXPECT_EQ(e2e::maskStamps(late.out), e2e::maskStamps(blocking.out));
    EXPECT_EQ(lateDir.read("covering.txt"), blockingDir.read("covering.txt"));
  }
}

// Output that cannot be written is a fault with its own status: pelund's and
// pelund-ck's help and version 1, pelund-verify's verdicts and proofs 2 (a proof cut
// off on a full disk must not pass for a whole one).
TEST(ClosedOutputTest, OutputThatCannotBeWrittenEndsWithAFaultStatus) {
  const std::string full = "pelund-verify: standard output cannot be written: No space left on device\n";
  // The proofs of 2000 covers fill stdio's buffer many times.
  const std::string covering = r10Covers();
  const struct {
    std::string binary, argument, output;
    int status;
    std::string errors;
  } cases[] = {
      {PELUND_VERIFY_BINARY, "", "/dev/full", 2, full},
      {PELUND_VERIFY_BINARY, "--explain", "/dev/full", 2, full},
      {PELUND_VERIFY_BINARY, "--json", "/dev/full", 2,
       PELUND_JSON_BUILT ? "2000 lines checked, 0 bad\n" + full  // the summary goes to standard error
                         : "pelund-verify: --json is not available: this pelund-verify was built without "
                                  "nlohmann-json (PELUND_JSON=OFF); --explain gives the same in text\n"},
      {PELUND_VERIFY_BINARY, "--explain", "/dev/null", 0, ""},
      {PELUND_BINARY, "--help", "/dev/full", 1, "pelund: standard output cannot be written: No space left on device\n"},
      {PELUND_BINARY, "--version", "/dev/full", 1,
       "pelund: standard output cannot be written: No space left on device\n"},
      {PELUND_BINARY, "--help", "/dev/null", 0, ""},
      {PELUND_BINARY, "--version", "/dev/null", 0, ""},
      {PELUND_CK_BINARY, "--help", "/dev/full", 1,
       "pelund-ck: standard output cannot be written: No space left on device\n"},
      {PELUND_CK_BINARY, "S 2 --version", "/dev/full", 1,
       "pelund-ck: standard output cannot be written: No space left on device\n"},
      {PELUND_CK_BINARY, "--help", "/dev/null", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.binary + " " + c.argument + " > " + c.output);
    e2e::TempDir dir;
    dir.write("pelund.ini", "base=10\nc=-1\nmink=1\nmaxk=100000000\n");
    dir.write("covering.txt", covering);
    const std::string command = "cd '" + dir.path() + "' && '" + c.binary + "' " + c.argument + " > " + c.output +
                                " 2> errors.txt";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    EXPECT_EQ(dir.read("errors.txt"), c.errors);
  }
}

}  // namespace
