// The results stay whole under every fault, through the real binary: a full disk,
// SIGKILL at random moments of a dense search, closed standard streams, a
// byte-order mark before the configuration, and the peak memory of a dense search
// at thread counts up to the largest allowed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <regex>

#include "e2e.h"
#include "rounds.h"

namespace {

// Base 14, c = +1, period 4: 3, 5 and their kin cover about a tenth of all k, so
// every block of k has many lines (1.1e7 lines, 230 MB for this range).
const std::string kDenseIni = "base=14\nmink=1\nmaxk=100000000\nc=1\nperiod=4\n";
// Every line of the text is a whole covering line (checked line by line: one regular
// expression over megabytes would recurse too deep).
bool wholeLines(const std::string& text) {
  static const std::regex line(R"(\d+  \d+  \[\d+(, \d+)*\])");
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos || !std::regex_match(text.begin() + long(at), text.begin() + long(end), line))
      return false;
    at = end + 1;
  }
  return true;
}

// A file system of 64 KiB mounted for the test's lifetime (needs root).
class SmallFileSystem {
 public:
  SmallFileSystem() {
    if (geteuid() != 0) return;
    if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=64k") == 0) mounted_ = true;
  }
  ~SmallFileSystem() {
    if (mounted_) umount(dir_.path().c_str());
  }
  bool mounted() const { return mounted_; }
  const e2e::TempDir& dir() const { return dir_; }

 private:
  e2e::TempDir dir_;
  bool mounted_ = false;
};

TEST(Hardening, FullDiskLeavesWholeLinesAndNamesTheCause) {
  SmallFileSystem disk;
  if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  disk.dir().write("pelund.ini", "base=10\nmink=1\nmaxk=100000000\nc=-1\n");
  const e2e::RunResult result = e2e::run(disk.dir());
  const std::string error = e2e::errorLine("covering.txt cannot be written: No space left on device");
  const std::string out = e2e::maskStamps(result.out);
  ASSERT_GE(out.size(), error.size());
  EXPECT_EQ(out.substr(out.size() - error.size()), error);
  EXPECT_EQ(result.exitStatus, 1);
  const std::string covering = disk.dir().read("covering.txt");
  EXPECT_GT(covering.size(), 10000u);
  EXPECT_TRUE(wholeLines(covering));
  // Every whole line that fitted is kept: the next one would have needed a new page.
  e2e::TempDir reference;
  reference.write("pelund.ini", "base=10\nmink=1\nmaxk=100000000\nc=-1\n");
  ASSERT_EQ(e2e::run(reference).exitStatus, 0);
  const std::string all = reference.read("covering.txt");
  ASSERT_EQ(all.compare(0, covering.size(), covering), 0);
  const size_t next = all.find('\n', covering.size()) + 1 - covering.size();
  EXPECT_GT(next, 4096 - covering.size() % 4096) << covering.size() << " bytes kept";
  // pelund-verify itself runs from the full disk's directory and only reads.
  const e2e::RunResult verified = e2e::verifyResults(disk.dir());
  EXPECT_EQ(verified.exitStatus, 0) << verified.out;
}

// Lines reach the file in writes that end at line ends, made by a helper process that
// a kill of pelund does not cut, so a kill leaves whole lines only. R10 has lines in
// nearly every block of k (about 50 per 2^18 k); S14 with period 4 covers 11% of all
// k, tens of MB of lines a second.
TEST(Hardening, SigkillLeavesWholeLines) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  size_t lines = 0;
  for (int run = 0; run < 100 && !HasFailure(); ++run) {
    e2e::TempDir dir;
    const std::string search = run % 4 < 2 ? "base=10\nc=-1\n" : "base=14\nc=1\nperiod=4\n";
    dir.write("pelund.ini", search + "mink=1\nmaxk=1000000000000\nthreads=" + std::to_string(1 + run % 2) + "\n");
    const auto delay = std::chrono::milliseconds(random() % 300);
    const e2e::RunResult result = e2e::run(dir, {SIGKILL, "Covering sets for", delay});
    EXPECT_EQ(result.termSignal, SIGKILL);
    const std::string covering = dir.read("covering.txt");
    EXPECT_TRUE(wholeLines(covering)) << "after " << delay.count() << " ms: ..."
                                      << covering.substr(covering.size() - std::min<size_t>(covering.size(), 80));
    lines += size_t(std::count(covering.begin(), covering.end(), '\n'));
  }
  EXPECT_GT(lines, 10000u);  // the kills did land in the middle of writing
}

// A limit on the size of files (no signal handler set up for it): the lines that fit
// under the limit are kept whole, every one of them, and the error names the cause;
// a state that does not fit leaves nothing of itself.
TEST(Hardening, FileSizeLimitKeepsEveryWholeLineThatFits) {
  const std::string ini = "base=10\nmink=1\nmaxk=100000000\nc=-1\n";
  e2e::TempDir reference, dir;
  reference.write("pelund.ini", ini);
  ASSERT_EQ(e2e::run(reference).exitStatus, 0);
  const std::string all = reference.read("covering.txt");
  constexpr size_t kLimit = 65536;
  ASSERT_GT(all.size(), kLimit);
  dir.write("pelund.ini", ini);
  const e2e::RunResult result =
      e2e::run(dir, {}, "--fsize=" + std::to_string(kLimit) + " " + PELUND_BINARY, std::chrono::seconds(60),
               "/usr/bin/prlimit");
  const std::string out = e2e::maskStamps(result.out);
  const std::string error = e2e::errorLine("covering.txt cannot be written: File too large");
  ASSERT_GE(out.size(), error.size());
  EXPECT_EQ(out.substr(out.size() - error.size()), error) << out;
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(dir.read("covering.txt"), all.substr(0, all.rfind('\n', kLimit - 1) + 1));
  // A state that cannot be written leaves no part of itself behind.
  e2e::TempDir stateDir;
  stateDir.write("pelund.ini", ini + "resume=1\n");
  const e2e::RunResult refused =
      e2e::run(stateDir, {}, std::string("--fsize=0 ") + PELUND_BINARY, std::chrono::seconds(60), "/usr/bin/prlimit");
  EXPECT_TRUE(refused.out.ends_with(e2e::errorLine("pelund.state cannot be written: File too large"))) << refused.out;
  EXPECT_TRUE(refused.exitStatus == 1 && !stateDir.exists("pelund.state.tmp") && !stateDir.exists("pelund.state"));
}

// A writing helper that stops answering (here stopped with SIGSTOP) while the run is
// being stopped: the run ends within seconds all the same, with whole lines and a state
// that the file matches, and the search resumes to the uninterrupted results. The
// helper is stopped with lines on their way to it (a dense sieve), or idle with every
// line answered (a sparse tree search between two parts), when only its end is waited
// for. The run waits a few seconds at most: the check allows ten times that, while a
// wait without bound lasts until the harness ends the run.
TEST(Hardening, AStoppedWritingHelperDoesNotHangAStop) {
  struct Case {
    const char* name;
    std::string ini;
    std::chrono::milliseconds beforeStop;  // from the helper's stop to the run's
  };
  const std::vector<Case> cases = {
      {"lines on their way", "base=10\nmink=1\nmaxk=300000000\nc=-1\nmaxfact=100000\nengine=sieve\nthreads=1\n",
       std::chrono::milliseconds(200)},
      {"idle between two parts",
       "base=7\nmink=1\nmaxk=1000000000000000000\nc=1\nmaxfact=100000\nengine=residue\nthreads=1\n",
       std::chrono::milliseconds(0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::TempDir reference;
    reference.write("pelund.ini", c.ini);
    ASSERT_EQ(e2e::run(reference).exitStatus, 0);
    for (int run = 0; run < 3; ++run) {
      e2e::TempDir dir;
      dir.write("pelund.ini", c.ini + "resume=1\n");
      const std::vector<e2e::Interrupt> steps = {{SIGSTOP, "Covering sets for", std::chrono::milliseconds(0), true},
                                                 {SIGINT, "", c.beforeStop}};
      const e2e::RunResult stopped = e2e::runSteps(dir, steps, "", std::chrono::seconds(120));
      EXPECT_EQ(stopped.termSignal, 0) << "ended by the harness after " << stopped.afterSignals.count() << " ms";
      EXPECT_LT(stopped.afterSignals.count(), 30000) << "the stop took effect this late";
      const std::string out = e2e::maskStamps(stopped.out);
      if (stopped.exitStatus == 1) {
        const std::string error = e2e::errorLine("covering.txt cannot be written: the process writing it does not answer");
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), error.size())), error) << out;
      } else {
        EXPECT_EQ(stopped.exitStatus, 130) << out;
      }
      EXPECT_TRUE(wholeLines(dir.read("covering.txt")));
      const e2e::RunResult resumed = e2e::run(dir);
      EXPECT_EQ(resumed.exitStatus, 0) << e2e::maskStamps(resumed.out);
      EXPECT_TRUE(dir.read("covering.txt") == reference.read("covering.txt"));
    }
  }
}

// A stop signal that a run was started with ignored stays ignored (nohup's SIGHUP, a
// shell's SIGINT for its background jobs), so the run goes on past it and SIGTERM then
// stops it; one started blocked is unblocked and stops it. Each run has 10^18 k to go.
TEST(Hardening, StopSignalsIgnoredAtTheStartStayIgnoredAndBlockedOnesStop) {
  const std::string ini = "base=10\nmink=1\nmaxk=1000000000000000000\nc=-1\nengine=sieve\nthreads=1\nkdisp=10000000\n";
  const auto at = [](int signal) { return e2e::Interrupt{signal, "Searching at k = "}; };
  struct Case {
    std::vector<int> ignored, blocked;
    std::vector<e2e::Interrupt> steps;
  };
  const Case cases[] = {
      {{SIGHUP}, {}, {at(SIGHUP), at(SIGTERM)}},
      {{SIGINT}, {}, {at(SIGINT), at(SIGTERM)}},
      {{}, {SIGTERM, SIGINT, SIGHUP}, {at(SIGTERM)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "ignored " << c.ignored.size() << ", blocked " << c.blocked.size()
                                      << ", signals " << c.steps.size());
    e2e::TempDir dir;
    dir.write("pelund.ini", ini);
    const e2e::StartedWith startedWith(c.ignored, c.blocked);
    const e2e::RunResult stopped = e2e::runSteps(dir, c.steps, "", std::chrono::seconds(120));
    EXPECT_EQ(stopped.exitStatus, 128 + SIGTERM) << stopped.out;
    EXPECT_NE(dir.read("pelund.log").find("Search interrupted by signal 15 at k="), std::string::npos);
  }
}

// With standard streams closed, no results file may take their descriptors: the
// results and the log are those of a normal run.
TEST(Hardening, ClosedStandardStreamsChangeNoResult) {
  const std::string ini = "base=10\nmink=1\nmaxk=1000000\nc=-1\nkdisp=100000\n";
  e2e::TempDir normal;
  normal.write("pelund.ini", ini);
  ASSERT_EQ(e2e::run(normal).exitStatus, 0);
  for (const char* closing : {">&-", "<&- >&- 2>&-", ">&- 2>&-"}) {
    SCOPED_TRACE(closing);
    e2e::TempDir dir;
    dir.write("pelund.ini", ini);
    dir.write("closed.sh", std::string("exec '") + PELUND_BINARY + "' " + closing + "\n");
    const e2e::RunResult result = e2e::run(dir, {}, dir.file("closed.sh"), std::chrono::seconds(120), "/bin/sh");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(dir.read("covering.txt"), normal.read("covering.txt"));
    EXPECT_EQ(e2e::maskStamps(dir.read("pelund.log")), e2e::maskStamps(normal.read("pelund.log")));
  }
}

// Windows editors start a UTF-8 file with a byte-order mark; it does not hide the
// first key, and a full first piece still ends 99 characters after the mark.
TEST(Hardening, ByteOrderMarkBeforeTheFirstKey) {
  const std::string ini = "base=10\nmink=93430\nmaxk=93440\nc=-1\nmaxfact=100000\n";
  // A first line of 99 characters: "base=" starts the second piece, after the mark too.
  for (const std::string& body : {ini, std::string(99, 'x') + ini}) {
    e2e::TempDir plain, marked;
    plain.write("pelund.ini", body);
    marked.write("pelund.ini", "\xEF\xBB\xBF" + body);
    const e2e::RunResult a = e2e::run(plain), b = e2e::run(marked);
    EXPECT_EQ(e2e::maskStamps(b.out), e2e::maskStamps(a.out));
    EXPECT_EQ(b.exitStatus, 0);
    EXPECT_EQ(marked.read("covering.txt"), "93435  6  [7, 11, 13, 37]\n");
  }
}

// Pending lines are bounded in bytes, and waiting workers hold no sieve memory, so
// the peak stays flat as the thread count grows.
TEST(Hardening, PeakMemoryOfADenseSearchIsBoundedAtEveryThreadCount) {
  if (e2e::kSanitized) GTEST_SKIP() << "the address sanitizer's shadow memory and quarantine dominate the figures";
  // No large buffer in this process: the child's peak counts what it had at fork.
  int64_t reference = -1;
  for (int threads : {2, 16, 128, 1024}) {
    SCOPED_TRACE(threads);
    e2e::TempDir dir;
    dir.write("pelund.ini", kDenseIni + "threads=" + std::to_string(threads) + "\n");
    const e2e::RunResult result = e2e::run(dir, {}, "", std::chrono::seconds(300));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_LT(result.peakKb, 150 * 1024);
    std::cout << "[ figures  ] threads=" << threads << " peak " << result.peakKb / 1024 << " MiB\n";
    const int64_t size = int64_t(std::filesystem::file_size(dir.file("covering.txt")));
    if (reference < 0) reference = size;
    EXPECT_EQ(size, reference);
  }
}

}  // namespace
