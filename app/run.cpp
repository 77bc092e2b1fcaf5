// Interrupt handling and the removal of an old results file. The handler only does
// what is safe in a signal handler: a raw write of its acknowledgement and a store
// to a sig_atomic_t flag, which the search reads afresh at every poll.
#include "run.h"

#include <cstdio>

#include "platform.h"

volatile std::sig_atomic_t gb_quitting = 0;

void setQuitting(int signal) {
  (void)signal;
  static const char acknowledgement[] = "\nCtrl-C accepted. ";
  platformWriteStdout(acknowledgement, sizeof acknowledgement - 1);
  gb_quitting = 1;
}

void installInterruptHandlers() {
  platformInstallOneShotHandler(SIGINT, setQuitting);
  platformInstallOneShotHandler(SIGTERM, setQuitting);
}

int delete_file(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return 0;
  std::fclose(file);
  return std::remove(path);
}
