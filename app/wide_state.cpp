// Reading and writing the state of a wide search (see wide_state.h); as strict as the
// ordinary state: every key once, in order, digits only, and the end mark.
#include "wide_state.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "search_state.h"

namespace {

constexpr const char* kHeading = "pelund search state\n";
constexpr const char* kTwoTo256 = "115792089237316195423570985008687907853269984665640564039457584007913129639936";

// Reads "key=<digits>\n" at `at`: a decimal of at most `longest` digits, no leading zero.
bool readDigits(const std::string& text, size_t& at, const char* key, size_t longest, std::string& digits) {
  const size_t keyLength = std::strlen(key);
  if (text.compare(at, keyLength, key) != 0 || text.compare(at + keyLength, 1, "=") != 0) return false;
  at += keyLength + 1;
  const size_t start = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start <= longest) ++at;
  if (at == start || at - start > longest || at >= text.size() || text[at] != '\n') return false;
  if (text[start] == '0' && at - start > 1) return false;
  digits = text.substr(start, at - start);
  ++at;
  return true;
}

bool readUnsigned(const std::string& text, size_t& at, const char* key, uint64_t low, uint64_t high, uint64_t& value) {
  std::string digits;
  if (!readDigits(text, at, key, 20, digits) || !decimalAtMost(digits, "18446744073709551615")) return false;
  value = std::stoull(digits);
  return value >= low && value <= high;
}

bool decimalBelow(const std::string& a, const std::string& b) { return a != b && decimalAtMost(a, b); }

// The part in progress from state.nextK: its end (below 2^256), its list, those done
// and their covered k, strictly ascending within the part. The list made for
// `subtrees` wanted may hold more than that, so `done` is bounded only against damage:
// the walk starts the part again when it exceeds the list it makes.
bool readPart(const std::string& text, size_t& at, WideState& state) {
  uint64_t count = 0;
  if (!readDigits(text, at, "partto", 78, state.partTo) || !decimalAtMost(state.nextK, state.partTo) ||
      !decimalBelow(state.partTo, kTwoTo256) ||
      !readUnsigned(text, at, "subtrees", 1, uint64_t(1) << 24, state.wanted) ||
      !readUnsigned(text, at, "list", 0, INT64_MAX, state.list) ||
      !readUnsigned(text, at, "done", 0, uint64_t(1) << 40, state.done) ||
      !readUnsigned(text, at, "covered", 0, kMostWidePartKs, count))
    return false;
  // Each k takes two bytes at least: a count beyond the text is damage, not a size to reserve.
  if (count > (text.size() - at) / 2) return false;
  state.covered.reserve(size_t(count));
  for (uint64_t i = 0; i < count; ++i) {
    std::string k;
    const size_t start = at, end = text.find('\n', at);
    if (end == std::string::npos || end == start || end - start > 78) return false;
    k = text.substr(start, end - start);
    if (k.find_first_not_of("0123456789") != std::string::npos || (k[0] == '0' && k.size() > 1)) return false;
    if (!decimalAtMost(state.nextK, k) || !decimalAtMost(k, state.partTo)) return false;
    if (!state.covered.empty() && !decimalBelow(state.covered.back(), k)) return false;
    state.covered.push_back(std::move(k));
    at = end + 1;
  }
  return true;
}

}  // namespace

bool decimalAtMost(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a <= b;
}

std::string decimalPlusOne(std::string a) {
  size_t i = a.size();
  while (i > 0 && a[i - 1] == '9') a[--i] = '0';
  if (i == 0) return "1" + a;
  ++a[i - 1];
  return a;
}

std::string decimalMinusOne(std::string a) {
  size_t i = a.size();
  while (i > 0 && a[i - 1] == '0') a[--i] = '9';
  if (i == 0) return "0";
  --a[i - 1];
  if (a.size() > 1 && a[0] == '0') a.erase(0, 1);
  return a;
}

WideState wideStateOf(const SearchState& state) {
  WideState wide;
  wide.base = state.base, wide.c = state.c, wide.period = uint32_t(state.period);
  wide.maxFact = uint64_t(state.maxFact);
  wide.minK = std::to_string(state.minK), wide.nextK = std::to_string(state.nextK);
  wide.found = state.found, wide.length = state.length;
  return wide;
}

std::string formatWideState(const WideState& s) {
  char text[256];
  std::snprintf(text, sizeof text, "base=%d\nc=%d\nperiod=%u\nmaxfact=%" PRIu64 "\n", s.base, s.c, s.period, s.maxFact);
  std::string state = std::string(kHeading) + text + "mink=" + s.minK + "\nnextk=" + s.nextK + "\n";
  std::snprintf(text, sizeof text, "found=%" PRIu64 "\nlength=%" PRId64 "\nwide=1\n", s.found, s.length);
  state += text;
  if (s.wanted > 0) {
    std::snprintf(text, sizeof text, "subtrees=%" PRIu64 "\nlist=%" PRIu64 "\ndone=%" PRIu64 "\ncovered=%zu\n",
                  s.wanted, s.list, s.done, s.covered.size());
    state += "partto=" + s.partTo + "\n" + text;
    for (const std::string& k : s.covered) (state += k) += '\n';
  }
  return state + "end\n";
}

bool parseWideState(const std::string& original, WideState& state) {
  std::string text;  // CR LF read as LF, as for the ordinary state
  text.reserve(original.size());
  for (size_t i = 0; i < original.size(); ++i)
    if (!(original[i] == '\r' && i + 1 < original.size() && original[i + 1] == '\n')) text += original[i];
  if (text.compare(0, std::strlen(kHeading), kHeading) != 0) return false;
  size_t at = std::strlen(kHeading);
  uint64_t base = 0, c = 0, period = 0, maxFact = 0, found = 0, length = 0;
  std::string minK, nextK;
  bool negative = false;
  if (!readUnsigned(text, at, "base", 2, 1000000000, base)) return false;
  if (text.compare(at, 3, "c=-") == 0) negative = true, text.erase(at + 2, 1);
  if (!readUnsigned(text, at, "c", 1, 1, c) || !readUnsigned(text, at, "period", 2, 65520, period) ||
      !readUnsigned(text, at, "maxfact", 5, UINT64_MAX, maxFact) || !readDigits(text, at, "mink", 78, minK) ||
      !readDigits(text, at, "nextk", 78, nextK) || !readUnsigned(text, at, "found", 0, INT64_MAX, found) ||
      !readUnsigned(text, at, "length", 0, INT64_MAX, length))
    return false;
  if (text.compare(at, 7, "wide=1\n") != 0) return false;
  at += 7;
  if (minK == "0" || !decimalAtMost(minK, nextK) || !decimalAtMost(nextK, kTwoTo256)) return false;
  WideState read;
  read.base = int32_t(base), read.c = negative ? -1 : 1, read.period = uint32_t(period), read.maxFact = maxFact;
  read.minK = minK, read.nextK = nextK, read.found = found, read.length = int64_t(length);
  if (text.compare(at, 7, "partto=") == 0 && !readPart(text, at, read)) return false;
  if (text.compare(at, std::string::npos, "end\n") != 0) return false;
  state = std::move(read);
  return true;
}

bool writeWideState(const char* path, const WideState& state, std::string& cause) {
  return writeStateText(path, formatWideState(state), cause);
}
