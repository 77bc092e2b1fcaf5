// The progress line of pelund-ck (see progress.h).
#include "progress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace ckprogress {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidest = 120;

bool wanted = false;
bool forbidden = false;
std::atomic<int> shownWidth{0};
char blanks[kWidest + 2];
size_t first = 0, total = 0;
Clock::time_point begun, drawn;

void duration(char* text, size_t size, double seconds) {
  if (seconds < 90) std::snprintf(text, size, "%.0f s", seconds);
  else if (seconds < 5400) std::snprintf(text, size, "%.0f min", seconds / 60);
  else std::snprintf(text, size, "%.0f h", seconds / 3600);
}

}  // namespace

void forbid() { forbidden = true; }

void start(size_t done, size_t all) {
  wanted = !forbidden && platformStdoutIsTerminal();
  first = done, total = all;
  begun = Clock::now();
  drawn = begun - std::chrono::seconds(1);
  blanks[0] = '\r';
  std::memset(blanks + 1, ' ', kWidest);
}

void update(size_t done, const std::string& inHand) {
  if (!wanted || done >= total || Clock::now() - drawn < std::chrono::milliseconds(250)) return;
  const double elapsed = std::chrono::duration<double>(Clock::now() - begun).count();
  char left[32] = "some time";
  if (done > first) duration(left, sizeof left, elapsed / double(done - first) * double(total - done));
  char text[kWidest + 1];
  int length = std::snprintf(text, sizeof text, "CK table: %" PRIu64 " of %" PRIu64 " lines done, %s in hand, %s left",
                             uint64_t(done), uint64_t(total), inHand.c_str(), left);
  const int columns = platformTerminalColumns();
  length = std::min({length, kWidest, columns > 1 ? columns - 1 : 79});
  const int previous = shownWidth.exchange(0);
  char line[kWidest + 2];
  line[0] = '\r';
  std::memcpy(line + 1, text, size_t(length));
  const int padded = std::max(length, previous);
  std::memset(line + 1 + length, ' ', size_t(padded - length));
  std::fflush(stdout);
  platformWriteStdout(line, size_t(1 + padded));
  shownWidth = padded;
  drawn = Clock::now();
}

void erase() {
  if (shownWidth.load() == 0) return;
  std::fflush(stdout);
  eraseFromSignal();
}

void eraseFromSignal() {
  const int width = shownWidth.exchange(0);
  if (width == 0) return;
  platformWriteStdout(blanks, size_t(width + 1));
  platformWriteStdout("\r", 1);
}

}  // namespace ckprogress
