// The thin platform layer: the few console-mode, signal, time and file operations
// that the system needs of its host, behind one small interface with a POSIX and a
// Windows implementation. Everything else in the system uses only the standard
// library. Faults come back as a false result and a cause in words (the system's
// message for the error), so that callers can name the file and the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// ---- console ------------------------------------------------------------------

// Switches interpretation of escape sequences on for standard output when that is a
// console that needs it; stores the previous mode. Returns false when nothing was done.
bool platformEnableEscapes(uint32_t* previousMode);
// Puts a console mode saved by platformEnableEscapes back; harmless when there is none.
void platformRestoreMode(uint32_t mode);

// Opens the null device on any of the standard descriptors 0, 1 and 2 that is closed,
// so that no file opened later can take one of them. Call before opening any file.
// On Windows it also puts standard output and error in binary mode, so that the
// console bytes are the same on every system ("\n" is written as LF).
void platformGuardStandardStreams();

// Whether standard output is a terminal (a console window on Windows), and its width
// in columns (0 when unknown).
bool platformStdoutIsTerminal();
int platformTerminalColumns();

// Switches interpretation of escape sequences on for standard output for the rest of
// the process where the console needs it; whether it interprets them now (always on
// POSIX terminals; on Windows consoles from Windows 10 on).
bool platformKeepEscapesOn();

// Writes bytes straight to standard output; async-signal-safe.
void platformWriteStdout(const char* text, size_t length);

// ---- interrupts ---------------------------------------------------------------

// Installs `handler` for every request to stop: SIGINT, SIGTERM and SIGHUP here
// (Ctrl-C, Ctrl-Break and a closed console window on Windows). Each is one-shot: after
// its first delivery the request has its default action again, so a second one ends
// a stuck process. The handler gets the signal number (SIGINT for Ctrl-C and
// Ctrl-Break on Windows, SIGTERM for a closed console window; there the first
// request of any kind is the one that is handled). A signal that the process was
// started with ignored (nohup) stays ignored; one started blocked is unblocked.
void platformInstallStopHandlers(void (*handler)(int));

// Installs `handler` for SIGTSTP (Ctrl-Z), which must end with platformSuspendNow.
// Nothing on Windows.
void platformInstallSuspendHandler(void (*handler)(int));
// Stops the process as SIGTSTP does by default, from its handler or outside one;
// returns once it is continued, with the handler in place again. Async-signal-safe.
void platformSuspendNow();

// Ignores SIGXFSZ, so that a write beyond a file size limit fails with "File too
// large" (EFBIG) instead of ending the process. Nothing on Windows.
void platformIgnoreFileSizeSignal();

// Ignores SIGPIPE, so that a write to a pipe whose reader has gone fails with EPIPE
// instead of ending the process. Nothing on Windows, where such a write just fails.
void platformIgnoreBrokenPipe();

// Installs `handler` for SIGPIPE: it is called at the first write to a pipe (standard
// output) whose reader has gone; from then on SIGPIPE is ignored and such writes just
// fail. Nothing on Windows.
void platformInstallBrokenPipeHandler(void (*handler)(int));

// Installs `handler` for SIGCONT, which a process gets when it is continued and which
// mpirun sends to every rank as it starts to end a job. Nothing on Windows.
void platformInstallContinueHandler(void (*handler)(int));

// ---- time ---------------------------------------------------------------------

// Current local date and time, to the second.
std::tm platformLocalTime();

// ---- arguments ----------------------------------------------------------------

// The program's arguments after its name, in UTF-8. On Windows they are read from the
// wide command line, so that a file name outside the ANSI code page arrives whole
// (argv holds it in that code page, with '?' for what it lacks); elsewhere argv as it is.
std::vector<std::string> platformArguments(int argc, char** argv);

// ---- files --------------------------------------------------------------------

// Opens `path` (UTF-8, as platformArguments gives it) for reading bytes, as
// std::fopen(path, "rb") does, by its wide name on Windows; nullptr with errno set.
std::FILE* platformOpenForReading(const char* path);

// An open file for raw writes; -1 when none.
using PlatformFile = int;
inline constexpr PlatformFile kNoFile = -1;

// Whether `path` is a symbolic link (never on Windows, whose openers follow links).
bool platformIsSymbolicLink(const char* path);

// How a read of a small file ended.
enum class ReadOutcome { read, missing, failed };
// Reads a regular file of at most `limit` bytes whole (a longer one is cut at `limit`
// + 1 bytes, so the caller sees that it is too long), without following a symbolic
// link at its place and without waiting on a FIFO. `missing` only when nothing is at
// `path`; anything else that cannot be read is `failed`, with the cause.
ReadOutcome platformReadSmallFile(const char* path, size_t limit, std::string& text, std::string& cause);

// Removes a file. A missing file is fine; a directory or any other failure is not.
bool platformRemoveFile(const char* path, std::string& cause);

// Opens `path` for appending without following a symbolic link at its place,
// creating it when `create`; else it must exist.
PlatformFile platformOpenAppend(const char* path, bool create, std::string& cause);
// Opens an existing regular file for reading and writing, without following a
// symbolic link at its place and without waiting on a FIFO; `missing` when nothing is
// at `path`. Anything that is not a regular file is refused ("not a regular file").
PlatformFile platformOpenExisting(const char* path, bool& missing, std::string& cause);
// Reads up to `size` bytes at `offset`; the number read, or -1.
int64_t platformReadAt(PlatformFile file, int64_t offset, char* data, size_t size);
// Appends `text` to the log at `path` in one write, creating it, without following a
// symbolic link at its place; false when it cannot be opened or written.
bool platformAppendToLog(const char* path, const std::string& text);
// The file's length, or -1.
int64_t platformFileLength(PlatformFile file);
// Writes all of `data` in one write where the system allows; false on any failure or
// short write, with the cause.
bool platformWriteAll(PlatformFile file, const char* data, size_t size, std::string& cause);
// Appends `data`, whole lines ending with one, so that the file ends at a line end
// whatever happens meanwhile, even when this process is killed outright: each write
// stays within one page of the file (see line_pieces.h), and on POSIX a small helper
// process of this one makes the writes, which a kill of this process never cuts; the
// lines handed to it are written even then. There the writes go on while this
// process works: a failure shows at a later append or at platformFlushLines. On any
// failure the file is cut back to the last whole line written, and the call returns
// false with the cause. One file at a time is written this way; platformCloseFile
// ends its helper (after its last write). While `stopPending` (see
// platformBoundWaitsOnStop) says that the run is being stopped, every wait on the
// helper is bounded: one that does not answer within a few seconds is ended, the file
// cut back to the lines it had confirmed, and the call fails with the cause.
bool platformAppendLines(PlatformFile file, const char* data, size_t size, std::string& cause);
// Bounds the waits of platformAppendLines and platformFlushLines once `stopPending`
// returns true (it must be safe to call from any thread; null: never bounded).
void platformBoundWaitsOnStop(bool (*stopPending)());
// Waits until every line appended is in the file; false as platformAppendLines.
bool platformFlushLines(PlatformFile file, std::string& cause);
// Cuts the file back to `length` bytes; false with the cause if it cannot.
bool platformTruncate(PlatformFile file, int64_t length, std::string& cause);
// Flushes the file's data to the device.
bool platformSyncFile(PlatformFile file, std::string& cause);
void platformCloseFile(PlatformFile file);

// Replaces `path` atomically by `temporary` and flushes the directory entry, so that
// after a crash `path` holds either its old or its new content.
bool platformReplaceFile(const char* temporary, const char* path, std::string& cause);

// Takes an exclusive lock on `path` (created if missing) for the rest of the process's
// life; the system drops it when the process ends, however it ends. A lock file that
// exists but cannot be written (another user's) is locked through a read-only
// descriptor. Never follows a symbolic link, never waits on a FIFO; anything but a
// regular file is refused. Returns false with `busy` set when another process holds
// it, and with the cause otherwise.
bool platformLockFile(const char* path, bool& busy, std::string& cause);

// ---- processes ------------------------------------------------------------------

// This process's id.
int64_t platformProcessId();
// A name of this machine and its process namespace (boot id and pid namespace), the
// same for every process that can see the others' process ids; empty where unknown.
std::string platformMachineName();
// The state letter and start time (in clock ticks since boot) of process `pid`; false
// when they cannot be read, with `gone` set when there is no such process.
bool platformProcessStat(int64_t pid, char& state, uint64_t& started, bool& gone);
// Makes every thread of this process allocate from one heap, where the C library
// gives each thread a heap of its own (glibc): buffers of lines made on one thread and
// freed on another then leave no memory held in other threads' heaps. Called before
// any thread starts.
void platformOneHeap();
