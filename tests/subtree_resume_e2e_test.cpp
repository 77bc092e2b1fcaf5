// A long part of a sparse residue-tree search goes subtree by subtree, and pelund.state
// follows it: a kill at a random moment late in such a part loses under a few seconds
// of processor time (measured from the state's last change to the kill, so the load of
// the machine does not count), a stop records where the part stood, and the resumed
// search ends with a covering.txt byte for byte that of an uninterrupted run, also
// when the state's list of subtrees is not the one the run makes.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>
#include <regex>

#include "e2e.h"

namespace {

// Base 2 with period 5040: a sparse range whose tree parts grow long. From k =
// 1145044993 to 6e9 they take seconds of processor time (one part or a few, as the
// measured costs of the parts before them decide); with kdisp at half that k,
// "Searching at k = 1145044992." shows as the first of them begins.
const std::string kSparse = "base=2\nmink=1\nmaxk=6000000000\nc=1\nperiod=5040\nengine=residue\n";
const std::string kLastPartBegins = "Searching at k = 1145044992.";
constexpr int64_t kLastPartFrom = 1145044993;

TEST(SubtreeResume, AKillOrAStopLateInALongSparsePartLosesLittleAndResumesToTheSameFile) {
  e2e::TempDir reference;
  reference.write("pelund.ini", kSparse + "threads=2\n");
  const e2e::RunResult whole = e2e::run(reference, {}, "", std::chrono::seconds(900));
  ASSERT_EQ(whole.exitStatus, 0);
  const std::string expected = reference.read("covering.txt");
  ASSERT_GT(expected.size(), 0u);
  std::cout << "[ figures  ] uninterrupted: " << whole.cpu.count() << " ms of processor time\n";
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (int signal : {SIGKILL, SIGINT}) {
    SCOPED_TRACE(signal == SIGKILL ? "SIGKILL" : "SIGINT");
    // Into the part by 2 to 4 s of processor time; once more, sooner, when the run
    // ended first, and later when no subtree of the part had ended yet (a slow build,
    // or a part whose first subtree is long, as the measured costs decide).
    auto into = std::chrono::milliseconds(2000 + random() % 2000);
    for (int attempt = 0;; ++attempt) {
      ASSERT_LT(attempt, 6) << "no stop landed inside the part after a subtree of it";
      e2e::TempDir dir;
      dir.write("pelund.ini", kSparse + "threads=1\nresume=1\nkdisp=572522496\n");
      e2e::Interrupt late;
      late.signal = signal, late.trigger = kLastPartBegins, late.cpuDelay = into, late.watch = "pelund.state";
      const e2e::RunResult stopped = e2e::runSteps(dir, {late}, "", std::chrono::seconds(900));
      ASSERT_NE(stopped.exitStatus, 1) << e2e::maskStamps(stopped.out);
      SCOPED_TRACE(std::to_string(into.count()) + " ms into the part");
      // The state stands inside a tree part, at its first k, with subtrees of it done.
      // (Where the part begins depends on the measured costs of the parts before it.)
      const std::string state = stopped.exitStatus == 0 ? "" : dir.read("pelund.state");
      std::smatch done;
      if (!std::regex_search(
              state, done,
              std::regex("\nnextk=(\\d+)\nfound=\\d+\nlength=\\d+\npartto=(\\d+)\nsubtrees=\\d+\nlist=\\d+\ndone=(\\d+)\n"))) {
        // The stop came before a subtree of the part ended (the state still at its first
        // k): it is tried later. Or the part had ended: the run with it, or the stop came
        // early in the next part, before a subtree of it ended (the parts follow the
        // measured costs, so a faster tree ends them sooner): it is tried sooner.
        std::smatch at;
        if (stopped.exitStatus != 0) {
          ASSERT_TRUE(std::regex_search(state, at, std::regex("\nnextk=(\\d+)\n"))) << state.substr(0, 300);
          ASSERT_GE(std::stoll(at[1]), kLastPartFrom) << state.substr(0, 300);
        }
        if (stopped.exitStatus != 0 && std::stoll(at[1]) == kLastPartFrom) {
          into = into * 3 / 2;
          continue;
        }
        ASSERT_GT(into.count(), 500) << "the part ends before any stop reaches it";
        into /= 2;
        continue;
      }
      const std::string nextK = done[1];
      EXPECT_GE(std::stoll(nextK), kLastPartFrom);
      EXPECT_LT(std::stoll(nextK), std::stoll(done[2]));
      if (std::stoll(done[3]) == 0) {
        into = into * 3 / 2;
        continue;
      }
      if (signal == SIGKILL) {
        EXPECT_EQ(stopped.termSignal, SIGKILL);
        EXPECT_LT(stopped.cpuAfterChange.count(), 3000) << "of work lost";
        std::cout << "[ figures  ] killed " << into.count() << " ms into the part: " << stopped.cpuAfterChange.count()
                  << " ms of work after the state's last change\n";
      } else {
        EXPECT_EQ(stopped.exitStatus, 130);
        EXPECT_NE(stopped.out.find("Ctrl-C accepted. Ending k search at k=" + nextK + ".\n"),
                  std::string::npos)
            << e2e::maskStamps(stopped.out);
      }
      // The same state with the hash of another list of subtrees: the part starts again.
      e2e::TempDir other;
      if (signal == SIGINT) {
        other.write("pelund.ini", dir.read("pelund.ini"));
        other.write("covering.txt", dir.read("covering.txt"));
        other.write("pelund.state", std::regex_replace(state, std::regex("\nlist=\\d+\n"), "\nlist=1\n"));
      }
      const e2e::RunResult resumed = e2e::run(dir, {}, "", std::chrono::seconds(900));
      EXPECT_EQ(resumed.exitStatus, 0) << e2e::maskStamps(resumed.out);
      EXPECT_NE(resumed.out.find("Resuming S2 at k=" + nextK + " with "), std::string::npos)
          << e2e::maskStamps(resumed.out);
      EXPECT_TRUE(dir.read("covering.txt") == expected);
      if (signal == SIGINT) {
        EXPECT_EQ(e2e::run(other, {}, "", std::chrono::seconds(900)).exitStatus, 0);
        EXPECT_TRUE(other.read("covering.txt") == expected);
      }
      // The resumed run skipped the subtrees done: it did less than the whole part again.
      std::cout << "[ figures  ] stopped run " << stopped.cpu.count() << " ms, resumed run " << resumed.cpu.count()
                << " ms of processor time\n";
      break;
    }
  }
}

}  // namespace
