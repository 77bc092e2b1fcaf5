// pelund's maxsets=N through the real binary: the run ends after N lines, which are
// the first N of the run without the key, with the count as usual; more than the
// range holds changes nothing; a resumed search counts the lines already written.
#include <gtest/gtest.h>

#include "e2e.h"

namespace {

std::string firstLines(const std::string& text, size_t n) {
  size_t at = 0;
  for (size_t i = 0; i < n && at < text.size(); ++i) at = text.find('\n', at) + 1;
  return text.substr(0, at);
}

std::string closing(uint64_t found) {
  return e2e::statusLine(std::to_string(found) + " covering set" + (found == 1 ? "" : "s") + " found for R10");
}

TEST(MaxSets, TheRunEndsAfterThatManyLinesWithTheCountAsUsual) {
  const std::string ini = "base=10\nmink=1\nmaxk=3000000\nc=-1\nperiod=36\nthreads=2\n";
  e2e::TempDir full;
  full.write("pelund.ini", ini);
  ASSERT_EQ(e2e::run(full).exitStatus, 0);
  const std::string all = full.read("covering.txt");
  const size_t total = size_t(std::count(all.begin(), all.end(), '\n'));
  ASSERT_GT(total, 20u);
  for (const char* engine : {"sieve", "residue"})
    for (size_t n : {size_t(1), size_t(2), size_t(17), total, total + 5}) {
      SCOPED_TRACE(std::string(engine) + " maxsets=" + std::to_string(n));
      e2e::TempDir dir;
      dir.write("pelund.ini", ini + "engine=" + engine + "\nmaxsets=" + std::to_string(n) + "\n");
      const e2e::RunResult result = e2e::run(dir);
      EXPECT_EQ(result.exitStatus, 0);
      EXPECT_EQ(dir.read("covering.txt"), firstLines(all, n));
      EXPECT_TRUE(e2e::maskStamps(result.out).ends_with(closing(std::min(n, total)))) << result.out;
    }
  // Resumed: maxsets counts the lines of covering.txt, the earlier run's included.
  e2e::TempDir dir;
  for (size_t n : {3, 3, 8}) {
    dir.write("pelund.ini", ini + "resume=1\nmaxsets=" + std::to_string(n) + "\n");
    const e2e::RunResult result = e2e::run(dir);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(dir.read("covering.txt"), firstLines(all, n));
    EXPECT_TRUE(e2e::maskStamps(result.out).ends_with(closing(n))) << result.out;
  }
}

}  // namespace
