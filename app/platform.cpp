// POSIX implementation of the platform layer (see platform.h).
#include "platform.h"

#include <signal.h>
#include <unistd.h>

bool platformEnableEscapes(uint32_t* previousMode) {
  // POSIX terminals interpret ANSI sequences by themselves; nothing to switch.
  (void)previousMode;
  return false;
}

void platformRestoreMode(uint32_t mode) { (void)mode; }

void platformInstallOneShotHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(signal, &action, nullptr);
}

void platformWriteStdout(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDOUT_FILENO, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

std::tm platformLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}
