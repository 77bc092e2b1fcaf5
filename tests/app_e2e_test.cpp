// The run sequence through the real binary: configuration faults, the banner, the
// removal of old results, the log, signals before the handler is installed, the
// arguments --help and --version, and the live status line on a terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <thread>

#include <pelund/pelund.hpp>

#include "e2e.h"

namespace {

using e2e::errorLine;
using e2e::statusLine;

const std::string kOldResults = "12345  6  [7, 11, 13, 37]\n";

struct FaultCase {
  std::string ini;
  std::string message;
};

TEST(RunSequenceTest, ConfigurationFaultsEndWithRedErrorAndStatusOne) {
  const FaultCase cases[] = {
      {"", "base must be specified in pelund.ini"},
      {"base =10\nmink=1\nmaxk=2\nc=1\n", "base must be specified in pelund.ini"},
      {"base=10\nmaxk=2\nc=1\n", "mink must be specified in pelund.ini"},
      {"base=10\nmink=1\nc=1\n", "maxk must be specified in pelund.ini"},
      {"base=1\nmink=1\nmaxk=2\n", "c must be specified in pelund.ini"},
      {"base=ten\nmink=1\nmaxk=2\nc=1\n", "base cannot be less than 2"},
      {"base=1000000001\nmink=1\nmaxk=2\nc=1\n", "base cannot be greater than 1e9"},
      {"base=10\nmink=5\nmaxk=3\nc=1\n", "mink cannot be greater than maxk"},
      {"base=10\nmink=0\nmaxk=0\nc=1\n", "mink cannot be less than 1"},
      {"base=10\nmink=1\nmaxk=1000000000000000001\nc=1\n", "maxk cannot be greater than 1e18"},
      {"base=10\nmink=1\nmaxk=2\nc=0\n", "c must be -1 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nperiod=1\n", "period cannot be less than 2"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nperiod=4294967440\n", "period cannot be greater than 5040"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nmaxfact=1e9\n", "maxfact cannot be less than 5"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nmaxfact=1000000001\n", "maxfact cannot be greater than 1e9"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nfacdisp=-3\n", "facdisp cannot be negative"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nfacdisp=1000000001\n", "facdisp cannot be greater than 1e9"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nkdisp=-3\n", "kdisp cannot be negative"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nkdisp=1000000001\n", "kdisp cannot be greater than 1e9"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nthreads=-1\n", "threads cannot be negative"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nthreads=5000\n", "threads cannot be greater than 1024"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nengine=fast\n", "engine must be auto, sieve or residue"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nengine=\n", "engine must be auto, sieve or residue"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nengine=sieves\n", "engine must be auto, sieve or residue"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nresume=2\n", "resume must be 0 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nresume=-1\n", "resume must be 0 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nalgebraic=2\n", "algebraic must be 0 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nalgebraic=-1\n", "algebraic must be 0 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nprogress=2\n", "progress must be 0 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nmaxsets=-1\n", "maxsets cannot be negative"},
      {"base=10\nmink=1\nmaxk=2\nc=1\nmaxsets=1000000000000000001\n", "maxsets cannot be greater than 1e18"},
  };
  for (const auto& [ini, message] : cases) {
    SCOPED_TRACE(ini);
    e2e::TempDir dir;
    dir.write("pelund.ini", ini);
    dir.write("covering.txt", kOldResults);
    e2e::RunResult result = e2e::run(dir);
    EXPECT_EQ(result.out, errorLine(message));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_FALSE(dir.exists("pelund.log"));
    EXPECT_EQ(dir.read("covering.txt"), kOldResults);
  }
}

TEST(RunSequenceTest, MissingConfigurationFile) {
  e2e::TempDir dir;
  dir.write("covering.txt", kOldResults);
  e2e::RunResult result = e2e::run(dir);
  EXPECT_EQ(result.out, errorLine("pelund.ini not found"));
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(dir.read("covering.txt"), kOldResults);
  EXPECT_FALSE(dir.exists("pelund.log"));
}

// A run that the search ends at once: base 3 with period 2 has no candidate prime.
const std::string kQuickIni = "base=3\nmink=1\nmaxk=10\nc=+1\nperiod=2\nmaxfact=1000\n";
const std::string kQuickBanner = "Covering sets for S3 k=1 to 10 with factor<=1000 and period=2";

TEST(RunSequenceTest, BannerFollowsRemovalOfOldResults) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kQuickIni);
  dir.write("covering.txt", kOldResults);
  e2e::RunResult result = e2e::run(dir, {}, "ignored --arguments 7");
  std::string console = e2e::maskStamps(result.out);
  EXPECT_EQ(console.substr(0, console.find("\n\033[0m\n") + 6), "\n" + statusLine(kQuickBanner) + "\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_FALSE(dir.exists("covering.txt"));
}

TEST(RunSequenceTest, LogEntriesCarryTheConsoleStampAndGrowAcrossRuns) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kQuickIni);
  e2e::RunResult first = e2e::run(dir);
  std::string firstLog = dir.read("pelund.log");
  // The console line's stamp and message appear in the log, followed by an empty line.
  size_t stampAt = first.out.find("Status (");
  ASSERT_NE(stampAt, std::string::npos);
  std::string stampedBanner = first.out.substr(stampAt, first.out.find('\n', stampAt) - stampAt);
  EXPECT_EQ(firstLog.substr(0, stampedBanner.size() + 2), stampedBanner + "\n\n");
  EXPECT_EQ(e2e::maskStamps(stampedBanner), "Status (STAMP):  " + kQuickBanner);

  e2e::run(dir);
  EXPECT_EQ(dir.read("pelund.log").substr(0, firstLog.size()), firstLog);
  EXPECT_GT(dir.read("pelund.log").size(), firstLog.size());
}

TEST(RunSequenceTest, UnopenableLogLeavesConsoleComplete) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kQuickIni);
  ASSERT_EQ(mkdir(dir.file("pelund.log").c_str(), 0755), 0);
  e2e::RunResult result = e2e::run(dir);
  EXPECT_EQ(e2e::maskStamps(result.out).substr(0, 1 + statusLine(kQuickBanner).size() + 1),
            "\n" + statusLine(kQuickBanner) + "\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST(RunSequenceTest, InterruptWhileConfiguringMeetsNoHandler) {
  // A FIFO as pelund.ini holds the process inside the configuration reader.
  e2e::TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("pelund.ini").c_str(), 0644), 0);
  e2e::Interrupt interrupt{SIGINT, "", std::chrono::milliseconds(300)};
  e2e::RunResult result = e2e::run(dir, interrupt, "", std::chrono::seconds(20));
  EXPECT_EQ(result.termSignal, SIGINT);
  EXPECT_EQ(result.out, "");
}

// The only arguments: --help says what pelund reads and how it ends, --version names
// the version; neither touches the directory. Any other argument is ignored.
TEST(RunSequenceTest, HelpAndVersion) {
  e2e::TempDir dir;
  dir.write("pelund.ini", "base=3\nmink=1\nmaxk=10\nc=1\nperiod=2\nmaxfact=1000\n");
  const e2e::RunResult version = e2e::run(dir, {}, "--version");
  EXPECT_EQ(version.out, std::string("pelund ") + pelund::kVersion + "\n");
  EXPECT_EQ(version.exitStatus, 0);
  const e2e::RunResult help = e2e::run(dir, {}, "--help");
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* said : {"Usage: pelund [--help | --version]", "pelund.ini", "base, mink, maxk and c",
                           "covering.txt", "Exit status: 0"})
    EXPECT_NE(help.out.find(said), std::string::npos) << said;
  // Every key that pelund.ini takes, each with its default or values in parentheses.
  std::string words = help.out;
  std::replace(words.begin(), words.end(), '\n', ' ');
  for (const char* key : {"period (", "maxfact (", "facdisp (", "kdisp (", "threads (", "engine (", "resume (",
                          "algebraic (", "progress (", "maxsets (", "wide (", "factoreffort ("})
    EXPECT_NE(words.find(key), std::string::npos) << key;
  EXPECT_FALSE(dir.exists("pelund.log"));
  EXPECT_FALSE(dir.exists("pelund.lock"));
  const e2e::RunResult other = e2e::run(dir, {}, "--frobnicate");
  EXPECT_EQ(e2e::maskStamps(other.out).find("\n\x1b[32mStatus (STAMP):  Covering sets for S3"), 0u) << other.out;
}

// On a terminal the walk shows a status line, which is erased before any other output:
// without its segments (each begins with a carriage return, which no other output
// holds) the terminal's bytes are those written to a pipe. kdisp, facdisp or
// progress=0 leave it out.
TEST(RunSequenceTest, StatusLineOnATerminalLeavesTheOutputAsItIs) {
  const std::string ini = "base=2\nmink=1\nmaxk=500000000\nc=1\nperiod=720\n";
  const struct {
    std::string extra;
    bool shown;
  } cases[] = {{"", true}, {"progress=0\n", false}, {"kdisp=500000000\n", false}, {"facdisp=100000\n", false}};
  const std::regex status("(\r[^\r\n]*)+\r");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    e2e::TempDir piped, terminal;
    piped.write("pelund.ini", ini + c.extra);
    terminal.write("pelund.ini", ini + c.extra);
    const e2e::RunResult expected = e2e::run(piped);
    const e2e::RunResult shown = e2e::runOnTerminal(terminal, 90);
    EXPECT_EQ(shown.exitStatus, 0);
    EXPECT_EQ(shown.out.find("\rSearching: ") != std::string::npos, c.shown);
    EXPECT_EQ(e2e::maskStamps(std::regex_replace(shown.out, status, "")), e2e::maskStamps(expected.out));
    // Never wider than the terminal less a column, so that the carriage return takes it
    // back whole (the clearing of the rest of the screen, ESC [ J, takes no column).
    const std::string bare = std::regex_replace(shown.out, std::regex("\x1b\\[J"), "");
    for (size_t at = bare.find('\r'); at != std::string::npos; at = bare.find('\r', at + 1))
      EXPECT_LT(bare.find_first_of("\r\n", at + 1) - at - 1, 90u);
    EXPECT_EQ(terminal.read("covering.txt"), piped.read("covering.txt"));
  }
}

}  // namespace
