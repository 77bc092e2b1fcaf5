// Reading and writing pelund.state (see search_state.h). Parsing is strict: every key
// exactly once, in order, decimal digits only, and the end mark; anything else is a
// damaged state, which a resumed run refuses rather than guess from.
#include "search_state.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform.h"

namespace {

constexpr const char* kHeading = "pelund search state";
constexpr const char* kEnd = "end";

// Reads "<digits>\n" at `at`; the integer must fit in [low, high].
bool readNumber(const std::string& text, size_t& at, int64_t low, int64_t high, int64_t& value) {
  size_t digits = 0;
  uint64_t magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 19; ++at, ++digits)
    magnitude = magnitude * 10 + uint64_t(text[at] - '0');
  if (digits == 0 || at >= text.size() || text[at] != '\n' || magnitude > uint64_t(INT64_MAX)) return false;
  ++at;
  value = int64_t(magnitude);
  return value >= low && value <= high;
}

// Reads "key=<integer>\n" at `at`, with an optional minus sign; the integer must fit in
// [low, high].
bool readValue(const std::string& text, size_t& at, const char* key, int64_t low, int64_t high, int64_t& value) {
  const size_t keyLength = std::strlen(key);
  if (text.compare(at, keyLength, key) != 0 || text.compare(at + keyLength, 1, "=") != 0) return false;
  at += keyLength + 1;
  const bool negative = at < text.size() && text[at] == '-';
  if (negative) ++at;
  int64_t magnitude = 0;
  if (!readNumber(text, at, 0, INT64_MAX, magnitude)) return false;
  value = negative ? -magnitude : magnitude;
  return value >= low && value <= high;
}

}  // namespace

std::string formatSearchState(const SearchState& s) {
  char text[512];
  std::snprintf(text, sizeof text,
                "%s\nbase=%d\nc=%d\nperiod=%d\nmaxfact=%d\nmink=%" PRId64 "\nnextk=%" PRId64 "\nfound=%" PRIu64 "\nlength=%" PRId64
                "\n%s",
                kHeading, s.base, s.c, s.period, s.maxFact, s.minK, s.nextK, s.found, s.length,
                s.algebraic ? "algebraic=1\n" : "");
  std::string state = text;
  if (s.part.wanted > 0) {
    std::snprintf(text, sizeof text,
                  "partto=%" PRId64 "\nsubtrees=%" PRIu64 "\nlist=%" PRIu64 "\ndone=%" PRIu64 "\ncovered=%zu\n", s.part.to,
                  s.part.wanted, s.part.list, s.part.done, s.part.covered.size());
    state += text;
    state.reserve(state.size() + s.part.covered.size() * 20 + 8);
    for (int64_t k : s.part.covered) (state += std::to_string(k)) += '\n';
  }
  return state + kEnd + "\n";
}

namespace {


// The part in progress at `nextK`, when the state has one: its end, its subtrees, those
// done, and their covered k, strictly ascending within the part.
bool readPart(const std::string& text, size_t& at, int64_t nextK, pelund::TreeProgress& part) {
  part = pelund::TreeProgress{};
  if (text.compare(at, 7, "partto=") != 0) return true;
  constexpr int64_t e18 = 1000000000000000000;
  int64_t to = 0, wanted = 0, list = 0, done = 0, count = 0;
  // The list made for `subtrees` wanted holds at least that many and may hold more (the
  // last node split gives all its children), so `done` is bounded here only against
  // damage; the walk starts the part again when it exceeds the list it makes.
  constexpr int64_t kMostDone = int64_t(1) << 40;
  if (!readValue(text, at, "partto", nextK, e18, to) || !readValue(text, at, "subtrees", 1, int64_t(1) << 24, wanted) ||
      !readValue(text, at, "list", 0, INT64_MAX, list) || !readValue(text, at, "done", 0, kMostDone, done) ||
      !readValue(text, at, "covered", 0, std::min<int64_t>(to - nextK + 1, int64_t(kMostPartKs)), count))
    return false;
  // Each k takes two bytes at least: a count beyond the text is damage, not a size to reserve.
  if (uint64_t(count) > (text.size() - at) / 2) return false;
  part.covered.reserve(size_t(count));
  for (int64_t i = 0, k = 0, low = nextK; i < count; ++i, low = k + 1) {
    if (low > to || !readNumber(text, at, low, to, k)) return false;
    part.covered.push_back(k);
  }
  part.from = nextK, part.to = to, part.wanted = uint64_t(wanted), part.list = uint64_t(list), part.done = uint64_t(done);
  return true;
}

}  // namespace

bool parseSearchState(const std::string& original, SearchState& state) {
  // A state copied through a Windows text-mode tool ends its lines with CR LF; such
  // a pair reads as LF, any other CR stays and makes the state damaged.
  std::string text;
  text.reserve(original.size());
  for (size_t i = 0; i < original.size(); ++i)
    if (!(original[i] == '\r' && i + 1 < original.size() && original[i + 1] == '\n')) text += original[i];
  const std::string heading = std::string(kHeading) + "\n";
  if (text.compare(0, heading.size(), heading) != 0) return false;
  size_t at = heading.size();
  constexpr int64_t e18 = 1000000000000000000;
  int64_t v[8];
  const struct { const char* key; int64_t low, high; } fields[8] = {
      {"base", 2, 1000000000},  {"c", -1, 1},        {"period", 2, 5040},      {"maxfact", 5, 1000000000},
      {"mink", 1, e18},         {"nextk", 1, e18 + 1}, {"found", 0, INT64_MAX}, {"length", 0, INT64_MAX}};
  for (int i = 0; i < 8; ++i)
    if (!readValue(text, at, fields[i].key, fields[i].low, fields[i].high, v[i])) return false;
  // Only a search with algebraic factors has the line, so other states stay as they were.
  int64_t algebraic = 0;
  if (text.compare(at, 10, "algebraic=") == 0 && !readValue(text, at, "algebraic", 1, 1, algebraic)) return false;
  pelund::TreeProgress part;
  if (v[5] <= e18 && !readPart(text, at, v[5], part)) return false;
  if (text.compare(at, std::string::npos, std::string(kEnd) + "\n") != 0) return false;
  if (v[1] == 0 || v[5] < v[4]) return false;
  state = {int32_t(v[0]), int32_t(v[1]), int32_t(v[2]), int32_t(v[3]), v[4], v[5], uint64_t(v[6]), v[7], algebraic == 1,
           std::move(part)};
  return true;
}

bool writeSearchState(const char* path, const SearchState& state, std::string& cause) {
  return writeStateText(path, formatSearchState(state), cause);
}

bool writeStateText(const char* path, const std::string& text, std::string& cause) {
  const std::string temporary = std::string(path) + ".tmp";
  std::string ignored;
  platformRemoveFile(temporary.c_str(), ignored);
  PlatformFile file = platformOpenAppend(temporary.c_str(), true, cause);
  if (file == kNoFile) return false;
  bool written = platformWriteAll(file, text.data(), text.size(), cause) && platformSyncFile(file, cause);
  platformCloseFile(file);
  if (written && platformReplaceFile(temporary.c_str(), path, cause)) return true;
  platformRemoveFile(temporary.c_str(), ignored);  // no part of a state is left behind
  return false;
}
