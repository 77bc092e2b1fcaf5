// Progress held back by the console (pelund-mpi holds it while mpirun ends a job): held
// lines come out in order ahead of the next other output, or are dropped when the
// search has stopped meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "console.h"
#include "run.h"

namespace {

std::string progress(const std::string& text) { return text + std::string(kSearchingBackspaces, '\b'); }

TEST(ConsoleTest, HeldProgressIsShownInOrderOrDroppedAfterAStop) {
  struct Case {
    const char* name;
    int holdMs;      // 0: no hold
    bool expires;    // the hold ends before the second progress line
    bool stopped;    // the search stops before the closing text
    std::string expected;
  };
  const std::string a = progress("Searching at k = 1. "), b = progress("Searching at k = 2. ");
  const Case cases[] = {
      {"no hold", 0, false, false, a + b + "end\n"},
      {"held until the closing text", 60000, false, false, a + b + "end\n"},
      {"held, then the hold ends", 1, true, false, a + b + "end\n"},
      {"held, then stopped", 60000, false, true, "end\n"},
      {"no hold, stopped", 0, false, true, a + b + "end\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStdout();
    holdProgress(c.holdMs);
    showProgress("Searching at k = 1. ", kSearchingBackspaces);
    if (c.expires) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    showProgress("Searching at k = 2. ", kSearchingBackspaces);
    gb_quitting = c.stopped ? 1 : 0;
    consoleWrite("end\n");
    gb_quitting = 0;
    holdProgress(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
  }
}

}  // namespace
