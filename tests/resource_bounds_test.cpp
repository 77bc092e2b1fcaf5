// The largest settings through the real binary: period 5040 with factors up to 10^9,
// and multipliers next to 10^18. Each run is measured (peak resident size, from
// wait4) and, in the plain build, confined to a small address space, so a table or
// buffer that grows with the factor bound or the k range cannot pass. Near 10^18
// the written lines must equal the straightforward search's and pass the checker,
// which catches an overflow in the fast walk's residue arithmetic. In the sanitizer
// build the same runs are shortened (factors up to 10^7) and the sanitizers end the
// child with a failure status on any overflow or bad access.
//
// Also: a process limit that refuses the worker threads leaves the results as
// they are with two threads.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <iostream>
#include <thread>

#include "e2e.h"
#include "rounds.h"
#include "factor_table.h"
#include "k_walk.h"

namespace {

using e2e::kSanitized;

constexpr int64_t kE18 = 1000000000000000000;
// Address space for a plain run: code, libraries, two worker stacks of 8 MiB and the
// walk's working memory, but nowhere near a prime buffer or a table per k.
constexpr long kAddressSpaceKiB = 100000;
constexpr long kResidentLimitKiB = 64 * 1024;

struct Setting {
  int32_t base, c, period, maxFact;
  int64_t minK, maxK;
  int32_t threads = 2;
};

std::string iniOf(const Setting& s) {
  char text[512];
  std::snprintf(text, sizeof text, "base=%d\nmink=%" PRId64 "\nmaxk=%" PRId64 "\nc=%d\nperiod=%d\nmaxfact=%d\nthreads=%d\n",
                s.base, s.minK, s.maxK, s.c, s.period, s.maxFact, s.threads);
  return text;
}

struct Measured {
  int exitStatus = -1;
  long peakKiB = 0;
  std::string out;
};

// Runs `command` through /bin/sh in dir with standard output in a file there, and
// reads the child's peak resident size from wait4.
Measured runMeasured(const e2e::TempDir& dir, const std::string& command) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    int out = open("console.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  Measured measured;
  int status = 0;
  rusage usage{};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) measured.exitStatus = WEXITSTATUS(status);
  measured.peakKiB = usage.ru_maxrss;
  measured.out = e2e::maskStamps(dir.read("console.out"));
  return measured;
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

Measured runLargest(const e2e::TempDir& dir, const Setting& s) {
  dir.write("pelund.ini", iniOf(s));
  const std::string limit = kSanitized ? "" : "ulimit -v " + std::to_string(kAddressSpaceKiB) + "; ";
  const auto start = std::chrono::steady_clock::now();
  Measured m = runMeasured(dir, limit + "exec " + quoted(PELUND_BINARY));
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string settings = iniOf(s);
  std::replace(settings.begin(), settings.end(), '\n', ' ');
  std::cout << "[ figures  ] " << settings << ": peak resident " << m.peakKiB << " KiB, " << elapsed << " s\n";
  return m;
}

// covering.txt as the straightforward search writes it, and the count.
std::pair<std::string, uint32_t> straightforwardResults(const Setting& s) {
  SearchParams params;
  params.base = s.base, params.c = s.c, params.period = s.period, params.maxFact = s.maxFact;
  CandidateTable table = buildFactorTable(params);
  table.periodOrderedList = regroupByPeriod(table.factorPeriodList, s.period);
  ExponentSlots slots = makeExponentSlots(s.period);
  std::string results;
  uint32_t found = 0;
  for (int64_t k = s.minK; k <= s.maxK; ++k) {
    if (auto line = searchOneK(k, params, table, slots)) {
      results += formatCoverLine(*line);
      ++found;
    }
  }
  return {results, found};
}

std::string closing(uint32_t found, const Setting& s) {
  return std::to_string(found) + " covering set" + (found == 1 ? "" : "s") + " found for " + (s.c == 1 ? "S" : "R") +
         std::to_string(s.base);
}

void expectBounded(const Measured& m) {
  EXPECT_EQ(m.exitStatus, 0) << m.out;
  if (!kSanitized) {
    EXPECT_LT(m.peakKiB, kResidentLimitKiB);
  }
}

TEST(ResourceBounds, Period5040WithTheLargestFactorBound) {
  const int32_t maxFact = kSanitized ? 10000000 : 1000000000;
  for (const Setting& s : {Setting{10, -1, 5040, maxFact, 1, 200000}, Setting{2, 1, 5040, maxFact, 1, 200000}}) {
    SCOPED_TRACE(iniOf(s));
    e2e::TempDir dir;
    const Measured m = runLargest(dir, s);
    expectBounded(m);
    EXPECT_NE(m.out.find("found for"), std::string::npos) << m.out;
    EXPECT_NE(dir.read("pelund.log").find("factor and period list:\n"), std::string::npos);
    EXPECT_EQ(e2e::verifyResults(dir).exitStatus, 0);
  }
}

// A million multipliers up to 10^18 with the largest table, then a shorter stretch
// compared line by line with the straightforward search, for base 10 and for the
// largest bases (where k mod p times a power of b is widest).
TEST(ResourceBounds, MultipliersNextToTheLargestK) {
  {
    const Setting s{10, -1, 5040, kSanitized ? 10000000 : 1000000000, kE18 - 1000000, kE18};
    SCOPED_TRACE(iniOf(s));
    e2e::TempDir dir;
    const Measured m = runLargest(dir, s);
    expectBounded(m);
    EXPECT_NE(m.out.find("found for R10"), std::string::npos) << m.out;
    EXPECT_FALSE(dir.read("covering.txt").empty());
    EXPECT_EQ(e2e::verifyResults(dir).exitStatus, 0);
  }
  const int64_t span = kSanitized ? 3000 : 20000;
  uint32_t total = 0;
  for (const Setting& s : {Setting{10, -1, 144, 1000000, kE18 - span, kE18},
                           Setting{10, 1, 144, 1000000, kE18 - span, kE18},
                           Setting{1000000000, -1, 144, 1000000, kE18 - span, kE18},
                           Setting{999999999, 1, 720, 1000000, kE18 - span, kE18}}) {
    SCOPED_TRACE(iniOf(s));
    e2e::TempDir dir;
    const Measured m = runLargest(dir, s);
    expectBounded(m);
    const auto [results, found] = straightforwardResults(s);
    EXPECT_EQ(dir.read("covering.txt"), results);
    EXPECT_EQ(m.out.substr(m.out.size() - std::min(m.out.size(), e2e::statusLine(closing(found, s)).size())),
              e2e::statusLine(closing(found, s)));
    if (found > 0) {
      EXPECT_EQ(e2e::verifyResults(dir).exitStatus, 0);
    }
    total += found;
  }
  EXPECT_GT(total, span / 100);  // base 10^9 alone covers about one k in twenty there
}

// RLIMIT_NPROC counts every thread of the user and refuses new ones beyond it: with
// a limit of one no worker starts, with three at most two do (fewer when the user
// runs other processes). Root is exempt, so the run drops to nobody. Every engine
// goes on with the threads it gets, down to the calling thread alone, and so does a
// CK table, whose watch over the length of its searches is a thread too.
TEST(ResourceBounds, RefusedWorkerThreadsLeaveTheResultsUnchanged) {
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "running as root without setpriv";
  struct Case {
    std::string what, ini, command, results;
  };
  std::vector<Case> cases;
  // The tree builds the lines of a part on threads too, once the part holds thousands.
  for (const auto& [engine, maxK] : {std::pair<const char*, int64_t>{"sieve", 3000000}, {"residue", 100000000}})
    cases.push_back({engine, iniOf(Setting{10, -1, 144, 1000000, 1, maxK, 64}) + "engine=" + engine + "\n",
                     quoted(PELUND_BINARY), "covering.txt"});
  cases.push_back({"pelund-ck", "", quoted(PELUND_CK_BINARY) + " SR 2-30 --period 144 --maxk 10000000000 --threads 4",
                   "ck.txt"});
  for (const Case& c : cases) {
    e2e::TempDir reference;
    chmod(reference.path().c_str(), 0777);
    if (!c.ini.empty()) reference.write("pelund.ini", c.ini);
    const Measured expected = runMeasured(reference, c.command);
    ASSERT_EQ(expected.exitStatus, 0) << c.what << "\n" << expected.out;
    ASSERT_FALSE(reference.read(c.results).empty()) << c.what;
    const std::string drop = geteuid() == 0 ? "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    for (int processes : {1, 3}) {
      SCOPED_TRACE(c.what + ", process limit " + std::to_string(processes));
      e2e::TempDir dir;
      chmod(dir.path().c_str(), 0777);
      if (!c.ini.empty()) dir.write("pelund.ini", c.ini);
      // The leak checker needs a thread of its own at exit, which the limit refuses too.
      const std::string noLeakCheck = kSanitized ? "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" " : "";
      const Measured m =
          runMeasured(dir, noLeakCheck + drop + "/usr/bin/prlimit --nproc=" + std::to_string(processes) + " " + c.command);
      if (m.exitStatus == 127) GTEST_SKIP() << "nobody cannot run the binary, or prlimit is missing";
      EXPECT_EQ(m.exitStatus, 0) << m.out;
      EXPECT_EQ(dir.read(c.results), reference.read(c.results));
      EXPECT_EQ(e2e::maskStamps(m.out), e2e::maskStamps(expected.out));
    }
  }
}

// Memory that runs out in the middle of a search (here in the residue tree's parts,
// in an address space of 40 MB) ends the run with an error, never a crash; the lines
// written before are whole and correct.
TEST(ResourceBounds, NoMemoryIsAnErrorWithWholeLines) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
  e2e::TempDir dir;
  dir.write("pelund.ini", "base=10\nmink=1\nmaxk=10000000000\nc=-1\n");
  const Measured m = runMeasured(dir, "ulimit -v 40000; exec " + quoted(PELUND_BINARY));
  const std::string error = e2e::errorLine("not enough memory");
  EXPECT_EQ(m.exitStatus, 1) << m.out;
  ASSERT_GE(m.out.size(), error.size());
  EXPECT_EQ(m.out.substr(m.out.size() - error.size()), error);
  const std::string covering = dir.read("covering.txt");
  EXPECT_FALSE(covering.empty());
  EXPECT_EQ(covering.back(), '\n');
  const e2e::RunResult verified = e2e::verifyResults(dir);
  EXPECT_EQ(verified.exitStatus, 0) << verified.out;
}

}  // namespace
