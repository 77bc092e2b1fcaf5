// Console and log output: green time-stamped status lines (also appended to
// pelund.log), red error lines that end the process, and uncoloured progress lines
// that are pulled back with backspaces so that the next output overwrites them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// printf-style argument checking on compilers that have it (g++, clang, MinGW).
#if defined(__GNUC__) || defined(__clang__)
#define PELUND_PRINTF(index, first) __attribute__((format(printf, index, first)))
#else
#define PELUND_PRINTF(index, first)
#endif

void setupConsole();
void restoreConsole();

// Shows "Error:" and the message in red and ends the process with status 1.
[[noreturn]] void error(const char* format, ...) PELUND_PRINTF(1, 2);

// Shows the stamped message in green and appends it, stamped, to pelund.log.
void reportWithDateTime(const char* format, ...) PELUND_PRINTF(1, 2);

// A status message formatted as reportWithDateTime formats it (at most 511 bytes).
std::string statusMessage(const char* format, ...) PELUND_PRINTF(1, 2);

// Writes a run's banner: a blank line, the status lines (each shown and logged as
// reportWithDateTime does) and a blank line, flushed as one piece, so that a stop
// acknowledged as the banner is written comes before or after it, never inside it.
void showBanner(const std::vector<std::string>& messages);

// Appends the stamped message to pelund.log only, not to the console.
void logWithDateTime(const char* format, ...) PELUND_PRINTF(1, 2);

// Writes a progress text without newline, then `backspaces` backspace characters,
// and flushes, so the line is visible at once and the next output overwrites it.
void showProgress(const char* text, int backspaces);

// Writes console text that is not a status line (closing lines, blank lines) and flushes.
void consoleWrite(const char* format, ...) PELUND_PRINTF(1, 2);

// Holds progress lines back for `milliseconds` from now (safe in a signal handler).
// Held lines are shown, in order, before the next output after the hold; when the
// search has been stopped meanwhile, they are dropped instead. No other output is
// held. pelund-mpi holds them while mpirun ends a job, for mpirun reads nothing from
// the ranks then, and rank 0's last lines must still fit into the pending output.
void holdProgress(int milliseconds);

// Number of backspaces after each kind of progress line.
inline constexpr int kLoadingBackspaces = 35;
inline constexpr int kSearchingBackspaces = 65;

// Writes the text of --help or --version to standard output. A write that fails (a
// full disk, a closed pipe) is an error like any other: "<program>: standard output
// cannot be written: <cause>" on standard error, and `failure` as the exit status.
int writeHelpText(const char* program, const std::string& text, int failure);
