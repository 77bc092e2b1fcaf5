// Windows implementation of the platform layer (see platform.h), for MinGW-w64 and
// MSVC. Files are CRT descriptors opened in binary mode, so that covering.txt,
// pelund.log and pelund.state hold LF line ends exactly as on POSIX systems, and
// every batch of lines is one _write, which the CRT passes to one WriteFile.
// Stop requests come from the console (Ctrl-C, Ctrl-Break, a closed window) through
// a console control handler, which Windows runs on a thread of its own.
#include "platform.h"
#include "line_pieces.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

std::string causeOf(int error) { return std::strerror(error); }

// The system's message for a Win32 error code, without its closing period and line end.
std::string causeOfLastError() {
  const DWORD code = GetLastError();
  char text[256] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ' ||
                        text[length - 1] == '.'))
    --length;
  if (length == 0) return "Windows error " + std::to_string(code);
  return std::string(text, length);
}

void (*stopHandler)(int) = nullptr;
std::atomic<bool> stopDelivered{false};

// Ctrl-C and Ctrl-Break arrive as SIGINT, a closed console window as SIGTERM (the
// request of a system that is ending the process, which SIGHUP would be on POSIX).
// The first request of any kind goes to the handler; later ones get the default
// action, which ends the process. After a close the system ends the process as soon
// as this routine returns (or after about five seconds), so the routine waits there
// and gives the search that time to write its last lines and exit by itself.
BOOL WINAPI onConsoleControl(DWORD event) {
  int signal = 0;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      signal = SIGINT;
      break;
    case CTRL_CLOSE_EVENT:
      signal = SIGTERM;
      break;
    default:
      return FALSE;  // log-off and shutdown reach services only
  }
  if (stopDelivered.exchange(true) || stopHandler == nullptr) return FALSE;
  stopHandler(signal);
  if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
  return TRUE;
}

// SIGTERM is raised only from within a process on Windows; it is kept so that
// raise(SIGTERM) stops a search as kill does on POSIX. The CRT resets a signal to its
// default action before it calls the handler, which gives the one-shot behaviour.
void onTerminate(int signal) {
  if (!stopDelivered.exchange(true) && stopHandler != nullptr) {
    stopHandler(signal);
  } else {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

}  // namespace

bool platformEnableEscapes(uint32_t* previousMode) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;  // not a console
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return false;
  // Consoles before Windows 10 refuse the mode; their output shows the raw sequences.
  if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  *previousMode = mode;
  return true;
}

void platformRestoreMode(uint32_t mode) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) SetConsoleMode(out, mode);
}

void platformGuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    // -1: closed; -2: a descriptor without a handle (a process started without a console).
    const intptr_t handle = _get_osfhandle(fd);
    if (handle != -1 && handle != -2) continue;
    int opened = _open("NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
    if (opened < 0) continue;
    if (opened != fd) {
      _dup2(opened, fd);
      _close(opened);
    }
  }
  // The console bytes are those of POSIX: "\n" stays LF (a console starts a new line
  // at LF by itself) instead of the CR LF of the CRT's text mode.
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
}

bool platformStdoutIsTerminal() { return _isatty(1) != 0; }

int platformTerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return int(info.srWindow.Right - info.srWindow.Left + 1);
}

bool platformKeepEscapesOn() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void platformWriteStdout(const char* text, size_t length) {
  while (length > 0) {
    const unsigned chunk = length > INT_MAX ? unsigned(INT_MAX) : unsigned(length);
    const int written = _write(1, text, chunk);
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

void platformInstallStopHandlers(void (*handler)(int)) {
  stopHandler = handler;
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  std::signal(SIGTERM, onTerminate);
}

void platformInstallContinueHandler(void (*)(int)) {}

void platformIgnoreBrokenPipe() {}

void platformInstallSuspendHandler(void (*)(int)) {}

void platformSuspendNow() {}

void platformInstallBrokenPipeHandler(void (*)(int)) {}

void platformIgnoreFileSizeSignal() {}

std::tm platformLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  return local;
}

namespace {

std::string utf8Of(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string text(size_t(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  return text;
}

}  // namespace

std::vector<std::string> platformArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  // The wide command line splits as the CRT splits argv; should the two ever disagree
  // on the count, argv is kept rather than arguments guessed.
  if (wide == nullptr || count != argc) {
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(utf8Of(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::FILE* platformOpenForReading(const char* path) {
  // A name that is not UTF-8 (bytes of the ANSI code page) is opened as it is.
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (size <= 0) return std::fopen(path, "rb");
  std::wstring wide(size_t(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), size);
  return _wfopen(wide.c_str(), L"rb");
}

// Openers follow links on Windows (see platformOpenAppend), so none is ever in the way.
bool platformIsSymbolicLink(const char*) { return false; }

namespace {

bool isDirectory(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The cause of a failed _open: Windows answers EACCES for a directory.
std::string causeOfOpen(const char* path, int error) { return causeOf(isDirectory(path) ? EISDIR : error); }

// A descriptor of a regular file (not a device such as NUL or CON), or -1 with the cause.
int regularOnly(int fd, std::string& cause) {
  struct _stat64 info {};
  if (_fstat64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG) return fd;
  cause = "not a regular file";
  _close(fd);
  return -1;
}

}  // namespace

ReadOutcome platformReadSmallFile(const char* path, size_t limit, std::string& text, std::string& cause) {
  int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    if (errno == ENOENT) return ReadOutcome::missing;
    cause = causeOfOpen(path, errno);
    return ReadOutcome::failed;
  }
  if ((fd = regularOnly(fd, cause)) < 0) return ReadOutcome::failed;
  // The buffer grows with what is read, up to one byte past the limit (which tells a
  // larger file): a small file of a large limit costs no more than its size.
  text.clear();
  size_t got = 0;
  for (;;) {
    if (got == text.size()) {
      if (got > limit) break;
      text.resize(std::min(limit + 1, std::max<size_t>(4096, 2 * got)));
    }
    const int n = _read(fd, text.data() + got, unsigned(std::min<size_t>(text.size() - got, INT_MAX)));
    if (n < 0) {
      cause = causeOf(errno);
      _close(fd);
      return ReadOutcome::failed;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  _close(fd);
  text.resize(got);
  return ReadOutcome::read;
}

PlatformFile platformOpenExisting(const char* path, bool& missing, std::string& cause) {
  missing = false;
  const int fd = _open(path, _O_RDWR | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    missing = errno == ENOENT;
    cause = causeOfOpen(path, errno);
    return kNoFile;
  }
  return regularOnly(fd, cause);
}

int64_t platformReadAt(PlatformFile file, int64_t offset, char* data, size_t size) {
  if (_lseeki64(file, offset, SEEK_SET) != offset) return -1;
  size_t got = 0;
  while (got < size) {
    const int n = _read(file, data + got, unsigned(std::min<size_t>(size - got, INT_MAX)));
    if (n < 0) return -1;
    if (n == 0) break;
    got += size_t(n);
  }
  return int64_t(got);
}

bool platformAppendToLog(const char* path, const std::string& text) {
  const int fd = _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  std::string cause;
  const int regular = regularOnly(fd, cause);
  const bool written = regular >= 0 && platformWriteAll(regular, text.data(), text.size(), cause);
  if (regular >= 0) _close(regular);
  return written;
}

bool platformRemoveFile(const char* path, std::string& cause) {
  if (_unlink(path) == 0 || errno == ENOENT) return true;
  const int error = errno;
  // Windows answers EACCES for a directory; name it as POSIX systems do.
  const DWORD attributes = GetFileAttributesA(path);
  const bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  cause = causeOf(directory ? EISDIR : error);
  return false;
}

// Windows resolves a symbolic link at `path` like any other opener; only an
// administrator or a user in developer mode can create one, so no O_NOFOLLOW
// counterpart is needed to keep a run directory's files its own.
PlatformFile platformOpenAppend(const char* path, bool create, std::string& cause) {
  const int flags = _O_WRONLY | _O_APPEND | _O_BINARY | _O_NOINHERIT | (create ? _O_CREAT : 0);
  int fd = _open(path, flags, _S_IREAD | _S_IWRITE);
  if (fd < 0) cause = causeOf(errno);
  return fd;
}

int64_t platformFileLength(PlatformFile file) { return _filelengthi64(file); }

bool platformWriteAll(PlatformFile file, const char* data, size_t size, std::string& cause) {
  while (size > 0) {
    const unsigned chunk = size > INT_MAX ? unsigned(INT_MAX) : unsigned(size);
    const int written = _write(file, data, chunk);
    if (written <= 0) {
      cause = causeOf(written < 0 ? errno : ENOSPC);
      return false;
    }
    data += written;
    size -= size_t(written);
  }
  return true;
}

bool platformAppendLines(PlatformFile file, const char* data, size_t size, std::string& cause) {
  const int64_t start = platformFileLength(file);
  if (start < 0) {
    cause = causeOf(errno);
    return false;
  }
  const int failed = writeInPieces(data, size, start, [&](const char* piece, size_t bytes) {
    return platformWriteAll(file, piece, bytes, cause) ? 0 : 1;
  });
  if (failed == 0) return true;
  // Keep every whole line that reached the file.
  const int64_t now = platformFileLength(file);
  size_t reached = now > start ? std::min<size_t>(size, size_t(now - start)) : 0;
  while (reached > 0 && data[reached - 1] != '\n') --reached;
  std::string cutFault;  // the write's fault is the one reported
  platformTruncate(file, start + int64_t(reached), cutFault);
  return false;
}

void platformBoundWaitsOnStop(bool (*)()) {}  // lines are written by this process itself

bool platformFlushLines(PlatformFile, std::string&) { return true; }

bool platformTruncate(PlatformFile file, int64_t length, std::string& cause) {
  const errno_t failed = _chsize_s(file, length);
  if (failed == 0) return true;
  cause = causeOf(failed);
  return false;
}

bool platformSyncFile(PlatformFile file, std::string& cause) {
  if (_commit(file) == 0) return true;
  cause = causeOf(errno);
  return false;
}

void platformCloseFile(PlatformFile file) {
  if (file != kNoFile) _close(file);
}

bool platformReplaceFile(const char* temporary, const char* path, std::string& cause) {
  // With write-through the call returns after the new directory entry is on the
  // device, which is what the directory flush does on POSIX.
  if (MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  cause = causeOfLastError();
  return false;
}

bool platformLockFile(const char* path, bool& busy, std::string& cause) {
  busy = false;
  // Never closed: the lock lives as long as the process. Others may still open the
  // file (it holds nothing); only the lock is exclusive.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  // A lock file of another user that this one may only read is locked all the same.
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && !isDirectory(path))
    file = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    cause = "not a regular file";
    return false;
  }
  if (file == INVALID_HANDLE_VALUE) {
    cause = causeOfLastError();
    return false;
  }
  OVERLAPPED whole{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) return true;
  const DWORD error = GetLastError();
  busy = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING;
  cause = causeOfLastError();
  CloseHandle(file);
  return false;
}

// ---- processes ------------------------------------------------------------------

// No other rank's process is looked at here: a rank that does not answer is timed.
int64_t platformProcessId() { return int64_t(GetCurrentProcessId()); }
std::string platformMachineName() { return ""; }
bool platformProcessStat(int64_t, char&, uint64_t&, bool& gone) {
  gone = false;
  return false;
}

void platformOneHeap() {}  // one process heap already
