// pelund-ck through the real binaries, in fresh directories: on generated bases and
// parameters each line of ck.txt is the first line of pelund's covering.txt for the
// same search (both engines, algebraic factors on and off), "none" exactly when
// pelund finds nothing; the file is the same for any number of threads; runs stopped
// at random moments and started again end with the file of one uninterrupted run;
// tables of other parameters, damaged tables and bad arguments are refused with
// nothing touched; every line passes pelund-verify; the console bytes of a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <sstream>

#include <pelund/pelund.hpp>

#include "e2e.h"
#include "rounds.h"

namespace {

struct Table {
  std::string forms = "SR";
  std::string bases;
  std::string options;  // "--period 144 --maxk 1000" ...
  std::string arguments() const { return forms + " " + bases + " " + options; }
};

e2e::RunResult runCk(const e2e::TempDir& dir, const Table& table, const e2e::Interrupt& interrupt = {}) {
  return e2e::run(dir, interrupt, table.arguments(), std::chrono::seconds(300), PELUND_CK_BINARY);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first line of pelund's covering.txt for the search, or "none".
std::string pelundFirstLine(const std::string& ini) {
  e2e::TempDir dir;
  dir.write("pelund.ini", ini);
  const e2e::RunResult result = e2e::run(dir);
  EXPECT_EQ(result.exitStatus, 0) << ini;
  const std::vector<std::string> lines = linesOf(dir.read("covering.txt"));
  return lines.empty() ? "none" : lines.front();
}

// One uninterrupted table, its file.
std::string uninterrupted(const Table& table) {
  e2e::TempDir dir;
  const e2e::RunResult result = runCk(dir, table);
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  return dir.read("ck.txt");
}

TEST(CkTable, EachLineIsTheFirstLineOfPelundWithTheSameParameters) {
  std::mt19937_64 random(2025);
  const int periods[] = {12, 24, 36, 48, 72, 144};
  size_t nones = 0, lines = 0, proofs = 0;
  // Perfect powers, whose small k are often proved by algebraic factors alone or with
  // primes: pelund-ck tries its first k one by one, the walk lists them.
  const int powers[] = {4, 8, 9, 16, 25, 27, 32, 36, 49, 64, 81, 100, 121, 125, 128, 144, 216, 243, 256, 343, 512, 625,
                        729, 1000, 1024};
  for (int round = 0; round < e2e::rounds(9); ++round) {
    const int first = int(2 + random() % 150), count = int(2 + random() % 3);
    const int period = periods[random() % 6], maxFact = int(50 + random() % 150000);
    // Rounds of kinds plain, algebraic, algebraic over perfect powers, plain: the
    // sanitizer build's first three rounds meet each kind.
    const bool algebraic = round % 4 == 1 || round % 4 == 2, ofPowers = round % 4 == 2;
    const int64_t minK = int64_t(1 + random() % (ofPowers ? 40 : 2000));
    const int64_t maxK = minK + int64_t(round % 3 == 0 ? random() % 200 : random() % 600000);
    std::string bases = std::to_string(first) + "-" + std::to_string(first + count - 1) + "," +
                        std::to_string(first + 200 + int(random() % 800));
    if (ofPowers)  // count + 1 distinct powers
      for (size_t at = random() % 25, i = 0; i <= size_t(count); ++i)
        bases = (i == 0 ? "" : bases + ",") + std::to_string(powers[(at + i * 7) % 25]);
    Table table{"SR", bases,
                "--period " + std::to_string(period) + " --maxfact " + std::to_string(maxFact) + " --mink " +
                    std::to_string(minK) + " --maxk " + std::to_string(maxK) + (algebraic ? " --algebraic" : "")};
    SCOPED_TRACE(table.arguments());
    const std::vector<std::string> ck = linesOf(uninterrupted(table));
    ASSERT_EQ(ck.size(), size_t(1 + 2 * (count + 1)));
    for (size_t i = 1; i < ck.size(); ++i) {
      const std::string name = ck[i].substr(0, ck[i].find(' '));
      const std::string ini = "base=" + name.substr(1) + "\nc=" + (name[0] == 'S' ? "1" : "-1") + "\nmink=" +
                              std::to_string(minK) + "\nmaxk=" + std::to_string(maxK) + "\nperiod=" +
                              std::to_string(period) + "\nmaxfact=" + std::to_string(maxFact) +
                              "\nalgebraic=" + (algebraic ? "1" : "0") + "\nthreads=2\n";
      for (const char* engine : {"sieve", "residue"})
        EXPECT_EQ(ck[i], name + "  " + pelundFirstLine(ini + "engine=" + engine + "\n")) << engine;
      nones += ck[i].ends_with("  none");
      proofs += ck[i].find("  + ") != std::string::npos;  // an algebraic proof
      ++lines;
    }
  }
  EXPECT_GT(nones, 0u);          // every kind of line was compared
  EXPECT_LT(nones, lines / 2);
  EXPECT_GT(proofs, 0u);
}

TEST(CkTable, TheFileIsTheSameForOneTwoAndSevenThreads) {
  Table table{"SR", "2-40,64,100", "--period 144 --maxk 100000000"};
  const std::string one = uninterrupted({table.forms, table.bases, table.options + " --threads 1"});
  EXPECT_EQ(linesOf(one).size(), 1u + 2 * 41);
  for (const char* threads : {" --threads 2", " --threads 7"})
    EXPECT_EQ(uninterrupted({table.forms, table.bases, table.options + threads}), one) << threads;
}

TEST(CkTable, RunsStoppedAtRandomMomentsAndStartedAgainEndWithTheFileOfOneRun) {
  // About a second of work on two idle cores, so that a stop lands inside a run.
  const Table table{"SR", "2-400", "--period 144 --maxk 1000000000000 --threads 2"};
  const std::string reference = uninterrupted(table);
  std::mt19937_64 random(7);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGKILL};
  for (int round = 0; round < e2e::rounds(9); ++round) {
    e2e::TempDir dir;
    int stops = 0;
    // A few stops at random moments (a base is searched again from its start after a
    // stop, so the runs then go on undisturbed to the end, however slow the machine).
    for (int attempt = 0; attempt < 4; ++attempt) {
      const int signal = signals[(round + attempt) % 4];
      const e2e::Interrupt stop{signal, "Status", std::chrono::milliseconds(random() % 400)};
      const e2e::RunResult result = runCk(dir, table, stop);
      const std::string now = dir.read("ck.txt");
      if (result.exitStatus == 0) break;
      ++stops;
      if (signal == SIGKILL) {
        EXPECT_EQ(result.termSignal, SIGKILL);
        continue;
      }
      EXPECT_EQ(result.exitStatus, 128 + signal) << result.out;
      // Whole lines only, each as one run writes it, and the line named last.
      ASSERT_EQ(reference.compare(0, now.size(), now), 0);
      ASSERT_TRUE(now.empty() || now.back() == '\n');
      const size_t done = linesOf(now).size();
      const std::string next = linesOf(reference)[std::max<size_t>(done, 1)];
      EXPECT_TRUE(result.out.ends_with("Ctrl-C accepted. Ending the CK table at " + next.substr(0, next.find(' ')) +
                                       ".\n")) << result.out;
    }
    EXPECT_EQ(runCk(dir, table).exitStatus, 0);
    EXPECT_EQ(dir.read("ck.txt"), reference);
    EXPECT_GT(stops, 0);
  }
}

TEST(CkTable, TablesThatDoNotFitTheParametersAreRefusedUntouched) {
  const Table table{"SR", "2-5", "--period 144 --maxk 100000"};
  const std::string reference = uninterrupted(table);
  const std::vector<std::string> lines = linesOf(reference);
  struct Case {
    std::string file, message;
  };
  const Case cases[] = {
      {"pelund-ck SR 2-5 period=720 maxfact=1000000 mink=1 maxk=100000 algebraic=0\n" + lines[1] + "\n",
       "ck.txt holds a table of other parameters: pelund-ck SR 2-5 period=720 maxfact=1000000 mink=1 maxk=100000 "
       "algebraic=0"},
      {"something else", "ck.txt holds a table of other parameters: something else"},
      {lines[0] + "\n" + lines[2] + "\n", "ck.txt does not match its parameters at line 2: " + lines[2]},
      {lines[0] + "\n" + lines[1] + "\nR2  12 x\n", "ck.txt does not match its parameters at line 3: R2  12 x"},
      {reference + "S6  none\n", "ck.txt does not match its parameters at line 10: S6  none"},
      // a line end or a blank that the eye cannot tell apart is shown escaped, in quotes
      {lines[0] + "\r\n" + lines[1] + "\n", "ck.txt holds a table of other parameters: \"" + lines[0] + "\\r\""},
      {lines[0] + " \n", "ck.txt holds a table of other parameters: \"" + lines[0] + " \""},
      {lines[0] + "\n" + lines[1] + "\t\x01\"\\\r\n",
       "ck.txt does not match its parameters at line 2: \"" + lines[1] + "\\t\\x01\\\"\\\\\\r\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    e2e::TempDir dir;
    dir.write("ck.txt", c.file);
    const e2e::RunResult result = runCk(dir, table);
    EXPECT_EQ(result.out, e2e::errorLine(c.message));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(dir.read("ck.txt"), c.file);
    EXPECT_FALSE(dir.exists("pelund.log"));
  }
  // A line cut off by a kill is searched again, a heading cut off before its line end
  // is written again; a finished table stays as it is.
  for (const std::string& start : {reference.substr(0, reference.size() - 5), reference.substr(0, lines[0].size()),
                                   reference.substr(0, 9), reference}) {
    e2e::TempDir dir;
    dir.write("ck.txt", start);
    EXPECT_EQ(runCk(dir, table).exitStatus, 0);
    EXPECT_EQ(dir.read("ck.txt"), reference);
  }
}

TEST(CkTable, ADirectoryLockedByAnotherSearchIsRefused) {
  e2e::TempDir dir;
  const int lock = ::open(dir.file("pelund.lock").c_str(), O_CREAT | O_RDWR, 0644);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  const e2e::RunResult refused = runCk(dir, {"S", "2-5", "--maxk 1000"});
  ::close(lock);
  EXPECT_EQ(refused.out, e2e::errorLine("another search is running in this directory"));
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_FALSE(dir.exists("ck.txt"));
  EXPECT_EQ(runCk(dir, {"S", "2-5", "--maxk 1000"}).exitStatus, 0);  // free again
  EXPECT_TRUE(dir.exists("ck.txt"));
}

TEST(CkTable, BadArgumentsAreRedErrorsThatTouchNothing) {
  const struct {
    std::string arguments, message;
  } cases[] = {
      {"", "the forms must be given: S, R or SR"},
      {"Q 2-10", "the forms must be S, R or SR"},
      {"S", "the bases must be given, as in 2-100,120,1000-1030"},
      {"S 2-10 20", "give the bases as one list, as in 2-100,120,1000-1030"},
      {"S 2-x", "bases must be numbers, ranges and lists such as 2-100,120,1000-1030"},
      {"S 2,,3", "bases must be numbers, ranges and lists such as 2-100,120,1000-1030"},
      {"S 1-10", "base cannot be less than 2"},
      {"S 2-1000000001", "base cannot be greater than 1e9"},
      {"S 10-2", "a range of bases cannot end below its start"},
      {"S 2-2000000", "a table cannot have more than 1000000 bases"},
      {"S 2 --period 1", "period cannot be less than 2"},
      {"S 2 --period=5041", "period cannot be greater than 5040"},
      {"S 2 --maxfact 4", "maxfact cannot be less than 5"},
      {"S 2 --maxfact 1000000001", "maxfact cannot be greater than 1e9"},
      {"S 2 --mink 0", "mink cannot be less than 1"},
      {"S 2 --mink 10 --maxk 9", "mink cannot be greater than maxk"},
      {"S 2 --maxk 1000000000000000001", "maxk cannot be greater than 1e18"},
      {"S 2 --maxk 99999999999999999999999", "maxk cannot be greater than 1e18"},
      {"S 2 --threads 1025", "threads cannot be greater than 1024"},
      {"S 2 --threads -1", "option values must be decimal numbers"},
      {"S 2 --period", "an option needs a value, as in --maxk 1000000"},
      {"S 2 --base 3", "unknown option (see pelund-ck --help)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    e2e::TempDir dir;
    const e2e::RunResult result = e2e::run(dir, {}, c.arguments, std::chrono::seconds(60), PELUND_CK_BINARY);
    EXPECT_EQ(result.out, e2e::errorLine(c.message));
    EXPECT_EQ(result.exitStatus, 1);
    for (const char* file : {"ck.txt", "pelund.log", "pelund.lock"}) EXPECT_FALSE(dir.exists(file)) << file;
  }
}

TEST(CkTable, TheConsoleOfARunAndItsFileInBytes) {
  e2e::TempDir dir;
  const e2e::RunResult result = runCk(dir, {"S", "2,14", "--maxk 1000"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(e2e::maskStamps(result.out),
            "\n" + e2e::statusLine("CK table of S for bases 2,14 with factor<=1000000 and period=720, k=1 to 1000") +
                "\n" + e2e::statusLine("CK table complete: 2 lines in ck.txt"));
  EXPECT_EQ(dir.read("ck.txt"),
            "pelund-ck S 2,14 period=720 maxfact=1000000 mink=1 maxk=1000 algebraic=0\nS2  none\nS14  4  2  [3, 5]\n");
  // Started again: the finished table is reported as it stands.
  const e2e::RunResult again = runCk(dir, {"S", "14,2", "--maxk 1000"});
  EXPECT_EQ(e2e::maskStamps(again.out),
            "\n" + e2e::statusLine("CK table of S for bases 2,14 with factor<=1000000 and period=720, k=1 to 1000") +
                e2e::statusLine("Resuming the CK table at its end with 2 of 2 lines written") + "\n" +
                e2e::statusLine("CK table complete: 2 lines in ck.txt"));
}

TEST(CkTable, HelpAndVersionAnswerAndTouchNothing) {
  e2e::TempDir dir;
  const e2e::RunResult help = e2e::run(dir, {}, "--help", std::chrono::seconds(60), PELUND_CK_BINARY);
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* said : {"Usage: pelund-ck FORMS BASES [options]", "--period P (720)", "--algebraic", "ck.txt",
                           "128 + signal"})
    EXPECT_NE(help.out.find(said), std::string::npos) << said;
  const e2e::RunResult version = e2e::run(dir, {}, "S 2 --version", std::chrono::seconds(60), PELUND_CK_BINARY);
  EXPECT_EQ(version.out, std::string("pelund-ck ") + pelund::kVersion + "\n");
  EXPECT_EQ(version.exitStatus, 0);
  for (const char* file : {"ck.txt", "pelund.log", "pelund.lock"}) EXPECT_FALSE(dir.exists(file)) << file;
}

TEST(CkTable, EveryLineIsProvedByPelundVerify) {
  const Table table{"SR", "2-12,30,100", "--period 144 --maxk 100000000 --algebraic"};
  const std::vector<std::string> lines = linesOf(uninterrupted(table));
  size_t checked = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].ends_with("  none")) continue;
    const size_t blank = lines[i].find("  ");
    const std::string name = lines[i].substr(0, blank);
    e2e::TempDir dir;
    dir.write("pelund.ini", "base=" + name.substr(1) + "\nc=" + (name[0] == 'S' ? "1" : "-1") + "\nmink=1\nmaxk=1\n");
    dir.write("covering.txt", lines[i].substr(blank + 2) + "\n");
    const e2e::RunResult verdict = e2e::verifyResults(dir);
    EXPECT_EQ(verdict.exitStatus, 0) << lines[i] << "\n" << verdict.out;
    ++checked;
  }
  EXPECT_GT(checked, 20u);
}

TEST(CkTable, TheProgressLineIsOnATerminalOnlyAndErasedBeforeEveryOtherOutput) {
  e2e::TempDir dir;
  const std::string arguments = "SR 2-40 --period 144 --maxk 100000000 --threads 2";
  dir.write("run.sh", std::string("#!/bin/sh\nexec ") + PELUND_CK_BINARY + " " + arguments + "\n");
  ::chmod(dir.file("run.sh").c_str(), 0755);
  const e2e::RunResult shown = e2e::runOnTerminal(dir, 100, std::chrono::seconds(300), dir.file("run.sh"));
  EXPECT_EQ(shown.exitStatus, 0);
  const std::string table = dir.read("ck.txt");
  // Every byte of the progress line lies between two carriage returns; without them
  // the terminal saw what a pipe sees.
  EXPECT_NE(shown.out.find("\rCK table: "), std::string::npos) << shown.out;
  // A drawing is "\r" and the line (padded with blanks); an erasure "\r", blanks, "\r".
  const std::string plain =
      std::regex_replace(std::regex_replace(shown.out, std::regex("\rCK table: [^\r]*"), ""), std::regex("\r +\r"), "");
  e2e::TempDir piped;
  const e2e::RunResult pipe = e2e::run(piped, {}, arguments, std::chrono::seconds(300), PELUND_CK_BINARY);
  EXPECT_EQ(pipe.out.find('\r'), std::string::npos);
  EXPECT_EQ(e2e::maskStamps(plain), e2e::maskStamps(pipe.out));
  EXPECT_EQ(piped.read("ck.txt"), table);
}

}  // namespace
