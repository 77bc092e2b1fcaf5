// Windows check of the console stop requests, run by scripts/windows-test (under
// Wine there). It gives itself a fresh console, starts a child on it with standard
// output on a pipe, waits for `trigger` in that output and sends Ctrl-C to the
// console; the child's whole output and its exit status go to standard output, for
// the script to compare.
//
//   console_stop_check run TRIGGER EVENTS PROGRAM
//       EVENTS Ctrl-C events: the first once the child shows TRIGGER, each further one
//       once it shows "handled" (see hold).
//   console_stop_check hold
//       A child that installs the platform's stop handlers and then waits: it prints
//       "handled N" once its handler has seen signal N, and exits with status 3 if
//       nothing ends it within 20 seconds.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform.h"

namespace {

volatile std::sig_atomic_t handled = 0;

void record(int signal) {
  static const char acknowledgement[] = "\nCtrl-C accepted. ";
  platformWriteStdout(acknowledgement, sizeof acknowledgement - 1);
  handled = signal;
}

int hold() {
  platformInstallStopHandlers(record);
  std::printf("holding\n");
  std::fflush(stdout);
  for (int i = 0; i < 200; ++i) {
    if (handled != 0) {
      std::printf("handled %d\n", int(handled));
      std::fflush(stdout);
      handled = 0;
    }
    Sleep(100);
  }
  return 3;
}

// The checker stays alive through the events it sends to its own console.
BOOL WINAPI ignoreControl(DWORD) { return TRUE; }

int run(const std::string& trigger, int events, const std::string& commandLine) {
  FreeConsole();  // Wine starts a program on a pipe without a console that takes events
  if (!AllocConsole()) {
    std::printf("no console: error %lu\n", GetLastError());
    return 2;
  }
  SetConsoleCtrlHandler(ignoreControl, TRUE);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return 2;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION child{};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
    std::printf("cannot start %s: error %lu\n", commandLine.c_str(), GetLastError());
    return 2;
  }
  CloseHandle(writeEnd);
  std::string out;
  size_t searchFrom = 0;
  int sent = 0;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    out.append(buffer, got);
    const std::string wanted = sent == 0 ? trigger : std::string("handled");
    size_t at = out.find(wanted, searchFrom);
    if (sent < events && at != std::string::npos) {
      searchFrom = at + wanted.size();
      GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
      ++sent;
    }
  }
  WaitForSingleObject(child.hProcess, 30000);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::printf("[events sent: %d, exit status: 0x%lx]\n", sent, static_cast<unsigned long>(status));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  platformGuardStandardStreams();  // the child's bytes go out as they came
  if (argc == 2 && std::string(argv[1]) == "hold") return hold();
  if (argc == 5 && std::string(argv[1]) == "run") return run(argv[2], std::atoi(argv[3]), argv[4]);
  std::printf("usage: console_stop_check run TRIGGER EVENTS PROGRAM | hold\n");
  return 2;
}
