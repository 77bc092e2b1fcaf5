// Interactive runs on a terminal for end-to-end tests: a model of what a terminal
// shows, and pelund run on a pseudo-terminal the way a shell runs a job, with keys
// typed and the window resized along the way.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "e2e.h"

namespace e2e {

// What a terminal of the VT100 family (xterm) shows for the bytes it is given, with
// every row kept (the scrollback too): printable characters with the deferred wrap
// at the last column, carriage return, line feed (as CR LF, as a terminal's line
// discipline turns "\n" into), backspace, colours (ignored), erase in line (ESC [ K)
// and in display (ESC [ J). A narrower window cuts its rows, as xterm does, or
// rewraps its lines, as VTE (GNOME's terminal) does, the cursor kept on its character.
class Screen {
 public:
  explicit Screen(int columns, bool rewraps = false) : columns_(columns), rewraps_(rewraps) {}
  void feed(const std::string& bytes);
  void resize(int columns);
  // The lines shown, rows joined where the terminal wrapped them, blanks at their ends
  // dropped, and empty rows at the end.
  std::string text() const;
  // Escape sequences the model does not know (a test expects none).
  const std::string& unknown() const { return unknown_; }

 private:
  struct Row {
    std::string cells;
    bool wrapped = false;  // entered by the wrap at the end of the row before
  };
  Row& row(size_t index);
  void put(char c);
  void escape(const std::string& sequence);

  void rewrap(int columns);

  int columns_;
  bool rewraps_;
  std::vector<Row> rows_;
  size_t row_ = 0;
  int column_ = 0;
  bool pendingWrap_ = false;
  std::string partial_;  // an escape sequence split between two feeds
  std::string unknown_;
};

// A step of an interactive run, taken once `trigger` shows in the output after the
// step before (or `logTrigger` in the run's log), after `delay`: `keys` typed (Ctrl-C "\x03", Ctrl-Z "\x1a"), or the
// window resized to `columns` (the program held still meanwhile, so that none of its
// output is drawn at a width it did not draw it for).
struct TerminalStep {
  std::string trigger;
  std::string logTrigger;  // when set: once pelund.log holds this instead
  std::chrono::milliseconds delay{0};
  std::string keys;
  int columns = 0;
};

struct TerminalRun {
  RunResult result;    // the bytes written to the terminal, with the terminal's echo
  std::string screen;  // Screen::text() at the end
  std::string unknownEscapes;
};

// Runs pelund in dir on a pseudo-terminal of `columns` columns whose line discipline
// turns Ctrl-C and Ctrl-Z into signals and echoes them ("^C"), started as a shell
// starts a job: in a process group of its own in the foreground. A stop by Ctrl-Z is
// reported ("\n[stopped]\n"), and after 300 ms the job is continued ("[continued]\n").
// `rewraps`: the terminal rewraps its lines when resized (see Screen).
TerminalRun runInteractive(const TempDir& dir, int columns, const std::vector<TerminalStep>& steps,
                           bool rewraps = false, std::chrono::seconds timeout = std::chrono::seconds(120));

}  // namespace e2e
