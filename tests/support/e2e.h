// Helpers for end-to-end tests: a fresh temporary working directory, the real pelund
// binary run in it with its console captured byte for byte, and signals sent to the
// running child.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace e2e {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;  // empty when missing
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

struct RunResult {
  std::string out;      // everything written to standard output
  int exitStatus = -1;  // exit status, or -1 when ended by a signal
  int termSignal = 0;   // the signal that ended the process, or 0
  long peakKb = 0;      // peak resident size of the process, in KiB
  std::chrono::milliseconds afterSignals{-1};  // from the last signal sent to the end of the run
  // The processor time (user and system, all threads) the process used from the last
  // change of the step's `watch` file before its signal to the signal; -1 without one.
  std::chrono::milliseconds cpuAfterChange{-1};
  std::chrono::milliseconds cpu{0};  // the processor time of the whole run
};

// How to interrupt a run: send `signal` once the console output contains `trigger`
// (or right away when trigger is empty), after `delay`.
struct Interrupt {
  int signal = 0;
  std::string trigger;
  std::chrono::milliseconds delay{0};
  bool toChild = false;  // send it to the started process's newest child instead (a rank under mpirun)
  bool closeOutput = false;  // close the reading end of its output first (the reader of a pipe goes away)
  int rank = -1;         // >= 0: send it to the child that runs this rank under mpirun instead
  // After `delay`, also wait until the process has used this much processor time since
  // the trigger showed: a moment of the work done, whatever the load of the machine.
  std::chrono::milliseconds cpuDelay{0};
  std::string watch = {};  // a file of the run directory whose changes are timed (see RunResult)
  // When set, the trigger counts only once this is true: the test says when, for
  // instance after another run has ended, however fast this one goes.
  const std::atomic<bool>* after = nullptr;
};

// Children start with SIGINT, SIGTERM and SIGHUP at their default actions and
// unblocked, whatever this process was started with (a test run under nohup, or as a
// background job, sends them all the same), except as a StartedWith in scope says.
struct StartedWith {
  StartedWith(std::vector<int> ignored, std::vector<int> blocked);
  ~StartedWith();
};
// Sets the stop signals of a child that is about to exec, as above.
void setChildSignals();

// Runs `binary` (pelund by default) in dir with the given arguments; kills it after
// `timeout` so that a hung test fails instead of blocking the suite.
RunResult run(const TempDir& dir, const Interrupt& interrupt = {}, const std::string& arguments = "",
              std::chrono::seconds timeout = std::chrono::seconds(120), const std::string& binary = PELUND_BINARY);
// The same with several signals, each sent once its trigger shows after the one before.
RunResult runSteps(const TempDir& dir, const std::vector<Interrupt>& steps, const std::string& arguments = "",
              std::chrono::seconds timeout = std::chrono::seconds(120), const std::string& binary = PELUND_BINARY);

// Runs `binary` in dir with the given arguments and its standard output a pipe that
// nobody reads (closed before the start).
RunResult runWithoutReader(const TempDir& dir, std::chrono::seconds timeout = std::chrono::seconds(120),
                           const std::string& binary = PELUND_BINARY, const std::string& arguments = "");

// Runs `binary` in dir with its standard output a pipe or a terminal (raw, so the bytes
// arrive as written) that this side set non-blocking and reads only after `late`, so
// that the child finds it full; `stillNonBlocking` says whether this side's file kept
// the flag while the child ran.
RunResult runOnNonBlockingOutput(const TempDir& dir, bool terminal, std::chrono::milliseconds late,
                                 bool& stillNonBlocking, const std::string& binary = PELUND_BINARY,
                                 const std::string& arguments = "");

// Runs `binary` in dir on a terminal of its own (a pseudo-terminal of `columns`
// columns that passes its bytes unchanged) and returns everything it wrote there.
RunResult runOnTerminal(const TempDir& dir, int columns = 100, std::chrono::seconds timeout = std::chrono::seconds(120),
                        const std::string& binary = PELUND_BINARY);

// Runs pelund-verify in dir over its covering.txt (the independent check of every line).
RunResult verifyResults(const TempDir& dir);

// Replaces every "Status (YYYY-MM-DD HH:MM:SS): " stamp by "Status (STAMP): ", after
// checking the stamp's shape, so that exact-byte comparisons can ignore the clock.
std::string maskStamps(const std::string& text);

// The console bytes of a status line as the system writes it (stamp masked).
std::string statusLine(const std::string& message);
// The console bytes of an error line.
std::string errorLine(const std::string& message);

// What a run leaves: its console and log (stamps masked), covering.txt, pelund.state,
// and its exit status (-SIGKILL when killed outright).
struct Outcome {
  std::string out, log, covering, state;
  int status;
};
// Writes `ini` as pelund.ini in dir and runs pelund there.
Outcome runIni(TempDir& dir, const std::string& ini, const Interrupt& interrupt = {});

}  // namespace e2e
