// Interactive terminal runs (see terminal.h).
#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace e2e {

// ---- the screen -------------------------------------------------------------------

Screen::Row& Screen::row(size_t index) {
  if (rows_.size() <= index) rows_.resize(index + 1);
  return rows_[index];
}

void Screen::put(char c) {
  if (pendingWrap_) {
    ++row_, column_ = 0, pendingWrap_ = false;
    row(row_).wrapped = true;
  }
  std::string& cells = row(row_).cells;
  if (cells.size() <= size_t(column_)) cells.resize(size_t(column_) + 1, ' ');
  cells[size_t(column_)] = c;
  if (column_ == columns_ - 1) pendingWrap_ = true;
  else ++column_;
}

void Screen::escape(const std::string& sequence) {
  const char final = sequence.back();
  const std::string parameter = sequence.substr(2, sequence.size() - 3);
  if (final == 'm') return;
  if ((final == 'J' || final == 'K') && (parameter.empty() || parameter == "0")) {
    std::string& cells = row(row_).cells;
    if (cells.size() > size_t(column_)) cells.resize(size_t(column_));
    if (final == 'J') rows_.resize(row_ + 1);
    pendingWrap_ = false;
    return;
  }
  unknown_ += sequence.substr(1) + " ";
}

void Screen::feed(const std::string& bytes) {
  for (char c : bytes) {
    if (!partial_.empty()) {
      partial_ += c;
      if (partial_.size() == 2 && c != '[') {
        unknown_ += partial_.substr(1) + " ";
        partial_.clear();
      } else if (partial_.size() > 2 && c >= 0x40 && c <= 0x7e) {
        escape(partial_);
        partial_.clear();
      }
      continue;
    }
    switch (c) {
      case '\033':
        partial_ = c;
        break;
      case '\r':
        column_ = 0, pendingWrap_ = false;
        break;
      case '\n':
        ++row_, column_ = 0, pendingWrap_ = false;
        row(row_);
        break;
      case '\b':
        if (column_ > 0 && !pendingWrap_) --column_;
        pendingWrap_ = false;
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) put(c);
        else unknown_ += "control " + std::to_string(int(c)) + " ";
    }
  }
}

// Joins each line's rows and cuts them again at the new width.
void Screen::rewrap(int columns) {
  std::vector<Row> rows;
  size_t cursorRow = 0;
  int cursorColumn = 0;
  for (size_t r = 0; r < rows_.size();) {
    std::string line = rows_[r].cells;
    size_t cursorAt = std::string::npos;  // the cursor's offset in the line
    if (r == row_) cursorAt = size_t(column_);
    size_t offset = rows_[r].cells.size();
    for (++r; r < rows_.size() && rows_[r].wrapped; ++r) {
      if (r == row_) cursorAt = offset + size_t(column_);
      line += rows_[r].cells, offset += rows_[r].cells.size();
    }
    const size_t first = rows.size();
    for (size_t at = 0; at == 0 || at < line.size(); at += size_t(columns))
      rows.push_back({line.substr(at, size_t(columns)), at > 0});
    if (cursorAt != std::string::npos) {
      cursorRow = first + std::min(cursorAt / size_t(columns), rows.size() - 1 - first);
      cursorColumn = int(std::min(cursorAt - (cursorRow - first) * size_t(columns), size_t(columns - 1)));
    }
  }
  if (row_ >= rows_.size()) cursorRow = rows.size() + (row_ - rows_.size()), cursorColumn = 0;
  rows_ = std::move(rows);
  row_ = cursorRow, column_ = cursorColumn;
}

void Screen::resize(int columns) {
  if (rewraps_) {
    rewrap(columns);
    columns_ = columns;
    pendingWrap_ = false;
    return;
  }
  columns_ = columns;
  for (Row& r : rows_)
    if (r.cells.size() > size_t(columns)) r.cells.resize(size_t(columns));
  column_ = std::min(column_, columns - 1);
  pendingWrap_ = false;
}

std::string Screen::text() const {
  std::vector<std::string> lines;
  for (const Row& r : rows_) {
    if (r.wrapped && !lines.empty()) lines.back() += r.cells;
    else lines.push_back(r.cells);
  }
  std::string text;
  for (std::string& line : lines) {
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  while (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0) text.pop_back();
  return text == "\n" ? "" : text;
}

// ---- the interactive run -------------------------------------------------------------

namespace {

void say(const char* text) {
  const ssize_t ignored = write(STDOUT_FILENO, text, std::char_traits<char>::length(text));
  (void)ignored;
}

// The forked side: a shell in miniature that runs pelund as its one job.
[[noreturn]] void runJob(const TempDir& dir) {
  signal(SIGTTOU, SIG_IGN);
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    tcsetpgrp(STDIN_FILENO, getpid());
    signal(SIGTTOU, SIG_DFL);
    setChildSignals();
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execl(PELUND_BINARY, PELUND_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(job, job);
  tcsetpgrp(STDIN_FILENO, job);
  for (;;) {
    int status = 0;
    if (waitpid(job, &status, WUNTRACED) < 0) {
      if (errno == EINTR) continue;
      _exit(127);
    }
    if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) _exit(128 + WTERMSIG(status));
    if (WIFSTOPPED(status) && WSTOPSIG(status) == SIGTSTP) {
      say("\n[stopped]\n");
      usleep(300000);
      say("[continued]\n");
      kill(-job, SIGCONT);
    }
  }
}

// The pid of the job (the forked shell's one child).
pid_t jobOf(pid_t shell) {
  std::ifstream list("/proc/" + std::to_string(shell) + "/task/" + std::to_string(shell) + "/children");
  pid_t job = -1;
  list >> job;
  return job;
}

bool isStopped(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end = text.rfind(')');
  return end == std::string::npos || end + 2 >= text.size() || text[end + 2] == 'T' || text[end + 2] == 'Z';
}

void readAvailable(int terminal, int waitMs, RunResult& result, Screen& screen, bool& ended) {
  char buffer[65536];
  pollfd watch{terminal, POLLIN, 0};
  if (poll(&watch, 1, waitMs) <= 0) return;
  const ssize_t got = read(terminal, buffer, sizeof buffer);
  if (got <= 0) {
    ended = true;  // EIO once every holder of the terminal has closed it
    return;
  }
  result.out.append(buffer, size_t(got));
  screen.feed(std::string(buffer, size_t(got)));
}

// Holds the job still, takes everything it wrote, resizes the window, lets it go on.
void resize(pid_t shell, int terminal, int columns, RunResult& result, Screen& screen, bool& ended) {
  const pid_t job = jobOf(shell);
  if (job > 0) {
    kill(job, SIGSTOP);
    while (!isStopped(job)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (size_t before = result.out.size() + 1; before != result.out.size() && !ended;) {
    before = result.out.size();
    readAvailable(terminal, 50, result, screen, ended);
  }
  winsize size{};
  size.ws_row = 24, size.ws_col = static_cast<unsigned short>(columns);
  ioctl(terminal, TIOCSWINSZ, &size);
  screen.resize(columns);
  if (job > 0) kill(job, SIGCONT);
}

}  // namespace

TerminalRun runInteractive(const TempDir& dir, int columns, const std::vector<TerminalStep>& steps, bool rewraps,
                           std::chrono::seconds timeout) {
  termios modes{};
  cfmakeraw(&modes);  // the program's bytes arrive as written
  modes.c_lflag |= ISIG | ECHO | ECHOCTL | NOFLSH;  // control keys: signals and their echo, no output dropped
  modes.c_cc[VINTR] = 3, modes.c_cc[VSUSP] = 26, modes.c_cc[VQUIT] = 28;
  winsize size{};
  size.ws_row = 24, size.ws_col = static_cast<unsigned short>(columns);
  int terminal = -1;
  const pid_t shell = forkpty(&terminal, nullptr, &modes, &size);
  if (shell < 0) throw std::runtime_error("forkpty failed");
  if (shell == 0) runJob(dir);
  TerminalRun run;
  Screen screen(columns, rewraps);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t step = 0, from = 0;  // the output from `from` on is searched for the next trigger
  bool ended = false;
  while (!ended) {
    const bool due = step < steps.size() && (steps[step].logTrigger.empty()
                                                 ? run.result.out.find(steps[step].trigger, from) != std::string::npos
                                                 : dir.read("pelund.log").find(steps[step].logTrigger) != std::string::npos);
    if (due) {
      std::this_thread::sleep_for(steps[step].delay);
      if (!steps[step].keys.empty()) {
        const ssize_t ignored = write(terminal, steps[step].keys.data(), steps[step].keys.size());
        (void)ignored;
      }
      if (steps[step].columns > 0) resize(shell, terminal, steps[step].columns, run.result, screen, ended);
      from = run.result.out.size();
      ++step;
      continue;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(jobOf(shell), SIGKILL);
      kill(shell, SIGKILL);
    }
    readAvailable(terminal, 20, run.result, screen, ended);
  }
  close(terminal);
  int status = 0;
  waitpid(shell, &status, 0);
  if (WIFEXITED(status)) run.result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.result.termSignal = WTERMSIG(status);
  run.screen = screen.text();
  run.unknownEscapes = screen.unknown();
  return run;
}

}  // namespace e2e
