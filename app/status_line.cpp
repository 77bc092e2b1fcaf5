// The live status line (see status_line.h). It is drawn and erased with raw writes
// to standard output, after stdio's buffer has been flushed, so that a signal
// handler's acknowledgement (also a raw write) can erase it first.
#include "status_line.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "config.h"
#include "platform.h"

namespace statusline {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedraw = std::chrono::milliseconds(250);
constexpr int kWidest = 160;

bool wanted = false;
bool forbidden = false;
std::atomic<int> shownWidth{0};  // characters of the line on screen (0: none)
char blanks[kWidest + 2];        // "\r", blanks, "\r" for the widest line
int64_t firstK = 0, lastK = 0, nextSearched = 0, partFrom = 0, partTo = 0;
uint64_t sets = 0;
Clock::time_point begun, drawn;

// "3 min", "2 h 05 min", "40 s".
void formatDuration(char* text, size_t size, double seconds) {
  if (seconds < 90) std::snprintf(text, size, "%.0f s", seconds);
  else if (seconds < 5400) std::snprintf(text, size, "%.0f min", seconds / 60);
  else std::snprintf(text, size, "%.0f h %02.0f min", std::floor(seconds / 3600), std::fmod(seconds / 60, 60));
}

void draw() {
  const double elapsed = std::chrono::duration<double>(Clock::now() - begun).count();
  const double width = double(lastK - firstK) + 1, done = double(nextSearched - firstK);
  const double rate = elapsed > 0 ? done / elapsed : 0;
  char left[32] = "some time";
  if (rate > 0) formatDuration(left, sizeof left, (width - done) / rate);
  // The most telling first: a narrow terminal cuts the line at its end.
  char text[kWidest + 1];
  int length = std::snprintf(text, sizeof text,
                             "Searching: %.1f%% of k done, %.2g k/s, %" PRIu64 " set%s found, %s left, part k=%" PRId64
                             "..%" PRId64,
                             100 * done / width, rate, sets, sets == 1 ? "" : "s", left, partFrom, partTo);
  const int columns = platformTerminalColumns();
  length = std::min({length, kWidest, columns > 1 ? columns - 1 : 79});  // never wrap
  const int previous = shownWidth.exchange(0);
  char line[2 * kWidest + 2];
  line[0] = '\r';
  std::memcpy(line + 1, text, size_t(length));
  const int padded = std::max(length, previous);  // blanks over what was longer
  std::memset(line + 1 + length, ' ', size_t(padded - length));
  std::fflush(stdout);
  platformWriteStdout(line, size_t(1 + padded));
  shownWidth = padded;
  drawn = Clock::now();
}

}  // namespace

void forbid() { forbidden = true; }

void start(int64_t from, int64_t to, uint64_t found) {
  wanted = !forbidden && gi_progress == 1 && gi_kDisp == 0 && gi_facDisp == 0 && platformStdoutIsTerminal();
  firstK = nextSearched = partFrom = from, lastK = partTo = to, sets = found;
  begun = Clock::now();
  drawn = begun - kRedraw;
  blanks[0] = '\r';
  std::memset(blanks + 1, ' ', kWidest);
}

void update(int64_t nextK, uint64_t found) {
  nextSearched = nextK, sets = found;
  if (wanted && Clock::now() - drawn >= kRedraw) draw();
}

void part(int64_t from, int64_t to) {
  partFrom = from, partTo = to;
  if (wanted && Clock::now() - drawn >= kRedraw) draw();
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

}  // namespace statusline
