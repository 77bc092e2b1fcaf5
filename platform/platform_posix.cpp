// POSIX implementation of the platform layer (see platform.h). Files are handled
// with raw descriptors: every batch of lines is one write(2), so a fatal signal can
// never split a line between two writes the way a stdio buffer flush can.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string causeOf(int error) { return std::strerror(error); }

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
  while (size > 0) {
    ssize_t written = write(file, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      cause = causeOf(written < 0 ? errno : ENOSPC);
      return false;
    }
    data += written;
    size -= size_t(written);
  }
  return true;
}

bool platformTruncate(PlatformFile file, int64_t length) { return ftruncate(file, off_t(length)) == 0; }

bool platformSyncFile(PlatformFile file, std::string& cause) {
  if (fsync(file) == 0) return true;
  cause = causeOf(errno);
  return false;
}

void platformCloseFile(PlatformFile file) {
  if (file != kNoFile) close(file);
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
