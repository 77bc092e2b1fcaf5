// The residue tree against the block sieve through the real binary: on generated
// configurations (bases up to 10^9, both signs, periods 2..5040, factor bounds up to
// 10^6, ranges anywhere up to 10^18, 1 to 3 threads, with and without progress
// lines; and bases above 500 with period 720) the console, pelund.log and
// covering.txt of engine=residue and engine=auto are byte for byte those of
// engine=sieve.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "e2e.h"

namespace {

struct Outcome {
  std::string out, log, covering;
  int status;
};

Outcome runWith(const std::string& ini, const std::string& engine) {
  e2e::TempDir dir;
  dir.write("pelund.ini", ini + "engine=" + engine + "\n");
  const e2e::RunResult result = e2e::run(dir);
  return {e2e::maskStamps(result.out), e2e::maskStamps(dir.read("pelund.log")), dir.read("covering.txt"),
          result.exitStatus};
}

// Returns the number of lines the sieve wrote.
size_t expectEnginesAgree(const std::string& ini, const std::vector<std::string>& engines) {
  SCOPED_TRACE(ini);
  const Outcome sieve = runWith(ini, "sieve");
  EXPECT_EQ(sieve.status, 0);
  for (const std::string& engine : engines) {
    const Outcome other = runWith(ini, engine);
    EXPECT_EQ(other.status, sieve.status) << engine;
    EXPECT_TRUE(other.out == sieve.out) << engine << " console:\n" << other.out << "\nsieve:\n" << sieve.out;
    EXPECT_EQ(other.log, sieve.log) << engine;
    EXPECT_EQ(other.covering, sieve.covering) << engine;
  }
  return size_t(std::count(sieve.covering.begin(), sieve.covering.end(), '\n'));
}

TEST(EnginesEndToEnd, GeneratedConfigurationsGiveTheSameBytes) {
  std::mt19937_64 random(20261207);
  const int32_t periods[] = {2, 4, 6, 8, 12, 16, 24, 36, 48, 60, 72, 120, 144, 240, 360, 720, 5040};
  size_t lines = 0;
  for (int round = 0; round < 110; ++round) {
    const int64_t base = random() % 4 == 0 ? int64_t(random() % 1000000000) + 2 : int64_t(random() % 60) + 2;
    const int32_t period = periods[random() % std::size(periods)];
    const int64_t maxFact = random() % 8 == 0 ? 1000000 : int64_t(random() % 20000) + 5;
    const int64_t width = int64_t(random() % 2000000) + 1;
    const int64_t minK = random() % 3 == 0 ? int64_t(random() % (1000000000000000000 - width)) + 1
                                           : int64_t(random() % 10000000) + 1;
    const int64_t kDisp = random() % 3 == 0 ? std::max<int64_t>(1, width / 7) : 0;
    const std::string ini = "base=" + std::to_string(base) + "\nmink=" + std::to_string(minK) +
                            "\nmaxk=" + std::to_string(minK + width - 1) + "\nc=" + (random() % 2 ? "1" : "-1") +
                            "\nperiod=" + std::to_string(period) + "\nmaxfact=" + std::to_string(maxFact) +
                            "\nkdisp=" + std::to_string(kDisp) + "\nthreads=" + std::to_string(1 + random() % 3) +
                            "\n";
    lines += expectEnginesAgree(ini, round % 4 == 0 ? std::vector<std::string>{"residue", "auto"}
                                                    : std::vector<std::string>{"residue"});
    if (HasFailure()) break;
  }
  std::cout << "[ figures  ] " << lines << " lines compared\n";
  EXPECT_GT(lines, 1000u);
}

// Bases above 500 of both signs with period 720, the setting of the tree's widest
// branching: ranges near 1 and near 10^18.
TEST(EnginesEndToEnd, GeneratedLargeBasesWithPeriod720GiveTheSameBytes) {
  std::mt19937_64 random(720);
  size_t lines = 0;
  for (int round = 0; round < 16; ++round) {
    const int64_t base = random() % 2 ? int64_t(random() % 500) + 501 : int64_t(random() % 999999000) + 1000;
    const int64_t width = int64_t(random() % 3000000) + 1;
    const int64_t minK = random() % 3 == 0 ? 1000000000000000000 - width + 1 : int64_t(random() % 100000000) + 1;
    const std::string ini = "base=" + std::to_string(base) + "\nmink=" + std::to_string(minK) +
                            "\nmaxk=" + std::to_string(minK + width - 1) + "\nc=" + (round % 2 ? "1" : "-1") +
                            "\nperiod=720\nmaxfact=" + (random() % 2 ? "1000000" : "100000") +
                            "\nthreads=" + std::to_string(1 + random() % 3) + "\n";
    lines += expectEnginesAgree(ini, round % 4 == 0 ? std::vector<std::string>{"residue", "auto"}
                                                    : std::vector<std::string>{"residue"});
    if (HasFailure()) break;
  }
  std::cout << "[ figures  ] " << lines << " lines compared\n";
  EXPECT_GT(lines, 1000u);
}

// The largest settings: the last k allowed and the largest factor bound, where the
// tree's moduli pass 2^64.
TEST(EnginesEndToEnd, RangesEndingAtTheLargestKWithTheLargestFactorBound) {
  for (const char* sign : {"1", "-1"}) {
    const std::string ini = std::string("base=10\nmink=999999999990000000\nmaxk=1000000000000000000\nc=") + sign +
                            "\nmaxfact=1000000000\nkdisp=1000000\n";
    EXPECT_GT(expectEnginesAgree(ini, {"residue", "auto"}), 0u);
  }
}

}  // namespace
