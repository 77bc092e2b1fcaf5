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
  return {state.base, state.c, uint32_t(state.period), uint64_t(state.maxFact), std::to_string(state.minK),
          std::to_string(state.nextK), state.found, state.length};
}

std::string formatWideState(const WideState& s) {
  char text[256];
  std::snprintf(text, sizeof text, "base=%d\nc=%d\nperiod=%u\nmaxfact=%" PRIu64 "\n", s.base, s.c, s.period, s.maxFact);
  std::string state = std::string(kHeading) + text + "mink=" + s.minK + "\nnextk=" + s.nextK + "\n";
  std::snprintf(text, sizeof text, "found=%" PRIu64 "\nlength=%" PRId64 "\nwide=1\nend\n", s.found, s.length);
  return state + text;
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
  if (text.compare(at, std::string::npos, "wide=1\nend\n") != 0) return false;
  if (minK == "0" || !decimalAtMost(minK, nextK) || !decimalAtMost(nextK, kTwoTo256)) return false;
  state = {int32_t(base), negative ? -1 : 1, uint32_t(period), maxFact, minK, nextK, found, int64_t(length)};
  return true;
}

bool writeWideState(const char* path, const WideState& state, std::string& cause) {
  return writeStateText(path, formatWideState(state), cause);
}
