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
#include <vector>

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

// A message formatted into a fixed buffer: at most kBufferSize - 1 bytes.
std::string formatted(const char* format, va_list args) {
  char message[kBufferSize];
  std::vsnprintf(message, sizeof message, format, args);
  return message;
}

// Writes status messages as green stamped lines, between `before` and `after`, in one
// flushed write with the console's escapes on; then appends each, stamped, to pelund.log.
void writeStatusLines(const std::vector<std::string>& messages, const char* before, const char* after) {
  std::vector<std::string> stamps;
  std::string text = before;
  for (const std::string& message : messages) {
    char stamp[kBufferSize];
    formatStamp(stamp, sizeof stamp);
    stamps.emplace_back(stamp);
    ((((text += "\033[32m") += stamp) += " ") += message) += "\n\033[0m";
  }
  text += after;
  setupConsole();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (stdoutHandle) platformRestoreMode(outModeInit);
  for (size_t i = 0; i < messages.size(); ++i) appendToLog(stamps[i].c_str(), messages[i].c_str());
}

}  // namespace

void reportWithDateTime(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = formatted(format, args);
  va_end(args);
  writeStatusLines({message}, "", "");
}

std::string statusMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatted(format, args);
  va_end(args);
  return message;
}

void showBanner(const std::vector<std::string>& messages) { writeStatusLines(messages, "\n", "\n"); }

void logWithDateTime(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = formatted(format, args);
  va_end(args);
  char stamp[kBufferSize];
  formatStamp(stamp, sizeof stamp);
  appendToLog(stamp, message.c_str());
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
