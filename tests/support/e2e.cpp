// End-to-end test helpers (see e2e.h). Children are started with fork/exec in the
// temporary directory; their standard output is read through a pipe until it closes.
#include "e2e.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace e2e {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pelund-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Restore permissions that a test may have taken away, so the tree can be removed.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
  std::ofstream out(file(name), std::ios::binary);
  out << content;
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

static std::vector<int> childIgnores, childBlocks;  // of the StartedWith in scope

StartedWith::StartedWith(std::vector<int> ignored, std::vector<int> blocked) {
  childIgnores = std::move(ignored), childBlocks = std::move(blocked);
}

StartedWith::~StartedWith() { childIgnores.clear(), childBlocks.clear(); }

void setChildSignals() {
  sigset_t mask;
  sigemptyset(&mask);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) {
    const bool ignored = std::find(childIgnores.begin(), childIgnores.end(), stop) != childIgnores.end();
    signal(stop, ignored ? SIG_IGN : SIG_DFL);
    sigaddset(&mask, stop);
  }
  sigprocmask(SIG_UNBLOCK, &mask, nullptr);
  sigemptyset(&mask);
  for (int blocked : childBlocks) sigaddset(&mask, blocked);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
}

namespace {

pid_t startChild(const TempDir& dir, const std::string& binary, const std::string& arguments, int outFd) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setChildSignals();
  dup2(outFd, STDOUT_FILENO);
  int devnull = open("/dev/null", O_RDWR);
  dup2(devnull, STDIN_FILENO);
  if (chdir(dir.path().c_str()) != 0) _exit(127);
  std::vector<std::string> words;
  std::istringstream split(arguments);
  for (std::string word; split >> word;) words.push_back(word);
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  execv(binary.c_str(), argv.data());
  _exit(127);
}

// The newest child of `pid`, or pid itself when it has none.
pid_t newestChild(pid_t pid) {
  std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = pid;
  for (pid_t next; list >> next;) child = next;
  return child;
}

// The processor time that process `pid` has used so far (0 once it cannot be read).
std::chrono::milliseconds cpuOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(file, line);
  const size_t name = line.rfind(')');
  if (name == std::string::npos) return std::chrono::milliseconds(0);
  std::istringstream fields(line.substr(name + 1));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  long long user = 0, system = 0;
  fields >> user >> system;
  return std::chrono::milliseconds((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}

// The last change of a file (0 while it does not exist).
int64_t changeOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0;
  return int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// The child of `pid` that mpirun started for `rank`, or 0 while there is none.
pid_t rankChild(pid_t pid, int rank) {
  std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  const std::string wanted = "OMPI_COMM_WORLD_RANK=" + std::to_string(rank);
  for (pid_t child; list >> child;) {
    std::ifstream environ("/proc/" + std::to_string(child) + "/environ");
    for (std::string entry; std::getline(environ, entry, '\0');)
      if (entry == wanted) return child;
  }
  return 0;
}

// Where a step's signal goes: the process, its newest child or a rank; 0 while that
// does not exist yet.
pid_t target(pid_t pid, const Interrupt& step) {
  if (step.rank >= 0) return rankChild(pid, step.rank);
  if (!step.toChild) return pid;
  const pid_t child = newestChild(pid);
  return child != pid ? child : 0;
}

void finish(pid_t pid, RunResult& result) {
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.peakKb = usage.ru_maxrss;
  result.cpu = std::chrono::milliseconds((int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000 +
                                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
}

// Whether the child has ended, leaving it to be reaped.
bool hasEnded(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

// A run killed outright leaves its last lines to its writing process, which holds the
// run directory's lock until they are written.
void awaitWriter(const TempDir& dir) {
  const int lock = open(dir.file("pelund.lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (lock < 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (flock(lock, LOCK_EX | LOCK_NB) != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  close(lock);
}

// The child's output on `fd` until every writer has closed it (a terminal: EIO once
// the program and its helper have), which is then closed; the child is killed once,
// should it still write after `timeout`, and reaped.
RunResult readToEnd(int fd, pid_t pid, std::chrono::seconds timeout) {
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[65536];
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline)
      kill(pid, SIGKILL), deadline = std::chrono::steady_clock::time_point::max();
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, 20) == 0) continue;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    result.out.append(buffer, size_t(got));
  }
  close(fd);
  finish(pid, result);
  return result;
}

}  // namespace

RunResult run(const TempDir& dir, const Interrupt& interrupt, const std::string& arguments,
              std::chrono::seconds timeout, const std::string& binary) {
  return runSteps(dir, interrupt.signal == 0 ? std::vector<Interrupt>{} : std::vector<Interrupt>{interrupt}, arguments,
             timeout, binary);
}

RunResult runSteps(const TempDir& dir, const std::vector<Interrupt>& steps, const std::string& arguments,
              std::chrono::seconds timeout, const std::string& binary) {
  int fds[2];
  // Close-on-exec: the child holds no reading end of its own output, which would keep
  // the pipe open once this side closes it.
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = startChild(dir, binary, arguments, fds[1]);
  close(fds[1]);

  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t step = 0;
  size_t searched = 0;  // the output before this has been searched for the trigger
  bool due = false;     // the step's trigger has shown and its delay passed
  bool triggered = false;  // the step's trigger has shown, its processor time not yet used
  std::chrono::milliseconds cpuAtTrigger{0}, cpuAtChange{0};
  int64_t watchedChange = 0;
  std::chrono::steady_clock::time_point lastSignal;
  char buffer[65536];
  for (;;) {
    // A step held back by its test searches its output from where it last searched,
    // once let go.
    const bool held = step < steps.size() && steps[step].after != nullptr && !steps[step].after->load();
    const size_t from = searched;
    if (!held)
      searched = result.out.size() - std::min(result.out.size(), step < steps.size() ? steps[step].trigger.size() : 0);
    if (step < steps.size() && !steps[step].watch.empty()) {
      if (const int64_t change = changeOf(dir.file(steps[step].watch)); change != watchedChange)
        watchedChange = change, cpuAtChange = cpuOf(pid);
    }
    if (step < steps.size() && !due && !triggered && !held &&
        (fds[0] < 0 || result.out.find(steps[step].trigger, from) != std::string::npos)) {
      searched = 0;
      triggered = true;
      cpuAtTrigger = cpuOf(pid);
      std::this_thread::sleep_for(steps[step].delay);
      if (steps[step].closeOutput && fds[0] >= 0) {
        close(fds[0]);
        fds[0] = -1;
      }
    }
    if (triggered && cpuOf(pid) - cpuAtTrigger >= steps[step].cpuDelay) {
      due = true;
      triggered = false;
    }
    // A signal for a child waits until there is one (the writing helper is forked at
    // the first lines, which a loaded machine may take long to find), lest the process
    // itself get it.
    if (const pid_t to = due ? target(pid, steps[step]) : 0; to != 0) {
      if (!steps[step].watch.empty()) {
        if (const int64_t change = changeOf(dir.file(steps[step].watch)); change != watchedChange)
          watchedChange = change, cpuAtChange = cpuOf(pid);
        result.cpuAfterChange = cpuOf(pid) - cpuAtChange;
      }
      if (steps[step].signal != 0) kill(to, steps[step].signal);
      lastSignal = std::chrono::steady_clock::now();
      ++step;
      due = false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      deadline = std::chrono::steady_clock::time_point::max();
    }
    if (fds[0] < 0) {  // nothing more to read: wait for the end
      if (step < steps.size()) continue;
      if (!hasEnded(pid)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      break;
    }
    pollfd watch{fds[0], POLLIN, 0};
    if (poll(&watch, 1, 20) == 0) continue;
    ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.out.append(buffer, static_cast<size_t>(got));
  }
  if (fds[0] >= 0) close(fds[0]);
  finish(pid, result);
  if (step > 0)
    result.afterSignals =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lastSignal);
  for (const Interrupt& sent : steps)
    if (sent.signal == SIGKILL) awaitWriter(dir);
  return result;
}

RunResult runWithoutReader(const TempDir& dir, std::chrono::seconds timeout, const std::string& binary,
                           const std::string& arguments) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  close(fds[0]);
  const pid_t pid = startChild(dir, binary, arguments, fds[1]);
  close(fds[1]);
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!hasEnded(pid)) {
    if (std::chrono::steady_clock::now() > deadline)
      kill(pid, SIGKILL), deadline = std::chrono::steady_clock::time_point::max();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  finish(pid, result);
  return result;
}

RunResult runOnNonBlockingOutput(const TempDir& dir, bool terminal, std::chrono::milliseconds late,
                                 bool& stillNonBlocking, const std::string& binary, const std::string& arguments) {
  int fds[2];
  termios raw{};
  cfmakeraw(&raw);  // no translation of line ends: the bytes arrive as written
  if (terminal ? openpty(&fds[0], &fds[1], nullptr, &raw, nullptr) != 0 : pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error("no pipe or terminal");
  // Neither end stays open in the child beyond its standard output, as with pipe2.
  for (const int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  const pid_t pid = startChild(dir, binary, arguments, fds[1]);
  std::this_thread::sleep_for(late);
  stillNonBlocking = (fcntl(fds[1], F_GETFL) & O_NONBLOCK) != 0;
  close(fds[1]);
  return readToEnd(fds[0], pid, std::chrono::seconds(120));
}

RunResult runOnTerminal(const TempDir& dir, int columns, std::chrono::seconds timeout, const std::string& binary) {
  termios raw{};
  cfmakeraw(&raw);  // no translation of line ends: the bytes arrive as written
  winsize size{};
  size.ws_row = 24, size.ws_col = static_cast<unsigned short>(columns);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, &raw, &size);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    setChildSignals();
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return readToEnd(terminal, pid, timeout);
}

RunResult verifyResults(const TempDir& dir) { return run(dir, {}, "", std::chrono::seconds(120), PELUND_VERIFY_BINARY); }

std::string maskStamps(const std::string& text) {
  static const std::regex stamp(R"(Status \(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\): )");
  return std::regex_replace(text, stamp, "Status (STAMP): ");
}

std::string statusLine(const std::string& message) {
  return "\033[32mStatus (STAMP):  " + message + "\n\033[0m";
}

std::string errorLine(const std::string& message) { return "\033[31m\nError:  " + message + "\n\033[0m"; }

Outcome runIni(TempDir& dir, const std::string& ini, const Interrupt& interrupt) {
  dir.write("pelund.ini", ini);
  const RunResult r = run(dir, interrupt);
  return {maskStamps(r.out), maskStamps(dir.read("pelund.log")), dir.read("covering.txt"), dir.read("pelund.state"),
          r.termSignal == SIGKILL ? -SIGKILL : r.exitStatus};
}

}  // namespace e2e
