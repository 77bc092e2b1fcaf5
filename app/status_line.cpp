// The live status line (see status_line.h). It is drawn and erased with raw writes
// to standard output, after stdio's buffer has been flushed, so that a signal
// handler's acknowledgement (also a raw write) can erase it first.
//
// Signal handlers (a stop request, Ctrl-Z) and the thread that draws or erases share
// one atomic state: no line, a line shown, busy (a draw, an erase or a handler's work
// under way), closed for good. Only one holds the screen at a time; a handler that
// finds it busy (in the thread it interrupted or another) leaves its work to the
// holder, who takes it up as soon as it gives the screen back. So no draw lands
// between a handler's erase and its acknowledgement, nor an erase after it.
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
// After the text: clear the rest of the screen, then back to the line's start.
constexpr char kClearRest[] = "\033[J\r";
constexpr char kErase[] = "\r\033[J\r";

enum Screen : int { kNone, kShown, kBusy, kClosed };
std::atomic<int> screen{kNone};

// A handler's work left to the holder of the screen: which (kStop, kSuspend) and its signal.
enum Work : int { kNoWork, kStop, kSuspend };
std::atomic<int> deferredWork{kNoWork};
std::atomic<int> deferredSignal{0};
void (*volatile stopAcknowledge)(int) = nullptr;
std::atomic<bool> redrawNow{false};  // continued after Ctrl-Z: draw at the next update

bool wanted = false;
bool forbidden = false;
int64_t firstK = 0, lastK = 0, nextSearched = 0, partFrom = 0, partTo = 0;
uint64_t sets = 0;
Clock::time_point begun, drawn;

void writeErase() { platformWriteStdout(kErase, sizeof kErase - 1); }

// Takes the screen from no line or a line shown (which `previous` tells); false when
// it is busy or closed.
bool take(int& previous) {
  previous = screen.load();
  do {
    if (previous != kNone && previous != kShown) return false;
  } while (!screen.compare_exchange_weak(previous, kBusy));
  return true;
}

void handle(int work, int signal);

// Gives the screen back as `state`, then does the work a handler left meanwhile.
void release(int state) {
  screen.store(state);
  const int work = deferredWork.exchange(kNoWork);
  if (work != kNoWork) handle(work, deferredSignal.load());
}

void act(int work, int signal) {
  if (work == kStop && stopAcknowledge != nullptr) stopAcknowledge(signal);
  if (work == kSuspend) platformSuspendNow();
}

// A handler's work, with the screen held: the line erased, then a stop's
// acknowledgement (the line closed for good) or the process stopped until continued.
void doWork(int work, int signal, bool shown) {
  if (shown) writeErase();
  act(work, signal);
  if (work == kSuspend) redrawNow.store(true);
  release(work == kStop ? kClosed : kNone);
}

// From a handler (or a holder giving the screen back): the work now, or by the holder.
void handle(int work, int signal) {
  for (;;) {
    int previous = kNone;
    if (take(previous)) return doWork(work, signal, previous == kShown);
    if (previous == kClosed) return act(work, signal);
    deferredSignal.store(signal);
    deferredWork.store(work);
    if (screen.load() == kBusy) return;                     // the holder takes it up
    if (deferredWork.exchange(kNoWork) == kNoWork) return;  // it has taken it up already
  }
}

void onSuspend(int signal) { handle(kSuspend, signal); }

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
  length = std::clamp(std::min(length, columns > 0 ? columns - 1 : 79), 0, kWidest);  // never the last column
  char line[kWidest + sizeof kClearRest + 1];
  line[0] = '\r';
  std::memcpy(line + 1, text, size_t(length));
  std::memcpy(line + 1 + length, kClearRest, sizeof kClearRest - 1);
  int previous = kNone;
  if (!take(previous)) return;  // a handler at work, or closed
  std::fflush(stdout);
  platformWriteStdout(line, size_t(1 + length) + sizeof kClearRest - 1);
  drawn = Clock::now();
  release(kShown);
}

void maybeDraw() {
  if (wanted && (redrawNow.exchange(false) || Clock::now() - drawn >= kRedraw)) draw();
}

}  // namespace

void forbid() { forbidden = true; }

void start(int64_t from, int64_t to, uint64_t found) {
  wanted = !forbidden && gi_progress == 1 && gi_kDisp == 0 && gi_facDisp == 0 && platformStdoutIsTerminal() &&
           platformKeepEscapesOn();
  firstK = nextSearched = partFrom = from, lastK = partTo = to, sets = found;
  begun = Clock::now();
  drawn = begun - kRedraw;
  if (wanted) platformInstallSuspendHandler(onSuspend);
}

void update(int64_t nextK, uint64_t found) {
  nextSearched = nextK, sets = found;
  maybeDraw();
}

void part(int64_t from, int64_t to) {
  partFrom = from, partTo = to;
  maybeDraw();
}

void erase() {
  if (screen.load() != kShown) return;
  std::fflush(stdout);
  int previous = kNone;
  if (!take(previous)) return;
  if (previous == kShown) writeErase();
  release(kNone);
}

void stopFromSignal(void (*acknowledge)(int), int signal) {
  stopAcknowledge = acknowledge;
  handle(kStop, signal);
}

void eraseFromSignal() {
  int previous = kNone;
  if (!take(previous)) return;
  if (previous == kShown) writeErase();
  release(kNone);
}

// Hours and minutes from the minutes rounded first: 7170 s is "2 h 00 min", never
// "1 h 60 min".
void formatDuration(char* text, size_t size, double seconds) {
  if (seconds < 90) return void(std::snprintf(text, size, "%.0f s", seconds));
  const double minutes = std::round(seconds / 60);
  if (minutes < 90) return void(std::snprintf(text, size, "%.0f min", minutes));
  std::snprintf(text, size, "%.0f h %02.0f min", std::floor(minutes / 60), minutes - 60 * std::floor(minutes / 60));
}

}  // namespace statusline
