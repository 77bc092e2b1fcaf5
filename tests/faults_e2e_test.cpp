// Faults of the surroundings, through the real binary: a log that cannot be written,
// a results file that cannot be created or written, an old results file that cannot
// be removed, a working directory without write permission, and configuration files
// that are directories, empty, binary garbage or carry very long lines.
//
// File modes mean nothing to root, so the permission cases run the binary as the
// unprivileged user nobody (through setpriv) when the tests run as root, and as the
// test's own user otherwise; they are skipped, with the reason, when neither works.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "e2e.h"

namespace {

using e2e::errorLine;
using e2e::statusLine;

constexpr uid_t kNobody = 65534;
const char* const kSetpriv = "/usr/bin/setpriv";

// R10 with period 144 and factors up to 100000: in 93430..93440 only 93435 is
// covered, by {7, 11, 13, 37} of period 6 (10^6 - 1 = 3^3 * 7 * 11 * 13 * 37).
const std::string kIni = "base=10\nmink=93430\nmaxk=93440\nc=-1\nperiod=144\nmaxfact=100000\nkdisp=5\n";
const std::string kBanner = "Covering sets for R10 k=93430 to 93440 with factor<=100000 and period=144";
const std::string kLine = "93435  6  [7, 11, 13, 37]\n";
const std::string kOldResults = "12345  6  [7, 11, 13, 37]\n";

std::string progress(int64_t k, int found) {
  return "Searching at k = " + std::to_string(k) + ". " + std::to_string(found) + " covering set" +
         (found == 1 ? "" : "s") + " found. " + std::string(65, '\b');
}

std::string head(const std::string& banner) { return "\n" + statusLine(banner) + "\n"; }

// The whole console of a kIni run that ends normally.
std::string completeConsole() {
  return head(kBanner) + progress(93430, 0) + progress(93435, 0) + progress(93440, 1) +
         statusLine("1 covering set found for R10");
}

// A configuration whose walk never runs: base 3 has no candidate prime of period 2.
const std::string kNoWalkIni = "base=3\nmink=1\nmaxk=10\nc=1\nperiod=2\nmaxfact=1000\n";
const std::string kNoWalkBanner = "Covering sets for S3 k=1 to 10 with factor<=1000 and period=2";
const std::string kNoWalkConsole = head(kNoWalkBanner) + statusLine("0 covering sets found for S3");

e2e::RunResult runIn(const e2e::TempDir& dir) {
  e2e::RunResult result = e2e::run(dir);
  result.out = e2e::maskStamps(result.out);
  return result;
}

// Runs pelund in dir as a user that file modes apply to. `why` is set when that is
// not possible here.
class Unprivileged {
 public:
  Unprivileged() {
    if (geteuid() != 0) return;
    if (access(kSetpriv, X_OK) != 0) {
      why_ = "running as root and setpriv is missing, so file modes cannot be tested";
      return;
    }
    e2e::TempDir probe;
    chmod(probe.path().c_str(), 0755);
    probe.write("probe.sh", std::string("test -x '") + PELUND_BINARY + "'\n");
    if (e2e::run(probe, {}, dropArguments() + " /bin/sh probe.sh", std::chrono::seconds(20), kSetpriv).exitStatus != 0)
      why_ = "the user nobody cannot run " + std::string(PELUND_BINARY);
  }

  const std::string& why() const { return why_; }
  bool dropsRoot() const { return geteuid() == 0; }
  // The id that owns what the run may write (nobody when root is dropped).
  uid_t user() const { return dropsRoot() ? kNobody : geteuid(); }

  // Hands dir (mode `mode`) or one of its files to the run's user.
  void give(const std::string& path, mode_t mode) const {
    ASSERT_EQ(chown(path.c_str(), user(), dropsRoot() ? kNobody : getegid()), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
  }
  // Leaves path to root (when dropping), so that the run's user cannot write it.
  void withhold(const std::string& path, mode_t mode) const { ASSERT_EQ(chmod(path.c_str(), mode), 0) << path; }

  e2e::RunResult run(const e2e::TempDir& dir, const e2e::Interrupt& interrupt = {}) const {
    e2e::RunResult result = dropsRoot() ? e2e::run(dir, interrupt, dropArguments() + " " + PELUND_BINARY,
                                                   std::chrono::seconds(120), kSetpriv)
                                        : e2e::run(dir, interrupt);
    result.out = e2e::maskStamps(result.out);
    return result;
  }

 private:
  static std::string dropArguments() {
    return "--reuid=" + std::to_string(kNobody) + " --regid=" + std::to_string(kNobody) + " --clear-groups";
  }
  std::string why_;
};

#define SKIP_UNLESS_UNPRIVILEGED(who) \
  if (!(who).why().empty()) {           \
    GTEST_SKIP() << (who).why();        \
  }                                     \
  static_assert(true)

// ---- the log ------------------------------------------------------------------

TEST(LogFaults, LogThatIsADirectoryLeavesTheRunComplete) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kIni);
  std::filesystem::create_directory(dir.file("pelund.log"));
  const e2e::RunResult result = runIn(dir);
  EXPECT_EQ(result.out, completeConsole());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(dir.read("covering.txt"), kLine);
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("pelund.log")));
}

TEST(LogFaults, UnwritableLogLeavesTheRunCompleteAndTheLogUnchanged) {
  Unprivileged user;
  SKIP_UNLESS_UNPRIVILEGED(user);
  e2e::TempDir dir;
  ASSERT_NO_FATAL_FAILURE(user.give(dir.path(), 0755));
  dir.write("pelund.ini", kIni);
  dir.write("pelund.log", "earlier entries\n");
  ASSERT_NO_FATAL_FAILURE(user.withhold(dir.file("pelund.log"), 0444));
  if (!user.dropsRoot()) {
    ASSERT_NE(access(dir.file("pelund.log").c_str(), W_OK), 0);
  }
  const e2e::RunResult result = user.run(dir);
  EXPECT_EQ(result.out, completeConsole());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(dir.read("covering.txt"), kLine);
  EXPECT_EQ(dir.read("pelund.log"), "earlier entries\n");
}

// ---- the results file ---------------------------------------------------------

// A dangling link in place of the old results is removed like a file: the new
// results land in the run directory, never at the link's target.
TEST(ResultFaults, LinkInPlaceOfTheResultsIsRemovedNotFollowed) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kIni);
  std::filesystem::create_symlink("missing/covering.txt", dir.file("covering.txt"));
  const e2e::RunResult result = runIn(dir);
  EXPECT_EQ(result.out, completeConsole());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("covering.txt")));
  EXPECT_EQ(dir.read("covering.txt"), kLine);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

// The file opens, but no byte can be written (a file size limit of zero, with the
// limit's signal ignored, as a full disk would): the run must not count lines that
// never reached the file. The progress lines before the first covered k say 0.
TEST(ResultFaults, ResultsFileThatCannotBeWrittenEndsWithAnErrorAndCountsNothing) {
  e2e::TempDir dir;
  dir.write("pelund.ini", kIni);
  dir.write("limit.sh", std::string("trap '' XFSZ\nulimit -f 0\nexec '") + PELUND_BINARY + "'\n");
  e2e::RunResult result = e2e::run(dir, {}, dir.file("limit.sh"), std::chrono::seconds(120), "/bin/sh");
  const std::string out = e2e::maskStamps(result.out);
  const std::string error = errorLine("covering.txt cannot be written: File too large");
  ASSERT_GE(out.size(), error.size());
  EXPECT_EQ(out.substr(out.size() - error.size()), error) << out;
  EXPECT_EQ(out.find("found for R10"), std::string::npos) << out;
  const std::string between = out.substr(head(kBanner).size(), out.size() - error.size() - head(kBanner).size());
  EXPECT_TRUE(std::regex_match(between, std::regex("(Searching at k = 9343[05]\\. 0 covering sets found\\. \b{65})*")))
      << between;
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(dir.read("covering.txt"), "");
}

// Old results that cannot be removed end the run before the banner, untouched; old
// results that cannot be read are still removed.
TEST(ResultFaults, OldResultsAreRemovedOrTheRunEnds) {
  Unprivileged user;
  SKIP_UNLESS_UNPRIVILEGED(user);
  struct Case {
    const char* what;
    mode_t dirMode, fileMode;
    std::string console, covering;
    int status;
  };
  const Case cases[] = {
      {"directory without write permission", 0555, 0644,
       errorLine("covering.txt cannot be removed: Permission denied"), kOldResults, 1},
      {"results file without read permission", 0755, 0200, completeConsole(), kLine, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::TempDir dir;
    dir.write("pelund.ini", kIni);
    dir.write("covering.txt", kOldResults);
    dir.write("pelund.lock", "");  // a lock of an earlier run, so that the run gets as far as the results
    ASSERT_NO_FATAL_FAILURE(user.give(dir.file("covering.txt"), c.fileMode));
    ASSERT_NO_FATAL_FAILURE(user.give(dir.path(), c.dirMode));
    const e2e::RunResult result = user.run(dir);
    EXPECT_EQ(result.out, c.console);
    EXPECT_EQ(result.exitStatus, c.status);
    chmod(dir.file("covering.txt").c_str(), 0644);
    EXPECT_EQ(dir.read("covering.txt"), c.covering);
  }
}

// What stands in place of covering.txt, for root (whom modes do not stop) and for an
// unprivileged user: a dangling link is removed and not followed; a directory is an
// error and stays; stale results in a directory without write permission are removed
// by root and refused to the other user, never mixed with new lines; and a resumable
// search there cannot keep its state.
TEST(ResultFaults, WhatStandsInPlaceOfTheResultsForEveryUser) {
  Unprivileged user;
  SKIP_UNLESS_UNPRIVILEGED(user);
  struct Case {
    const char* what;
    std::function<void(const e2e::TempDir&)> arrange;
    mode_t dirMode;
    std::string ini;
    std::string rootConsole, userConsole;  // the whole console of each
  };
  const std::string isDirectory = errorLine("covering.txt cannot be removed: Is a directory");
  const Case cases[] = {
      {"a dangling link",
       [](const e2e::TempDir& d) { std::filesystem::create_symlink("missing/covering.txt", d.file("covering.txt")); },
       0755, kIni, completeConsole(), completeConsole()},
      {"an empty directory", [](const e2e::TempDir& d) { std::filesystem::create_directory(d.file("covering.txt")); },
       0755, kIni, isDirectory, isDirectory},
      {"stale results in a directory without write permission",
       [](const e2e::TempDir& d) { d.write("covering.txt", kOldResults); }, 0555, kIni, completeConsole(),
       errorLine("covering.txt cannot be removed: Permission denied")},
      {"a resumable search in a directory without write permission", [](const e2e::TempDir&) {}, 0555,
       kIni + "resume=1\n", completeConsole(),
       head(kBanner) + errorLine("pelund.state cannot be written: Permission denied")},
  };
  for (const Case& c : cases) {
    for (bool asRoot : {true, false}) {
      if (asRoot && !user.dropsRoot()) continue;
      SCOPED_TRACE(std::string(c.what) + (asRoot ? " (root)" : " (unprivileged)"));
      e2e::TempDir dir;
      dir.write("pelund.ini", c.ini);
      dir.write("pelund.lock", "");
      c.arrange(dir);
      ASSERT_NO_FATAL_FAILURE(user.give(dir.path(), c.dirMode));
      const e2e::RunResult result = asRoot ? runIn(dir) : user.run(dir);
      const std::string& console = asRoot ? c.rootConsole : c.userConsole;
      EXPECT_EQ(result.out, console);
      EXPECT_EQ(result.exitStatus, console == completeConsole() ? 0 : 1);
      EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
      if (console == completeConsole()) {
        EXPECT_EQ(dir.read("covering.txt"), kLine);
      }
      if (std::string(c.what).find("stale") != std::string::npos && !asRoot) {
        EXPECT_EQ(dir.read("covering.txt"), kOldResults);
      }
    }
  }
}

TEST(ResultFaults, WorkingDirectoryWithoutWritePermission) {
  Unprivileged user;
  SKIP_UNLESS_UNPRIVILEGED(user);
  const char* const kRefused = "covering.txt cannot be opened for writing: Permission denied";
  struct Case {
    const char* what;
    std::string ini, console;
    int status;
  };
  const Case cases[] = {
      {"a covered k", kIni, head(kBanner) + progress(93430, 0) + progress(93435, 0) + errorLine(kRefused), 1},
      {"no walk", kNoWalkIni, kNoWalkConsole, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::TempDir dir;
    dir.write("pelund.ini", c.ini);
    dir.write("pelund.lock", "");
    ASSERT_NO_FATAL_FAILURE(user.give(dir.path(), 0555));
    const e2e::RunResult result = user.run(dir);
    // Where the fast walk opens the file once per block of k, the progress lines of
    // the block with the covered k are not shown before the error; none counts it.
    if (c.status == 1) {
      EXPECT_TRUE(result.out == c.console ||
                  result.out == head(kBanner) + errorLine(kRefused))
          << result.out;
    } else {
      EXPECT_EQ(result.out, c.console);
    }
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_FALSE(dir.exists("covering.txt"));
    EXPECT_FALSE(dir.exists("pelund.log"));
  }
}

// ---- what stands in place of the lock, the state, the results and the log --------

// Every entry of a directory: its kind, and a file's content or a link's target.
std::map<std::string, std::string> snapshot(const e2e::TempDir& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    const auto status = std::filesystem::symlink_status(entry.path());
    if (std::filesystem::is_symlink(status)) entries[name] = "link to " + std::filesystem::read_symlink(entry.path()).string();
    else if (std::filesystem::is_regular_file(status)) entries[name] = "file: " + dir.read(name);
    else if (std::filesystem::is_directory(status)) entries[name] = "directory";
    else entries[name] = "special";
  }
  return entries;
}

// The entries after a run that was to touch nothing: an empty pelund.lock is all it
// may add, the lock it held while it checked.
std::map<std::string, std::string> untouched(const e2e::TempDir& dir, const std::map<std::string, std::string>& before) {
  std::map<std::string, std::string> after = snapshot(dir);
  if (before.count("pelund.lock") == 0 && after.count("pelund.lock") == 1 && after["pelund.lock"] == "file: ")
    after.erase("pelund.lock");
  return after;
}

using Arrange = std::function<void(const e2e::TempDir&)>;

Arrange fifoAt(const char* name) {
  return [name](const e2e::TempDir& d) { ASSERT_EQ(mkfifo(d.file(name).c_str(), 0644), 0); };
}
Arrange directoryAt(const char* name) {
  return [name](const e2e::TempDir& d) { std::filesystem::create_directory(d.file(name)); };
}
Arrange linkAt(const char* name, const char* target) {
  return [=](const e2e::TempDir& d) { std::filesystem::create_symlink(target, d.file(name)); };
}
Arrange both(Arrange first, Arrange second) {
  return [=](const e2e::TempDir& d) { first(d), second(d); };
}

// A state of a resumable kIni search that has not written a line yet.
const std::string kFreshState =
    "pelund search state\nbase=10\nc=-1\nperiod=144\nmaxfact=100000\nmink=93430\nnextk=93430\nfound=0\nlength=0\nend\n";
const Arrange kWithState = [](const e2e::TempDir& d) { d.write("pelund.state", kFreshState); };

// The lock is never skipped, a state is never taken for missing unless it is, results
// to resume from must be a regular file, and the log is never written through a link:
// each is refused with the file and the cause before the banner, and nothing changes.
TEST(RunDirectoryFaults, WhatCannotBeLockedReadOrResumedIsRefusedFirst) {
  struct Case {
    const char* what;
    std::string ini;
    Arrange arrange;
    std::string message;
  };
  const std::string resumable = kIni + "resume=1\n";
  const std::string linkedLock = "pelund.lock cannot be locked: it is a symbolic link";
  std::vector<Case> cases = {
      {"a directory as the lock", kIni, directoryAt("pelund.lock"), "pelund.lock cannot be locked: Is a directory"},
      {"a dangling link as the lock", kIni, linkAt("pelund.lock", "missing/pelund.lock"), linkedLock},
      {"a link to a file as the lock", kIni, linkAt("pelund.lock", "pelund.ini"), linkedLock},
      {"a FIFO as the lock", kIni, fifoAt("pelund.lock"), "pelund.lock cannot be locked: not a regular file"},
      {"a directory as the state", resumable, directoryAt("pelund.state"), "pelund.state cannot be read: Is a directory"},
      {"a link as the state", resumable,
       both(linkAt("pelund.state", "saved.state"), [](const e2e::TempDir& d) { d.write("saved.state", kFreshState); }),
       "pelund.state cannot be read: it is a symbolic link"},
      {"a FIFO as the state", resumable, fifoAt("pelund.state"), "pelund.state cannot be read: not a regular file"},
      {"a FIFO as the results to resume", resumable, both(kWithState, fifoAt("covering.txt")),
       "covering.txt cannot be opened for resuming: not a regular file"},
      {"a directory as the results to resume", resumable, both(kWithState, directoryAt("covering.txt")),
       "covering.txt cannot be opened for resuming: Is a directory"},
      {"a link to a device as the results to resume", resumable, both(kWithState, linkAt("covering.txt", "/dev/null")),
       "covering.txt cannot be opened for resuming: it is a symbolic link"},
      {"a link as the log", kIni, linkAt("pelund.log", "elsewhere.log"), "pelund.log is a symbolic link"},
  };
  if (geteuid() == 0)
    cases.push_back({"a device as the results to resume", resumable,
                     both(kWithState,
                          [](const e2e::TempDir& d) {
                            ASSERT_EQ(mknod(d.file("covering.txt").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
                          }),
                     "covering.txt cannot be opened for resuming: not a regular file"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::TempDir dir;
    dir.write("pelund.ini", c.ini);
    ASSERT_NO_FATAL_FAILURE(c.arrange(dir));
    const auto before = snapshot(dir);
    const e2e::RunResult result = e2e::run(dir, {}, "", std::chrono::seconds(20));
    EXPECT_EQ(e2e::maskStamps(result.out), errorLine(c.message));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(untouched(dir, before), before);
    EXPECT_FALSE(dir.exists("missing"));
  }
}

// For a user that file modes stop: a state that cannot be read is an error, not a
// missing state (which would remove the results); a directory where the lock cannot
// be created is refused.
TEST(RunDirectoryFaults, UnreadableStateAndUnlockableDirectoryForAnUnprivilegedUser) {
  Unprivileged user;
  SKIP_UNLESS_UNPRIVILEGED(user);
  struct Case {
    const char* what;
    mode_t dirMode;
    std::string message;
  };
  const Case cases[] = {
      {"a state without read permission", 0755, "pelund.state cannot be read: Permission denied"},
      {"a directory without write permission and no lock", 0555, "pelund.lock cannot be locked: Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::TempDir dir;
    dir.write("pelund.ini", kIni + "resume=1\n");
    dir.write("covering.txt", kOldResults);
    dir.write("pelund.state", kFreshState);
    ASSERT_NO_FATAL_FAILURE(user.withhold(dir.file("pelund.state"), c.dirMode == 0755 ? 0200 : 0644));
    ASSERT_NO_FATAL_FAILURE(user.give(dir.path(), c.dirMode));
    const auto before = snapshot(dir);
    const e2e::RunResult result = user.run(dir);
    EXPECT_EQ(result.out, errorLine(c.message));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(untouched(dir, before), before);
  }
}

// The lock file left by another user in a shared directory can be read but not
// written: it is locked all the same, so a second run beside a live one is refused.
TEST(RunDirectoryFaults, AnotherUsersLockFileStillLocks) {
  Unprivileged user;
  SKIP_UNLESS_UNPRIVILEGED(user);
  if (!user.dropsRoot()) GTEST_SKIP() << "another user's lock file needs root to arrange";
  e2e::TempDir dir;
  ASSERT_NO_FATAL_FAILURE(user.give(dir.path(), 0755));
  dir.write("pelund.ini", "base=10\nmink=1\nmaxk=1000000000000000\nc=-1\nmaxfact=1000\nkdisp=1000000000\n");
  dir.write("pelund.lock", "");
  ASSERT_NO_FATAL_FAILURE(user.withhold(dir.file("pelund.lock"), 0644));
  e2e::RunResult first;
  // The first run is stopped only once the second has ended, however fast it searches.
  std::atomic<bool> secondEnded = false;
  e2e::Interrupt stop{SIGINT, "Searching at k = "};
  stop.after = &secondEnded;
  std::thread live([&] { first = user.run(dir, stop); });
  while (dir.read("covering.txt").empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const e2e::RunResult second = user.run(dir);
  const std::string covering = dir.read("covering.txt");
  secondEnded = true;
  live.join();
  EXPECT_EQ(second.out, errorLine("another search is running in this directory"));
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(first.exitStatus, 130);
  EXPECT_FALSE(covering.empty());
}

// ---- the configuration file ---------------------------------------------------

// Bytes 0..255 in random order and runs, without '=' so that no setting can
// arise by chance; newlines included.
std::string garbage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    do byte = static_cast<char>(random() & 0xff);
    while (byte == '=');
  }
  return bytes;
}

void writeConfiguration(const e2e::TempDir& dir, const std::string& content) {
  dir.write("pelund.ini", content);
  ASSERT_EQ(dir.read("pelund.ini"), content);
}

TEST(ConfigurationFaults, FilesWithoutSettingsNameTheFirstMissingKey) {
  struct Case {
    const char* what;
    std::string content;
  };
  const Case cases[] = {
      {"empty", ""},
      {"binary garbage", garbage(4096, 1)},
      {"more binary garbage", garbage(20000, 2)},
      {"one line of 10000 characters", std::string(10000, 'x') + "\n"},
      {"a setting inside a long line, off a piece boundary", std::string(50, 'x') + "base=10" + std::string(9943, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(writeConfiguration(dir, c.content));
    dir.write("covering.txt", kOldResults);
    const e2e::RunResult result = runIn(dir);
    EXPECT_EQ(result.out, errorLine("base must be specified in pelund.ini"));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(dir.read("covering.txt"), kOldResults);
    EXPECT_FALSE(dir.exists("pelund.log"));
  }
}

// A directory opens for reading but yields a read error at once: it cannot be read, as
// on Windows, where it does not even open.
TEST(ConfigurationFaults, ConfigurationThatIsADirectory) {
  e2e::TempDir dir;
  std::filesystem::create_directory(dir.file("pelund.ini"));
  const e2e::RunResult result = runIn(dir);
  EXPECT_EQ(result.out, errorLine("pelund.ini not found"));
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(dir.exists("pelund.log"));
  EXPECT_FALSE(dir.exists("covering.txt"));
}

TEST(ConfigurationFaults, UnreadableConfiguration) {
  Unprivileged user;
  SKIP_UNLESS_UNPRIVILEGED(user);
  e2e::TempDir dir;
  ASSERT_NO_FATAL_FAILURE(user.give(dir.path(), 0755));
  dir.write("pelund.ini", kNoWalkIni);
  ASSERT_NO_FATAL_FAILURE(user.withhold(dir.file("pelund.ini"), 0200));
  const e2e::RunResult result = user.run(dir);
  EXPECT_EQ(result.out, errorLine("pelund.ini not found"));
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(dir.exists("pelund.log"));
}

// Long lines are read in pieces of 99 characters, each matched as a line of its own.
TEST(ConfigurationFaults, LongLinesAreReadInPiecesOf99Characters) {
  struct Case {
    const char* what;
    std::string content, console;
    int status;
  };
  const std::string pieceBoundary(9900, 'x');  // 100 pieces of 99
  const Case cases[] = {
      {"garbage and long lines around valid settings",
       garbage(3000, 3) + "\n" + std::string(10000, 'x') + "\n" + kNoWalkIni + garbage(3000, 4), kNoWalkConsole, 0},
      {"a setting at a piece boundary of a 10000-character line",
       "base=5\n" + kNoWalkIni.substr(kNoWalkIni.find('\n') + 1) + pieceBoundary + "base=3" + std::string(94, 'y') +
           "\n",
       kNoWalkConsole, 0},
      {"a value of 9995 digits", "base=10\nmink=1\nc=1\nmaxk=" + std::string(9995, '9') + "\n",
       errorLine("maxk cannot be greater than 1e18"), 1},
      // 99 = 1 (mod 7): every seventh piece of the line begins with "mink=9".
      {"a 10000-character line of settings run together",
       "base=3\nmaxk=5\nc=1\n" + [] {
         std::string line;
         while (line.size() < 10000) line += "mink=9;";
         return line;
       }() + "\n",
       errorLine("mink cannot be greater than maxk"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(writeConfiguration(dir, c.content));
    const e2e::RunResult result = runIn(dir);
    EXPECT_EQ(result.out, c.console);
    EXPECT_EQ(result.exitStatus, c.status);
  }
}

}  // namespace
