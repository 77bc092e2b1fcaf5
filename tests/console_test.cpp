// Progress held back by the console (pelund-mpi holds it while mpirun ends a job): held
// lines come out in order ahead of the next other output, or are dropped when the
// search has stopped meanwhile. And the status line's time left.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "console.h"
#include "run.h"
#include "status_line.h"

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

// The time left at the edges of its three forms, and for every second of three days
// the minutes below 60 and the whole within half a minute of the time.
TEST(StatusLine, TheTimeLeftRoundsToTheMinuteBeforeItSplitsIntoHours) {
  const auto shown = [](double seconds) {
    char text[32];
    statusline::formatDuration(text, sizeof text, seconds);
    return std::string(text);
  };
  const std::pair<double, const char*> edges[] = {{89.4, "89 s"},           {90, "2 min"},       {5369.9, "89 min"},
                                                  {5370, "1 h 30 min"},     {7169.9, "1 h 59 min"}, {7170, "2 h 00 min"}};
  for (const auto& [seconds, text] : edges) EXPECT_EQ(shown(seconds), text) << seconds;
  for (double seconds = 5370; seconds < 3 * 86400; seconds += 1) {
    unsigned hours = 0, minutes = 0;
    ASSERT_EQ(std::sscanf(shown(seconds).c_str(), "%u h %2u min", &hours, &minutes), 2) << seconds;
    ASSERT_LT(minutes, 60u) << seconds;
    ASSERT_LE(std::abs(double(60 * hours + minutes) - seconds / 60), 0.5) << seconds;
  }
}

}  // namespace
