// Removal of old results, and the checks and repair of a resumed search (see resume.h).
#include "resume.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "console.h"
#include "platform.h"

namespace {

void removeOrFail(const char* path) {
  std::string cause;
  if (!platformRemoveFile(path, cause)) error("%s cannot be removed: %s", path, cause.c_str());
}

// The whole content of a small file; false when it does not exist.
bool readSmallFile(const char* path, std::string& text) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  char buffer[4096];
  size_t got = std::fread(buffer, 1, sizeof buffer, file);
  std::fclose(file);
  text.assign(buffer, got);
  return true;
}

SearchState identityOf(const SearchParams& params) {
  SearchState state;
  state.base = params.base;
  state.c = params.c;
  state.period = params.period;
  state.maxFact = params.maxFact;
  state.minK = params.minK;
  state.nextK = params.minK;
  state.algebraic = params.algebraic;
  return state;
}

// Keeps the first `length` bytes of covering.txt, which must have at least that many.
void cutResults(int64_t length) {
  std::string cause;
  PlatformFile file = platformOpenAppend(kCoveringPath, false, cause);
  if (file == kNoFile) {
    if (length == 0) return;  // nothing was written yet; a new file will do
    error("%s cannot be opened for resuming: %s", kCoveringPath, cause.c_str());
  }
  const int64_t size = platformFileLength(file);
  if (size < length) {
    platformCloseFile(file);
    error("%s is shorter than %s says (%lld bytes, not %lld)", kCoveringPath, kStatePath,
          static_cast<long long>(size), static_cast<long long>(length));
  }
  if (size > length && (!platformTruncate(file, length) || !platformSyncFile(file, cause)))
    error("%s cannot be cut back to its last recorded line: %s", kCoveringPath, cause.c_str());
  platformCloseFile(file);
}

}  // namespace

void lockRunDirectory() {
  bool busy = false;
  std::string cause;
  // A directory where the lock cannot even be created cannot hold results either;
  // such a run goes on and meets its fault where it writes. The lock of a run that
  // was killed outright is held on until its last lines are written (a few
  // milliseconds), so a run started right after it waits a moment for it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!platformLockFile(kLockPath, busy, cause) && busy) {
    if (std::chrono::steady_clock::now() > deadline) error("another search is running in this directory");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

SearchState prepareResults(const SearchParams& params, bool resume, bool& resumed) {
  const SearchState fresh = identityOf(params);
  std::string text;
  resumed = resume && readSmallFile(kStatePath, text);
  if (!resumed) {
    removeOrFail(kCoveringPath);
    removeOrFail(kStatePath);
    return fresh;
  }
  SearchState state;
  if (!parseSearchState(text, state)) error("%s is damaged or incomplete", kStatePath);
  if (!state.sameSearch(fresh))
    error("%s belongs to another search (base=%d c=%d period=%d maxfact=%d mink=%lld%s)", kStatePath, state.base,
          state.c, state.period, state.maxFact, static_cast<long long>(state.minK),
          state.algebraic ? " algebraic=1" : "");
  cutResults(state.length);
  return state;
}
