// The run sequence through the real binary: configuration faults, the banner, the
// removal of old results, the log, and signals before the handler is installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <thread>

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

}  // namespace
