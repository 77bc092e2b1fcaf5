// Removal of old results, and the checks and repair of a resumed search (see resume.h).
#include "resume.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "platform.h"
#include "wide_state.h"

namespace {

// A covering.txt up to this size is counted line by line on resume (a fraction of a
// second); a larger one is checked at its end only.
constexpr int64_t kCountedLength = int64_t(64) << 20;
// The longest line the end of covering.txt is searched back for.
constexpr size_t kLongestLine = 8192;
// The most digits a k has (below 2^256).
constexpr size_t kLongestK = 78;

void removeOrFail(const char* path) {
  std::string cause;
  if (!platformRemoveFile(path, cause)) error("%s cannot be removed: %s", path, cause.c_str());
}

SearchState identityOf(const pelund::SearchParams& params) {
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

[[noreturn]] void mismatch(const char* format, long long a, long long b = 0) {
  char reason[200];
  std::snprintf(reason, sizeof reason, format, a, b);
  error("%s does not match %s: %s", kCoveringPath, kStatePath, reason);
}

// The number of line ends in the first `length` bytes of the file.
int64_t countLines(PlatformFile file, int64_t length) {
  std::vector<char> buffer(size_t(1) << 20);
  int64_t lines = 0;
  for (int64_t at = 0; at < length;) {
    const size_t want = size_t(std::min<int64_t>(length - at, int64_t(buffer.size())));
    const int64_t got = platformReadAt(file, at, buffer.data(), want);
    if (got <= 0) error("%s cannot be read", kCoveringPath);
    lines += std::count(buffer.begin(), buffer.begin() + got, '\n');
    at += got;
  }
  return lines;
}

// The k of the last line of the first `length` (> 0) bytes, which must end with a line
// end: its digits, leading zeros dropped, up to the 78 of a k below 2^256.
std::string lastKeptK(PlatformFile file, int64_t length) {
  const int64_t from = std::max<int64_t>(0, length - int64_t(kLongestLine));
  std::string tail(size_t(length - from), '\0');
  if (platformReadAt(file, from, tail.data(), tail.size()) != int64_t(tail.size()))
    error("%s cannot be read", kCoveringPath);
  if (tail.back() != '\n') mismatch("no line ends at byte %lld", length);
  const size_t previous = tail.find_last_of('\n', tail.size() - 2);
  if (previous == std::string::npos && from > 0) mismatch("no line start within %lld bytes of byte %lld", kLongestLine, length);
  const size_t start = previous == std::string::npos ? 0 : previous + 1;
  size_t at = start;
  for (; at < tail.size() && tail[at] >= '0' && tail[at] <= '9' && at - start < kLongestK; ++at) {
  }
  if (at == start || tail.compare(at, 2, "  ") != 0) mismatch("its last line does not begin with k (byte %lld)", from + int64_t(start));
  std::string k = tail.substr(start, at - start);
  k.erase(0, std::min(k.find_first_not_of('0'), k.size() - 1));
  return k;
}

// A state that a wide run (wide=1 beyond the caps) wrote: a search within the caps goes
// on from it when it is the same search, done up to a k within its range, for a wide
// search and an ordinary one with the same keys are one search (one extends the other).
bool readWideState(const std::string& text, const pelund::SearchParams& params, SearchState& state) {
  WideState wide;
  if (!parseWideState(text, wide)) return false;
  if (!wide.sameSearch(wideStateOf(identityOf(params))) || params.algebraic)
    error("%s belongs to another search (base=%d c=%d period=%u maxfact=%llu mink=%s wide=1)", kStatePath, wide.base,
          wide.c, wide.period, static_cast<unsigned long long>(wide.maxFact), wide.minK.c_str());
  if (!decimalAtMost(wide.nextK, std::to_string(params.maxK + 1)))
    error("%s records a search done up to k=%s, beyond maxk=%lld", kStatePath, decimalMinusOne(wide.nextK).c_str(),
          static_cast<long long>(params.maxK));
  state = identityOf(params);
  state.nextK = std::stoll(wide.nextK);
  state.found = wide.found;
  state.length = wide.length;
  return true;
}

}  // namespace

void cutResults(const ResultsMark& mark) {
  std::string cause;
  bool missing = false;
  PlatformFile file = platformOpenExisting(kCoveringPath, missing, cause);
  if (file == kNoFile) {
    if (missing && mark.length == 0) return;  // nothing was written yet; a new file will do
    error("%s cannot be opened for resuming: %s", kCoveringPath, cause.c_str());
  }
  const int64_t size = platformFileLength(file);
  if (size < mark.length) {
    platformCloseFile(file);
    error("%s is shorter than %s says (%lld bytes, not %lld)", kCoveringPath, kStatePath,
          static_cast<long long>(size), static_cast<long long>(mark.length));
  }
  if ((mark.length == 0) != (mark.found == 0))
    mismatch("%lld bytes for %lld lines", mark.length, static_cast<long long>(mark.found));
  if (mark.length > 0) {
    const std::string k = lastKeptK(file, mark.length);
    if (decimalAtMost(mark.nextK, k))
      error("%s does not match %s: its last line, k=%s, is not below k=%s", kCoveringPath, kStatePath, k.c_str(),
            mark.nextK.c_str());
    if (!decimalAtMost(mark.minK, k))
      error("%s does not match %s: its last line, k=%s, is below mink=%s", kCoveringPath, kStatePath, k.c_str(),
            mark.minK.c_str());
    if (mark.length <= kCountedLength) {
      const int64_t lines = countLines(file, mark.length);
      if (uint64_t(lines) != mark.found) mismatch("it holds %lld lines, not %lld", lines, static_cast<long long>(mark.found));
    }
  }
  if (size > mark.length && (!platformTruncate(file, mark.length, cause) || !platformSyncFile(file, cause)))
    error("%s cannot be cut back to its last recorded line: %s", kCoveringPath, cause.c_str());
  platformCloseFile(file);
}

void lockRunDirectory() {
  bool busy = false;
  std::string cause;
  // The lock of a run that was killed outright is held on until its last lines are
  // written (a few milliseconds), so a run started right after it waits a moment.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!platformLockFile(kLockPath, busy, cause)) {
    if (!busy) error("%s cannot be locked: %s", kLockPath, cause.c_str());
    if (std::chrono::steady_clock::now() > deadline) error("another search is running in this directory");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void refuseLinkedLog() {
  if (platformIsSymbolicLink(kLogPath)) error("%s is a symbolic link", kLogPath);
}

SearchState prepareResults(const pelund::SearchParams& params, bool resume, bool& resumed) {
  const SearchState fresh = identityOf(params);
  std::string text, cause;
  const ReadOutcome read =
      resume ? platformReadSmallFile(kStatePath, kLongestState, text, cause) : ReadOutcome::missing;
  if (read == ReadOutcome::failed) error("%s cannot be read: %s", kStatePath, cause.c_str());
  resumed = read == ReadOutcome::read;
  if (!resumed) {
    removeOrFail(kCoveringPath);
    removeOrFail(kStatePath);
    return fresh;
  }
  SearchState state;
  if (!parseSearchState(text, state) && !readWideState(text, params, state))
    error("%s is damaged or incomplete", kStatePath);
  if (!state.sameSearch(fresh))
    error("%s belongs to another search (base=%d c=%d period=%d maxfact=%d mink=%lld%s)", kStatePath, state.base,
          state.c, state.period, state.maxFact, static_cast<long long>(state.minK),
          state.algebraic ? " algebraic=1" : "");
  if (state.nextK > params.maxK + 1)
    error("%s records a search done up to k=%lld, beyond maxk=%lld", kStatePath,
          static_cast<long long>(state.nextK - 1), static_cast<long long>(params.maxK));
  cutResults({state.length, state.found, std::to_string(state.minK), std::to_string(state.nextK)});
  return state;
}
