// Console and log output. Status lines are green and stamped with the local time,
// error lines red; both are built in fixed buffers with bounded formatting, so no
// message can overrun them. Every console write is flushed at once, so that the
// interrupt acknowledgement, which the signal handler writes with a raw write,
// lands between complete pieces of output and never ahead of older text.
#include "console.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"
#include "run.h"
#include "status_line.h"

namespace {

bool stdoutHandle = false;  // whether the console mode was switched on and must be restored
uint32_t outModeInit = 0;

constexpr size_t kBufferSize = 512;

void formatStamp(char* stamp, size_t size) {
  std::tm t = platformLocalTime();
  std::snprintf(stamp, size, "Status (%04d-%02d-%02d %02d:%02d:%02d): ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

// Progress held back by holdProgress: the end of the hold (steady clock, in ms; lock-free,
// so that a signal handler can set it) and the held text.
std::atomic<int64_t> holdUntil{0};
std::string held;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool holding() { return nowMs() < holdUntil.load(); }

// Shows the held progress ahead of other output, or drops it once the search has stopped.
void releaseHeld() {
  if (held.empty()) return;
  if (!quitting()) std::fwrite(held.data(), 1, held.size(), stdout);
  held.clear();
}

}  // namespace

void holdProgress(int milliseconds) { holdUntil.store(nowMs() + milliseconds); }

void setupConsole() {
  statusline::erase();
  releaseHeld();
  stdoutHandle = platformEnableEscapes(&outModeInit);
}

void restoreConsole() {
  std::fputs("\033[0m", stdout);
  std::fflush(stdout);
  if (stdoutHandle) platformRestoreMode(outModeInit);
}

void error(const char* format, ...) {
  setupConsole();
  char message[kBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::printf("\033[31m%s %s\n", "\nError: ", message);
  restoreConsole();
  std::exit(1);
}

namespace {

void appendToLog(const char* stamp, const char* message) {
  platformAppendToLog("pelund.log", std::string(stamp) + " " + message + "\n\n");
}

}  // namespace

// A status message and its stamp, formatted into fixed buffers.
struct Stamped {
  char stamp[kBufferSize];
  char message[kBufferSize];

  Stamped(const char* format, va_list args) {
    std::vsnprintf(message, sizeof message, format, args);
    formatStamp(stamp, sizeof stamp);
  }
};

void reportWithDateTime(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const Stamped line(format, args);
  va_end(args);
  setupConsole();
  std::printf("\033[32m%s %s\n", line.stamp, line.message);
  restoreConsole();
  appendToLog(line.stamp, line.message);
}

std::string statusMessage(const char* format, ...) {
  char message[kBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  return message;
}

void showBanner(const std::vector<std::string>& messages) {
  std::string text = "\n";
  for (const std::string& message : messages) {
    char stamp[kBufferSize];
    formatStamp(stamp, sizeof stamp);
    ((((text += "\033[32m") += stamp) += " ") += message) += "\n\033[0m";
    appendToLog(stamp, message.c_str());
  }
  text += "\n";
  setupConsole();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (stdoutHandle) platformRestoreMode(outModeInit);
}

void logWithDateTime(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const Stamped line(format, args);
  va_end(args);
  appendToLog(line.stamp, line.message);
}

void showProgress(const char* text, int backspaces) {
  statusline::erase();
  if (holding()) {
    held.append(text).append(size_t(backspaces), '\b');
    return;
  }
  releaseHeld();
  std::fputs(text, stdout);
  for (int i = 0; i < backspaces; ++i) std::putchar('\b');
  std::fflush(stdout);
}

void consoleWrite(const char* format, ...) {
  statusline::erase();
  releaseHeld();
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

int writeHelpText(const char* program, const std::string& text, int failure) {
  platformIgnoreBrokenPipe();
  if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0) return 0;
  std::fprintf(stderr, "%s: standard output cannot be written: %s\n", program, std::strerror(errno));
  return failure;
}
