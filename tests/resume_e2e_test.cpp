// Resumable searches through the real binary: runs killed (SIGKILL) or stopped
// (SIGINT, SIGTERM) at random moments, some twice and some while resuming, then
// resumed to the end, must leave covering.txt byte for byte as one uninterrupted run
// and the same closing count; a state of another search, a damaged state or results
// shorter than the state are refused with nothing touched; a raised maxk extends a
// finished search; and a second run in a directory with a live search is refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include "e2e.h"
#include "rounds.h"

namespace {

constexpr int kScale = e2e::kSanitized ? 4 : 1;  // fewer runs under the sanitizers, which slow every run

struct Search {
  std::string ini;      // without resume=
  std::string form;     // "R10" ...
  std::string covering;  // of one uninterrupted run
  std::string closing;   // its closing report, as console bytes
};

std::string closingOf(const std::string& out) {
  const size_t at = out.rfind("\033[32mStatus (STAMP):  ");
  return at == std::string::npos ? "" : out.substr(at);
}

Search reference(const std::string& ini, const std::string& form) {
  e2e::TempDir dir;
  dir.write("pelund.ini", ini);
  const e2e::RunResult run = e2e::run(dir);
  EXPECT_EQ(run.exitStatus, 0) << ini;
  return {ini, form, dir.read("covering.txt"), closingOf(e2e::maskStamps(run.out))};
}

// Interrupts a resumable run in `dir` with `signal` after a random delay; then
// resumes it to the end and compares with the uninterrupted run.
void interruptAndResume(const Search& s, int signal, int interruptions, std::mt19937_64& random, int threads) {
  e2e::TempDir dir;
  dir.write("pelund.ini", s.ini + "resume=1\nthreads=" + std::to_string(threads) + "\n");
  for (int i = 0; i < interruptions; ++i) {
    const auto delay = std::chrono::milliseconds(random() % 500);
    SCOPED_TRACE("interruption " + std::to_string(i) + " after " + std::to_string(delay.count()) + " ms");
    const e2e::RunResult run = e2e::run(dir, {signal, "Covering sets for", delay});
    if (signal == SIGKILL) {
      EXPECT_TRUE(run.termSignal == SIGKILL || run.exitStatus == 0);
    } else {
      EXPECT_TRUE(run.exitStatus == 128 + signal || run.exitStatus == 0) << run.exitStatus;
    }
  }
  const e2e::RunResult last = e2e::run(dir);
  EXPECT_EQ(last.exitStatus, 0);
  EXPECT_EQ(closingOf(e2e::maskStamps(last.out)), s.closing);
  EXPECT_TRUE(dir.read("covering.txt") == s.covering) << "covering.txt differs from the uninterrupted run";
}

std::vector<Search> searches() {
  // Each takes about half a second here: a kill lands anywhere in the run.
  return {reference("base=10\nmink=1\nmaxk=300000000\nc=-1\nmaxfact=1000\nkdisp=10000000\nengine=sieve\n", "R10"),
          reference("base=2\nmink=1\nmaxk=100000000\nc=1\nperiod=720\nmaxfact=100000\nengine=sieve\n", "S2"),
          reference("base=10\nmink=1\nmaxk=2000000000\nc=-1\nmaxfact=100000\nengine=residue\n", "R10"),
          reference("base=7\nmink=1\nmaxk=1120000000000\nc=1\nmaxfact=100000\nengine=auto\n", "S7")};
}

// 52 kills (at least 50) and 16 stops by SIGINT or SIGTERM, a third of them twice.
TEST(Resume, InterruptedRunsResumeToTheUninterruptedResults) {
  const std::vector<Search> all = searches();
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (int run = 0; run < 68 / kScale && !HasFailure(); ++run) {
    const Search& s = all[size_t(run) % all.size()];
    const int signal = run < 52 / kScale ? SIGKILL : run % 2 ? SIGINT : SIGTERM;
    SCOPED_TRACE(s.ini + "run " + std::to_string(run) + ", signal " + std::to_string(signal));
    interruptAndResume(s, signal, 1 + run % 3 / 2, random, 1 + run / 4 % 2);
  }
}

// A finished search with a larger maxk goes on from where it ended and reports the
// count of both runs; one with the same maxk just reports its count.
TEST(Resume, RaisedMaxkExtendsAFinishedSearch) {
  const std::string head = "base=10\nmink=1\nc=-1\nmaxfact=100000\nresume=1\n";
  const Search whole = reference(head + "maxk=3000000\n", "R10");
  e2e::TempDir dir;
  dir.write("pelund.ini", head + "maxk=1000000\n");
  ASSERT_EQ(e2e::run(dir).exitStatus, 0);
  const std::string first = dir.read("covering.txt");
  const size_t lines = size_t(std::count(first.begin(), first.end(), '\n'));
  for (const char* maxk : {"1000000", "3000000"}) {
    SCOPED_TRACE(maxk);
    dir.write("pelund.ini", head + "maxk=" + maxk + "\n");
    const e2e::RunResult run = e2e::run(dir);
    EXPECT_EQ(run.exitStatus, 0);
    const std::string out = e2e::maskStamps(run.out);
    EXPECT_NE(out.find(e2e::statusLine("Resuming R10 at k=1000001 with " + std::to_string(lines) +
                                       " covering sets found")),
              std::string::npos)
        << out;
    if (std::string(maxk) == "1000000") {
      EXPECT_EQ(closingOf(out), e2e::statusLine(std::to_string(lines) + " covering sets found for R10"));
      EXPECT_EQ(dir.read("covering.txt"), first);
    }
  }
  EXPECT_EQ(dir.read("covering.txt"), whole.covering);
}

// Faults of a state to resume from: an error naming the file, status 1, and every
// file as it was.
TEST(Resume, StatesThatDoNotFitAreRefusedAndNothingIsTouched) {
  const std::string ini = "base=10\nmink=1\nmaxk=3000000\nc=-1\nmaxfact=100000\nresume=1\n";
  e2e::TempDir source;
  source.write("pelund.ini", ini);
  ASSERT_EQ(e2e::run(source).exitStatus, 0);
  const std::string state = source.read("pelund.state"), covering = source.read("covering.txt");
  ASSERT_FALSE(state.empty());
  const size_t lines = size_t(std::count(covering.begin(), covering.end(), '\n'));
  const size_t lastLine = covering.rfind('\n', covering.size() - 2) + 1;
  const std::string lastK = covering.substr(lastLine, covering.find(' ', lastLine) - lastLine);
  const std::string mismatch = "covering.txt does not match pelund.state: ";
  // Lines of k above the state's, as long as the results or longer (cut at their start).
  e2e::TempDir above;
  above.write("pelund.ini", "base=10\nmink=3000001\nmaxk=9000000\nc=-1\nmaxfact=100000\n");
  ASSERT_EQ(e2e::run(above).exitStatus, 0);
  const std::string higher = above.read("covering.txt");
  ASSERT_GT(higher.size(), covering.size());
  struct Case {
    const char* what;
    std::string ini, state, covering, message;
  };
  const std::string other = "base=10\nmink=1\nmaxk=3000000\nc=-1\nmaxfact=100001\nresume=1\n";
  const std::string damaged = "pelund.state is damaged or incomplete";
  const Case cases[] = {
      {"another search", other, state, covering,
       "pelund.state belongs to another search (base=10 c=-1 period=144 maxfact=100000 mink=1)"},
      {"a truncated state", ini, state.substr(0, state.size() / 2), covering, damaged},
      {"a state without its end", ini, state.substr(0, state.size() - 4), covering, damaged},
      {"garbage", ini, "\x01\x02garbage\n\xff", covering, damaged},
      {"a state with a field changed into text", ini, std::regex_replace(state, std::regex("found=\\d+"), "found=x"),
       covering, damaged},
      {"results cut by hand", ini, state, covering.substr(0, covering.size() / 2),
       "covering.txt is shorter than pelund.state says (" + std::to_string(covering.size() / 2) + " bytes, not " +
           std::to_string(covering.size()) + ")"},
      {"a lowered maxk", std::regex_replace(ini, std::regex("maxk=3000000"), "maxk=1000000"), state, covering,
       "pelund.state records a search done up to k=3000000, beyond maxk=1000000"},
      {"a count edited", ini, std::regex_replace(state, std::regex("found=(\\d+)"), "found=" + std::to_string(lines + 1)),
       covering, mismatch + "it holds " + std::to_string(lines) + " lines, not " + std::to_string(lines + 1)},
      {"a next k edited below the last line", ini, std::regex_replace(state, std::regex("nextk=\\d+"), "nextk=" + lastK),
       covering, mismatch + "its last line, k=" + lastK + ", is not below k=" + lastK},
      {"a length that ends inside a line", ini, std::regex_replace(state, std::regex("length=\\d+"), "length=" + std::to_string(covering.size() - 3)),
       covering, mismatch + "no line ends at byte " + std::to_string(covering.size() - 3)},
      {"a length with no lines", ini, std::regex_replace(state, std::regex("length=\\d+"), "length=0"),
       covering, mismatch + "0 bytes for " + std::to_string(lines) + " lines"},
      {"the results of a search from a higher mink copied in", ini, state, higher.substr(higher.size() - covering.size()),
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::TempDir dir;
    dir.write("pelund.ini", c.ini);
    dir.write("pelund.state", c.state);
    dir.write("covering.txt", c.covering);
    const e2e::RunResult run = e2e::run(dir);
    // Results copied in are refused at whatever check they fail first.
    if (c.message.empty()) {
      const std::string line = e2e::errorLine(mismatch), start = line.substr(0, line.find(mismatch) + mismatch.size());
      EXPECT_EQ(run.out.rfind(start, 0), 0u) << run.out;
    } else {
      EXPECT_EQ(e2e::maskStamps(run.out), e2e::errorLine(c.message));
    }
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(dir.read("pelund.state"), c.state);
    EXPECT_EQ(dir.read("covering.txt"), c.covering);
    EXPECT_FALSE(dir.exists("pelund.log"));
  }
}

// Counts past 2^32 lines (a dense search of a large range) go on in 64 bits, on the
// console, in the state and in the closing count. The results are stood in for by a
// sparse file larger than what a resumed run counts line by line, ending with a line.
TEST(Resume, CountsBeyondThirtyTwoBits) {
  const uint64_t found = (uint64_t(1) << 32) + 7;
  const int64_t length = int64_t(96) << 20;
  const std::string last = "\n10176  6  [7, 11, 13, 37]\n";  // the end of one line, then a whole one
  e2e::TempDir dir;
  dir.write("pelund.ini", "base=10\nmink=1\nmaxk=100000\nc=-1\nmaxfact=100000\nkdisp=50000\nresume=1\n");
  dir.write("covering.txt", "");
  std::filesystem::resize_file(dir.file("covering.txt"), uintmax_t(length) - last.size());
  std::ofstream(dir.file("covering.txt"), std::ios::app | std::ios::binary) << last;
  const std::string state = "pelund search state\nbase=10\nc=-1\nperiod=144\nmaxfact=100000\nmink=1\nnextk=93430\n";
  dir.write("pelund.state", state + "found=" + std::to_string(found) + "\nlength=" + std::to_string(length) + "\nend\n");
  const e2e::RunResult run = e2e::run(dir);
  EXPECT_EQ(run.exitStatus, 0);
  const std::string out = e2e::maskStamps(run.out);
  EXPECT_NE(out.find(e2e::statusLine("Resuming R10 at k=93430 with 4294967303 covering sets found")), std::string::npos) << out;
  EXPECT_NE(out.find("Searching at k = 100000. 4294967304 covering sets found. "), std::string::npos) << out;
  EXPECT_EQ(closingOf(out), e2e::statusLine("4294967304 covering sets found for R10"));
  EXPECT_NE(dir.read("pelund.state").find("\nfound=4294967304\n"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(dir.file("covering.txt")), uintmax_t(length) + 26);  // 93435's line
}

// The state of a dense search advances every second or so whatever the engine, so that
// a kill loses seconds of work, not a whole part of the residue tree (which took tens of
// seconds here once). Polled every 20 ms while the search runs.
TEST(Resume, TheStateOfADenseTreeSearchAdvancesEverySecondOrSo) {
  if (e2e::kSanitized) GTEST_SKIP() << "the sanitizers slow the tree several times over";
  e2e::TempDir dir;
  // About five seconds of work on two threads, a few states at least.
  dir.write("pelund.ini", "base=2\nmink=1\nmaxk=100000000000\nc=1\nperiod=720\nengine=residue\nthreads=2\nresume=1\n");
  std::atomic<bool> over{false};
  std::thread search([&] {
    EXPECT_EQ(e2e::run(dir).exitStatus, 0);
    over = true;
  });
  std::string state = "";
  auto changed = std::chrono::steady_clock::now();
  std::chrono::milliseconds longest{0};
  int changes = 0;
  while (!over) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string now = dir.read("pelund.state");
    if (now == state || now.empty()) continue;
    const auto at = std::chrono::steady_clock::now();
    if (!state.empty()) longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(at - changed));
    state = now, changed = at, ++changes;
  }
  search.join();
  std::cout << "[ figures  ] " << changes << " states, at most " << longest.count() << " ms apart\n";
  EXPECT_GE(changes, 3);
  EXPECT_LT(longest.count(), 8000);
}

// A kill can leave lines, or part of one, after what the state records: they are
// cut off and searched again.
TEST(Resume, LinesAfterTheStateAreCutOff) {
  const std::string ini = "base=10\nmink=1\nmaxk=3000000\nc=-1\nmaxfact=100000\nresume=1\n";
  const Search whole = reference(ini, "R10");
  e2e::TempDir dir;
  dir.write("pelund.ini", ini);
  dir.write("pelund.state", "pelund search state\nbase=10\nc=-1\nperiod=144\nmaxfact=100000\nmink=1\nnextk=1\n"
                            "found=0\nlength=0\nend\n");
  dir.write("covering.txt", "10176  6  [7, 11, 13, 37]\n12345  6  [7, 1");
  const e2e::RunResult run = e2e::run(dir);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(dir.read("covering.txt"), whole.covering);
}

// The lock lives as long as the first run: a second one started beside it touches
// nothing; the first one goes on undisturbed.
TEST(Resume, SecondRunInADirectoryWithALiveSearchIsRefused) {
  e2e::TempDir dir;
  dir.write("pelund.ini", "base=10\nmink=1\nmaxk=1000000000000000\nc=-1\nmaxfact=1000\nkdisp=1000000000\n");
  e2e::RunResult first;
  // The first run is stopped only once the second has ended, however fast it searches.
  std::atomic<bool> secondEnded = false;
  e2e::Interrupt stop{SIGINT, "Searching at k = "};
  stop.after = &secondEnded;
  std::thread live([&] { first = e2e::run(dir, stop); });
  while (dir.read("covering.txt").empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string log = dir.read("pelund.log");
  const e2e::RunResult second = e2e::run(dir);
  const std::string covering = dir.read("covering.txt");
  secondEnded = true;
  live.join();
  EXPECT_EQ(e2e::maskStamps(second.out), e2e::errorLine("another search is running in this directory"));
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(first.exitStatus, 130);
  EXPECT_FALSE(covering.empty());  // the second run removed nothing
  EXPECT_EQ(dir.read("pelund.log").substr(0, log.size()), log);
  EXPECT_EQ(dir.read("pelund.log").find("Covering sets for", log.size()), std::string::npos);
}

}  // namespace
