// POSIX implementation of the platform layer (see platform.h). Files are handled
// with raw descriptors, never through stdio, whose buffer flushes split lines.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "line_pieces.h"

namespace {

std::string causeOf(int error) { return std::strerror(error); }

// ---- whole lines through a helper process -------------------------------------------
// A kill of this process cannot cut a write that another process makes. The helper is
// forked at the first lines for a file. It takes messages of whole lines through a
// socket (the length, then the lines) and writes each complete one, answering each
// with 0 or the error; after a failure it writes nothing more. This process goes on
// meanwhile and reads the answers as they come. When it ends, however it ends, the
// socket closes: the helper finishes the write under way, drops a message that came in
// part, and ends. It uses system calls only, as a child forked from a process with
// threads must.

constexpr size_t kMessageLimit = size_t(1) << 20;

struct LineHelper {
  int file = -1;     // the file it writes
  int channel = -1;  // this side of the socket
  pid_t pid = -1;
  bool failed = false;           // it could not be started: the lines are written here
  std::deque<uint64_t> pending;  // the sizes of the messages not answered yet
  int64_t written = 0;           // the file's length after the last message answered
  std::string fault;             // the first failure, once there was one
};
LineHelper lineHelper;

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

// Writes data[0, size) in pieces that each stay within one page of the file; 0 or errno.
int writeWithinPages(int file, const char* data, size_t size) {
  struct stat info {};
  if (fstat(file, &info) != 0) return errno;
  return writeInPieces(data, size, info.st_size,
                       [file](const char* piece, size_t bytes) { return writeFully(file, piece, bytes); });
}

bool transfer(int channel, void* data, size_t size, bool sending) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t done = sending ? send(channel, bytes, size, MSG_NOSIGNAL) : recv(channel, bytes, size, 0);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= size_t(done);
  }
  return true;
}

[[noreturn]] void runLineHelper(int file, int channel, char* buffer) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCONT, SIGTSTP}) sigaction(signal, &ignore, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setpgid(0, 0);  // out of the terminal's and the job's group
  // The console is closed, so that readers of it see the parent's end; the run
  // directory's lock stays, so that no run starts there before the last write here.
  for (int fd = 0; fd <= 2; ++fd)
    if (fd != file && fd != channel) close(fd);
  int32_t failure = 0;
  for (;;) {
    uint64_t size = 0;
    if (!transfer(channel, &size, sizeof size, false) || size > kMessageLimit ||
        !transfer(channel, buffer, size_t(size), false))
      _exit(0);
    if (failure == 0) failure = writeWithinPages(file, buffer, size_t(size));
    if (!transfer(channel, &failure, sizeof failure, true)) _exit(0);
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

// Takes the answers that have come (all of them when `wait`); false once a write failed
// or the helper is gone: the file is then cut back to the last message written whole.
bool takeAnswers(bool wait) {
  while (lineHelper.fault.empty() && !lineHelper.pending.empty()) {
    int available = 0;
    if (!wait && (ioctl(lineHelper.channel, FIONREAD, &available) != 0 || available < int(sizeof(int32_t)))) break;
    int32_t error = 0;
    if (!transfer(lineHelper.channel, &error, sizeof error, false)) {
      lineHelper.fault = "the process writing it has ended";
    } else if (error != 0) {
      lineHelper.fault = causeOf(error);
      lineHelper.pending.pop_front();
    } else {
      lineHelper.written += int64_t(lineHelper.pending.front());
      lineHelper.pending.pop_front();
    }
  }
  if (lineHelper.fault.empty()) return true;
  // The helper writes nothing after a failure; wait until it has answered the rest.
  for (int32_t error = 0; !lineHelper.pending.empty(); lineHelper.pending.pop_front())
    if (!transfer(lineHelper.channel, &error, sizeof error, false)) break;
  platformTruncate(lineHelper.file, lineHelper.written);
  return false;
}

void stopLineHelper() {
  takeAnswers(true);
  close(lineHelper.channel);
  int status = 0;
  while (waitpid(lineHelper.pid, &status, 0) < 0 && errno == EINTR) {
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

void platformGuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is this one.
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened > 2) close(opened);
  }
}

void platformWriteStdout(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDOUT_FILENO, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

void platformInstallStopHandlers(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void platformInstallContinueHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGCONT, &action, nullptr);
}

std::tm platformLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
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
    struct stat info {};
    int error = fstat(file, &info) != 0 ? errno : writeWithinPages(file, data, size);
    if (error == 0) return true;
    platformTruncate(file, info.st_size);
    cause = causeOf(error);
    return false;
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
    if (!transfer(lineHelper.channel, &length, sizeof length, true) ||
        !transfer(lineHelper.channel, const_cast<char*>(data + begin), end - begin, true)) {
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

bool platformFlushLines(PlatformFile file, std::string& cause) {
  if (lineHelper.file != file) return true;
  takeAnswers(true);
  cause = lineHelper.fault;
  return cause.empty();
}

bool platformTruncate(PlatformFile file, int64_t length) { return ftruncate(file, off_t(length)) == 0; }

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
  // Never closed: the lock lives as long as the process.
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    cause = causeOf(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  busy = errno == EWOULDBLOCK;
  cause = causeOf(errno);
  close(fd);
  return false;
}
