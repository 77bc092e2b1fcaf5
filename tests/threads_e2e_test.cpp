// Many threads through the real binary: threads=1024 (on any machine) writes the
// console, covering.txt and the log's candidates exactly as threads=1 does, with
// either engine, with the choice between them, and with algebraic factors.
#include <gtest/gtest.h>

#include <string>

#include "e2e.h"

namespace {

TEST(ThreadsTest, ManyThreadsGiveWhatOneGives) {
  const std::string searches[] = {
      "base=10\nmink=1\nmaxk=30000000\nc=-1\nengine=sieve\n",
      "base=2\nmink=1000000\nmaxk=3000000000\nc=1\nperiod=720\nengine=residue\n",
      "base=7\nmink=1\nmaxk=1000000000000000\nc=1\n",
      "base=10\nmink=1\nmaxk=20000000\nc=-1\nalgebraic=1\nperiod=24\n",
  };
  for (const std::string& search : searches) {
    SCOPED_TRACE(search);
    e2e::TempDir one, many;
    one.write("pelund.ini", search + "threads=1\n");
    many.write("pelund.ini", search + "threads=1024\n");
    const e2e::RunResult expected = e2e::run(one), got = e2e::run(many);
    EXPECT_EQ(expected.exitStatus, 0);
    EXPECT_EQ(got.exitStatus, 0);
    EXPECT_EQ(e2e::maskStamps(got.out), e2e::maskStamps(expected.out));
    EXPECT_FALSE(one.read("covering.txt").empty());
    EXPECT_EQ(many.read("covering.txt"), one.read("covering.txt"));
    EXPECT_EQ(e2e::maskStamps(many.read("pelund.log")), e2e::maskStamps(one.read("pelund.log")));
  }
}

}  // namespace
