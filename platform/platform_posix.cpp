// POSIX implementation of the platform layer (see platform.h). Files are handled
// with raw descriptors, never through stdio, whose buffer flushes split lines.
#include "platform.h"

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

#include "line_pieces.h"

namespace {

std::string causeOf(int error) { return std::strerror(error); }

// ---- whole lines through a helper process -------------------------------------------
// A kill of this process cannot cut a write that another process makes. The helper is
// forked at the first lines for a file. It takes messages of whole lines through a
// socket (the length, then the lines) and writes each complete one, answering each
// with 0 or the error and the bytes of it that are in the file; after a failure it
// cuts the file back to the last whole line that reached it and writes nothing more.
// This process goes on meanwhile and reads the answers as they come. When it ends,
// however it ends, the socket closes: the helper finishes the write under way, drops a
// message that came in part, and ends. It uses system calls only, as a child forked
// from a process with threads must.

constexpr size_t kMessageLimit = size_t(1) << 20;
// How long all the waits on the helper together may last once the run is being
// stopped, counted from the first of them that saw the stop.
constexpr auto kStopPatience = std::chrono::milliseconds(3000);
constexpr int kPollSliceMs = 100;

struct Answer {
  int32_t error = 0;
  uint32_t unused = 0;
  uint64_t kept = 0;  // bytes of the message that are in the file
};

struct LineHelper {
  int file = -1;     // the file it writes
  int channel = -1;  // this side of the socket
  pid_t pid = -1;
  bool failed = false;           // it could not be started: the lines are written here
  bool abandoned = false;        // it did not answer while the run was stopped, and was killed
  std::deque<uint64_t> pending;  // the sizes of the messages not answered yet
  int64_t written = 0;           // the file's length after the last message answered
  std::string fault;             // the first failure, once there was one
};
LineHelper lineHelper;
bool (*stopPending)() = nullptr;
// When a wait on the helper first saw the stop (zero before): every later wait shares
// what is left of the patience, so many short waits cannot add up to a long one.
std::chrono::steady_clock::time_point stopSeen{};

// Whether the patience with the helper is used up: the run is being stopped and the
// stop was first seen kStopPatience ago.
bool patienceUsedUp() {
  if (stopPending == nullptr || !stopPending()) return false;
  const auto now = std::chrono::steady_clock::now();
  if (stopSeen == std::chrono::steady_clock::time_point{}) stopSeen = now;
  return now - stopSeen >= kStopPatience;
}

// Writes all of data[0, size); 0 or errno (ENOSPC for a write that took nothing).
int writeFully(int file, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(file, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : ENOSPC;
    data += written;
    size -= size_t(written);
  }
  return 0;
}

// After a failed write of data[0, size) to a file that was `start` bytes long: cuts
// the file back to the last whole line of the data that reached it. Returns the bytes
// of the data kept.
uint64_t keepWholeLines(int file, int64_t start, const char* data, size_t size) {
  struct stat now {};
  size_t reached = 0;
  if (fstat(file, &now) == 0 && now.st_size > start) reached = std::min<size_t>(size, size_t(now.st_size - start));
  while (reached > 0 && data[reached - 1] != '\n') --reached;
  if (ftruncate(file, off_t(start + int64_t(reached))) != 0) return 0;
  return reached;
}

// Writes data[0, size) in pieces that each stay within one page of the file; 0 or
// errno, with the bytes of the data in the file afterwards (all, or its whole lines
// that fitted).
int writeWithinPages(int file, const char* data, size_t size, uint64_t& kept) {
  kept = 0;
  struct stat info {};
  if (fstat(file, &info) != 0) return errno;
  const int error = writeInPieces(data, size, info.st_size,
                                  [file](const char* piece, size_t bytes) { return writeFully(file, piece, bytes); });
  kept = error == 0 ? size : keepWholeLines(file, info.st_size, data, size);
  return error;
}

// Waits until the channel is ready for `events`; false once the patience of a stop is
// used up without that.
bool channelReady(int channel, short events) {
  for (;;) {
    pollfd ready{channel, events, 0};
    const int count = poll(&ready, 1, stopPending != nullptr ? kPollSliceMs : -1);
    if (count > 0 || (count < 0 && errno != EINTR)) return true;  // a fault shows in the transfer
    if (patienceUsedUp()) return false;
  }
}

enum class Transfer { done, closed, silent };

Transfer transfer(int channel, void* data, size_t size, bool sending) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    if (!channelReady(channel, sending ? POLLOUT : POLLIN)) return Transfer::silent;
    const ssize_t done =
        sending ? send(channel, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT) : recv(channel, bytes, size, MSG_DONTWAIT);
    if (done < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (done <= 0) return Transfer::closed;
    bytes += done;
    size -= size_t(done);
  }
  return Transfer::done;
}

[[noreturn]] void runLineHelper(int file, int channel, char* buffer) {
  stopPending = nullptr;  // the helper waits for this process as long as it lives
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCONT, SIGTSTP, SIGXFSZ})
    sigaction(signal, &ignore, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setpgid(0, 0);  // out of the terminal's and the job's group
  // The console is closed, so that readers of it see the parent's end; the run
  // directory's lock stays, so that no run starts there before the last write here.
  for (int fd = 0; fd <= 2; ++fd)
    if (fd != file && fd != channel) close(fd);
  bool failed = false;
  for (;;) {
    uint64_t size = 0;
    if (transfer(channel, &size, sizeof size, false) != Transfer::done || size > kMessageLimit ||
        transfer(channel, buffer, size_t(size), false) != Transfer::done)
      _exit(0);
    Answer answer;
    if (!failed) answer.error = writeWithinPages(file, buffer, size_t(size), answer.kept);
    failed = failed || answer.error != 0;
    if (transfer(channel, &answer, sizeof answer, true) != Transfer::done) _exit(0);
  }
}

bool startLineHelper(int file) {
  if (lineHelper.file == file) return true;
  if (lineHelper.failed || lineHelper.file >= 0) return false;
  struct stat info {};
  if (fstat(file, &info) != 0) return false;
  static char* const buffer = new char[kMessageLimit];
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    lineHelper.failed = true;
    return false;
  }
  // No handler of this process may run in the child before it has set its own.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pair[0]);
    runLineHelper(file, pair[1], buffer);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(pair[1]);
  if (pid < 0) {
    close(pair[0]);
    lineHelper.failed = true;
    return false;
  }
  lineHelper.file = file;
  lineHelper.channel = pair[0];
  lineHelper.pid = pid;
  lineHelper.written = info.st_size;
  return true;
}

// A helper that does not answer while the run is being stopped (stopped itself, or
// stuck in a write) is killed; the file keeps the lines it had confirmed.
void abandonLineHelper() {
  kill(lineHelper.pid, SIGKILL);
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ended = waitpid(lineHelper.pid, &status, WNOHANG) == lineHelper.pid;
    if (!ended) usleep(10000);
  }
  // A helper that cannot even be reaped may still finish a write; cutting the file
  // under it would leave a gap, so its lines stay.
  std::string cutFault;  // the write's fault is the one reported
  if (ended) platformTruncate(lineHelper.file, lineHelper.written, cutFault);
  lineHelper.abandoned = true;
  lineHelper.pending.clear();
  if (lineHelper.fault.empty()) lineHelper.fault = "the process writing it does not answer";
}

// Reads one answer; false when there was none (the fault is then set).
bool takeAnswer() {
  Answer answer;
  const Transfer got = transfer(lineHelper.channel, &answer, sizeof answer, false);
  if (got == Transfer::silent) {
    abandonLineHelper();
    return false;
  }
  if (got == Transfer::closed) {
    if (lineHelper.fault.empty()) lineHelper.fault = "the process writing it has ended";
    return false;
  }
  lineHelper.written += int64_t(answer.kept);
  lineHelper.pending.pop_front();
  if (answer.error != 0 && lineHelper.fault.empty()) lineHelper.fault = causeOf(answer.error);
  return true;
}

// Takes the answers that have come (all of them when `wait`); false once a write failed
// or the helper is gone: the file is then cut back to the last line it confirmed.
bool takeAnswers(bool wait) {
  while (lineHelper.fault.empty() && !lineHelper.pending.empty()) {
    int available = 0;
    if (!wait && (ioctl(lineHelper.channel, FIONREAD, &available) != 0 || available < int(sizeof(Answer)))) break;
    if (!takeAnswer()) break;
  }
  if (lineHelper.fault.empty()) return true;
  if (lineHelper.abandoned) return false;
  // The helper writes nothing after a failure; wait until it has answered the rest.
  while (!lineHelper.pending.empty() && takeAnswer()) {
  }
  std::string cutFault;  // the write's fault is the one reported
  if (!lineHelper.abandoned) platformTruncate(lineHelper.file, lineHelper.written, cutFault);
  return false;
}

// Ends the helper after its last answer. It ends when it reads the end of the channel;
// its own end of the channel closes as it ends, and that is waited for like an answer:
// a helper stopped or stuck (every write answered or not) is ended once the patience
// of a stop is used up, so that no path waits on it without bound.
void stopLineHelper() {
  takeAnswers(true);
  if (!lineHelper.abandoned) {
    shutdown(lineHelper.channel, SHUT_WR);
    char extra = 0;
    if (transfer(lineHelper.channel, &extra, 1, false) == Transfer::silent) abandonLineHelper();
  }
  close(lineHelper.channel);
  int status = 0;
  while (!lineHelper.abandoned && waitpid(lineHelper.pid, &status, 0) < 0 && errno == EINTR) {
  }
  lineHelper = LineHelper{};
}

// The directory part of a path ("." when it has none).
std::string directoryOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return std::string(path, size_t(slash - path));
}

}  // namespace

bool platformEnableEscapes(uint32_t* previousMode) {
  // POSIX terminals interpret ANSI sequences by themselves; nothing to switch.
  (void)previousMode;
  return false;
}

void platformRestoreMode(uint32_t mode) { (void)mode; }

namespace {

// Standard output or error that the parent left non-blocking (a pipe or a terminal
// whose open file it shares, set so by another program) makes stdio drop what a full
// pipe or a slow terminal does not take at once. The same pipe or terminal is opened
// again, a file of this process alone, and made blocking there; the parent's file
// keeps its flags. Opened non-blocking first, so that a pipe without a reader fails
// at once instead of waiting for one; where it cannot be opened (no /proc, a socket)
// the descriptor stays as it was.
void blockOn(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  struct stat info {};
  if (flags == -1 || (flags & O_NONBLOCK) == 0 || fstat(fd, &info) != 0) return;
  if (!S_ISFIFO(info.st_mode) && isatty(fd) != 1) return;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int opened = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (opened == -1) return;
  const int own = fcntl(opened, F_GETFL);
  if (own != -1 && fcntl(opened, F_SETFL, own & ~O_NONBLOCK) == 0) dup2(opened, fd);
  close(opened);
}

}  // namespace

void platformGuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is this one.
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened > 2) close(opened);
  }
  blockOn(STDOUT_FILENO);
  blockOn(STDERR_FILENO);
}

bool platformStdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int platformTerminalColumns() {
  winsize size {};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? int(size.ws_col) : 0;
}

bool platformKeepEscapesOn() { return true; }

void platformWriteStdout(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDOUT_FILENO, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// A stop signal that the process was started with ignored stays ignored: nohup asks
// that of SIGHUP, and a shell of SIGINT for its background jobs. One that it was
// started with blocked is unblocked, so that a run can always be stopped.
void platformInstallStopHandlers(void (*handler)(int)) {
  constexpr int kStops[] = {SIGINT, SIGTERM, SIGHUP};
  static const auto ignoredAtStart = [&] {
    std::array<bool, std::size(kStops)> ignored{};
    for (size_t i = 0; i < ignored.size(); ++i) {
      struct sigaction inherited {};
      ignored[i] = sigaction(kStops[i], nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN;
    }
    return ignored;
  }();
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigset_t stops;
  sigemptyset(&stops);
  for (size_t i = 0; i < std::size(kStops); ++i) {
    if (ignoredAtStart[i]) continue;
    sigaction(kStops[i], &action, nullptr);
    sigaddset(&stops, kStops[i]);
  }
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

void platformInstallContinueHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGCONT, &action, nullptr);
}

void platformIgnoreBrokenPipe() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

namespace {

void (*brokenPipeHandler)(int) = nullptr;

// Every later write to the pipe raises SIGPIPE again: it is ignored from the first on.
void onBrokenPipe(int signal) {
  platformIgnoreBrokenPipe();
  if (brokenPipeHandler != nullptr) brokenPipeHandler(signal);
}

}  // namespace

void platformInstallBrokenPipeHandler(void (*handler)(int)) {
  brokenPipeHandler = handler;
  struct sigaction action {};
  action.sa_handler = onBrokenPipe;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

namespace {

void (*suspendHandler)(int) = nullptr;

void installSuspendHandler() {
  struct sigaction action {};
  action.sa_handler = suspendHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTSTP, &action, nullptr);
}

}  // namespace

void platformInstallSuspendHandler(void (*handler)(int)) {
  suspendHandler = handler;
  installSuspendHandler();
}

void platformSuspendNow() {
  const int saved = errno;
  struct sigaction stop {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, nullptr);
  // Raised while blocked in the handler, it takes effect as it is unblocked; the
  // handler's return then blocks it again until the return is complete.
  raise(SIGTSTP);
  sigset_t tstp;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &tstp, nullptr);
  if (suspendHandler != nullptr) installSuspendHandler();
  errno = saved;
}

void platformIgnoreFileSizeSignal() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, nullptr);
}

std::tm platformLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

bool platformIsSymbolicLink(const char* path) {
  struct stat info {};
  return lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
}

namespace {

// The cause of a failed open without following links: a link at the place is named
// as such, not as "Too many levels of symbolic links".
std::string causeOfOpen(const char* path, int error) {
  return error == ELOOP && platformIsSymbolicLink(path) ? "it is a symbolic link" : causeOf(error);
}

// A descriptor of a regular file, or -1 with the cause (the descriptor is closed).
int regularOnly(int fd, std::string& cause) {
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    cause = causeOf(errno);
  } else if (S_ISDIR(info.st_mode)) {
    cause = causeOf(EISDIR);
  } else if (!S_ISREG(info.st_mode)) {
    cause = "not a regular file";
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

std::vector<std::string> platformArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

std::FILE* platformOpenForReading(const char* path) { return std::fopen(path, "rb"); }

ReadOutcome platformReadSmallFile(const char* path, size_t limit, std::string& text, std::string& cause) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
    const ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      cause = causeOf(errno);
      close(fd);
      return ReadOutcome::failed;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  close(fd);
  text.resize(got);
  return ReadOutcome::read;
}

PlatformFile platformOpenExisting(const char* path, bool& missing, std::string& cause) {
  missing = false;
  const int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    cause = causeOfOpen(path, errno);
    return kNoFile;
  }
  return regularOnly(fd, cause);
}

int64_t platformReadAt(PlatformFile file, int64_t offset, char* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(file, data + got, size - got, off_t(offset + int64_t(got)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += size_t(n);
  }
  return int64_t(got);
}

bool platformAppendToLog(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string cause;
  const int regular = regularOnly(fd, cause);
  const bool written = regular >= 0 && writeFully(regular, text.data(), text.size()) == 0;
  if (regular >= 0) close(regular);
  return written;
}

bool platformRemoveFile(const char* path, std::string& cause) {
  if (unlink(path) == 0 || errno == ENOENT) return true;
  // Linux answers EISDIR for a directory, other systems EPERM; name it plainly.
  struct stat info {};
  cause = lstat(path, &info) == 0 && S_ISDIR(info.st_mode) ? causeOf(EISDIR) : causeOf(errno);
  return false;
}

PlatformFile platformOpenAppend(const char* path, bool create, std::string& cause) {
  int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = open(path, flags, 0644);
  if (fd < 0) cause = causeOf(errno);
  return fd;
}

int64_t platformFileLength(PlatformFile file) {
  struct stat info {};
  return fstat(file, &info) == 0 ? int64_t(info.st_size) : -1;
}

bool platformWriteAll(PlatformFile file, const char* data, size_t size, std::string& cause) {
  const int error = writeFully(file, data, size);
  if (error != 0) cause = causeOf(error);
  return error == 0;
}

bool platformAppendLines(PlatformFile file, const char* data, size_t size, std::string& cause) {
  if (!startLineHelper(file)) {
    uint64_t kept = 0;
    const int error = writeWithinPages(file, data, size, kept);
    if (error != 0) cause = causeOf(error);
    return error == 0;
  }
  for (size_t begin = 0; begin < size;) {
    if (!takeAnswers(false)) break;
    // A message of whole lines, as many as fit.
    size_t end = size;
    if (end - begin > kMessageLimit) {
      end = begin + kMessageLimit;
      while (end > begin && data[end - 1] != '\n') --end;
      if (end == begin) {
        cause = "a line is longer than 1 MiB";
        return false;
      }
    }
    uint64_t length = end - begin;
    Transfer sent = transfer(lineHelper.channel, &length, sizeof length, true);
    if (sent == Transfer::done) sent = transfer(lineHelper.channel, const_cast<char*>(data + begin), end - begin, true);
    if (sent == Transfer::silent) {
      abandonLineHelper();
      break;
    }
    if (sent == Transfer::closed) {
      lineHelper.fault = "the process writing it has ended";
      takeAnswers(true);
      break;
    }
    lineHelper.pending.push_back(length);
    begin = end;
  }
  cause = lineHelper.fault;
  return cause.empty();
}

void platformBoundWaitsOnStop(bool (*pending)()) { stopPending = pending; }

bool platformFlushLines(PlatformFile file, std::string& cause) {
  if (lineHelper.file != file) return true;
  takeAnswers(true);
  cause = lineHelper.fault;
  return cause.empty();
}

bool platformTruncate(PlatformFile file, int64_t length, std::string& cause) {
  if (ftruncate(file, off_t(length)) == 0) return true;
  cause = causeOf(errno);
  return false;
}

bool platformSyncFile(PlatformFile file, std::string& cause) {
  if (fsync(file) == 0) return true;
  cause = causeOf(errno);
  return false;
}

void platformCloseFile(PlatformFile file) {
  if (file == kNoFile) return;
  if (lineHelper.file == file) stopLineHelper();
  close(file);
}

bool platformReplaceFile(const char* temporary, const char* path, std::string& cause) {
  if (rename(temporary, path) != 0) {
    cause = causeOf(errno);
    return false;
  }
  int directory = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) {
    cause = causeOf(errno);
    return false;
  }
  bool synced = fsync(directory) == 0;
  if (!synced) cause = causeOf(errno);
  close(directory);
  return synced;
}

bool platformLockFile(const char* path, bool& busy, std::string& cause) {
  busy = false;
  // Never closed: the lock lives as long as the process. A lock file left by another
  // user opens read-only, and flock takes a read-only descriptor as well.
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    const int refused = errno;  // what stands when the file is missing too: it cannot be created
    fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) errno = refused;
  }
  if (fd < 0) {
    cause = causeOfOpen(path, errno);
    return false;
  }
  if ((fd = regularOnly(fd, cause)) < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  busy = errno == EWOULDBLOCK;
  cause = causeOf(errno);
  close(fd);
  return false;
}

// ---- processes ------------------------------------------------------------------

int64_t platformProcessId() { return int64_t(getpid()); }

std::string platformMachineName() {
  std::ifstream boot("/proc/sys/kernel/random/boot_id");
  std::string id;
  char names[256];
  const ssize_t length = readlink("/proc/self/ns/pid", names, sizeof names);
  if (!std::getline(boot, id) || id.empty() || length <= 0) return "";
  return id + ' ' + std::string(names, size_t(length));
}

// The state letter and start time of /proc/<pid>/stat; false when it cannot be read
// (`gone` when there is no such process).
bool platformProcessStat(int64_t pid, char& state, uint64_t& started, bool& gone) {
  gone = false;
  const int file = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    gone = errno == ENOENT || errno == ESRCH;
    return false;
  }
  char buffer[1024];
  const ssize_t got = read(file, buffer, sizeof buffer - 1);
  const int cause = errno;
  close(file);
  if (got <= 0) {
    gone = got < 0 && cause == ESRCH;  // ended between the two calls
    return false;
  }
  const std::string line(buffer, size_t(got));
  // The name, in parentheses, may hold blanks and parentheses itself: the fields
  // resume after the last ')'. Then the state is field 3, the start time field 22.
  const size_t name = line.rfind(')');
  if (name == std::string::npos) return false;
  std::istringstream fields(line.substr(name + 1));
  std::string skip;
  fields >> state;
  for (int field = 4; field < 22; ++field) fields >> skip;
  return bool(fields >> started);
}

void platformOneHeap() {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, 1);
#endif
}
