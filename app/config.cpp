// The configuration reader. pelund.ini holds one "key=value" setting per line, keys
// in the first column; the file is read in pieces of at most 99 characters, each
// matched as a line of its own, and the last setting of a key wins. Values are
// decimal integers converted like atoi/_atoi64, except that digits beyond the range
// of the width saturate (as strtoll does) instead of being undefined, so that the
// range checks refuse them with their own message.
#include "config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pelund/pelund.hpp>

#include "console.h"

int32_t gi_base = kNotGiven;
int64_t gi_minK = kNotGiven;
int64_t gi_maxK = kNotGiven;
int32_t gi_c = kNotGiven;
int32_t gi_period = kNotGiven;
int32_t gi_maxFact = kNotGiven;
int32_t gi_facDisp = kNotGiven;
int64_t gi_kDisp = kNotGiven;
int32_t gi_threads = kNotGiven;
int32_t gi_engine = kNotGiven;
int32_t gi_resume = kNotGiven;
int32_t gi_algebraic = kNotGiven;
int32_t gi_progress = kNotGiven;
int64_t gi_maxSets = kNotGiven;
int32_t gi_wide = kNotGiven;
WideSettings g_wide;

namespace {

int64_t decimal64(const char* text) {
  errno = 0;
  long long value = std::strtoll(text, nullptr, 10);  // saturates at LLONG_MIN/LLONG_MAX
  return static_cast<int64_t>(value);
}

int32_t decimal32(const char* text) {
  int64_t value = decimal64(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Settings read at 64 bits for 32-bit variables stay 64-bit until they pass the checks.
struct Wide {
  int64_t period = kNotGiven;
  int64_t maxFact = kNotGiven;
  int64_t facDisp = kNotGiven;
  int64_t threads = kNotGiven;
  int64_t engine = kNotGiven;  // kBadEngine for a word that names none
  int64_t resume = kNotGiven;
  int64_t algebraic = kNotGiven;
  int64_t progress = kNotGiven;
  int64_t wide = kNotGiven;
  int64_t factorEffort = kNotGiven;
  // The values of mink, maxk and maxfact as written, read again at full width with wide=1.
  std::string minKText, maxKText, maxFactText;
};

// A decimal as strtoll reads it (blanks, a sign, digits up to the first other
// character), at any width: "-" and the digits for a negative value, else the digits.
std::string decimalText(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return end == at ? "0" : (negative ? "-" : "") + text.substr(at, end - at);
}

constexpr int64_t kBadEngine = -1;

// The engine named by the word at the start of `text` ("auto", "sieve" or "residue"),
// ended by the end of the line or blanks.
int64_t engineNamed(const char* text) {
  const char* end = text;
  while (*end != '\0' && *end != '\n' && *end != '\r' && *end != ' ' && *end != '\t') ++end;
  pelund::Engine engine;
  return pelund::engineNamed(std::string_view(text, size_t(end - text)), engine) ? int64_t(engine) : kBadEngine;
}

// A UTF-8 byte-order mark (Windows editors write one) at the very start of the file
// is not part of the first line. Reads the start of the file byte by byte: the mark
// is dropped; bytes that only begin like it start the first piece, which fgets then
// completes, so the pieces are exactly those of the file after the mark.
// Returns the length of the first piece started in `piece` (0: none yet).
size_t startAfterByteOrderMark(char* piece, std::FILE* file) {
  static const unsigned char mark[3] = {0xEF, 0xBB, 0xBF};
  size_t length = 0;
  for (int byte; length < 3 && (byte = std::getc(file)) != EOF;) {
    piece[length++] = static_cast<char>(byte);
    if (static_cast<unsigned char>(byte) != mark[length - 1]) break;
  }
  if (length == 3 && std::memcmp(piece, mark, 3) == 0) return 0;
  return length;
}

bool keyIs(const char* piece, const char* key) { return std::strncmp(piece, key, std::strlen(key)) == 0; }

void matchPiece(const char* piece, Wide& wide) {
  if (keyIs(piece, "base=")) gi_base = decimal32(piece + 5);
  else if (keyIs(piece, "mink=")) gi_minK = decimal64(piece + 5), wide.minKText = piece + 5;
  else if (keyIs(piece, "maxk=")) gi_maxK = decimal64(piece + 5), wide.maxKText = piece + 5;
  else if (keyIs(piece, "c=")) gi_c = decimal32(piece + 2);
  else if (keyIs(piece, "period=")) wide.period = decimal64(piece + 7);
  else if (keyIs(piece, "maxfact=")) wide.maxFact = decimal64(piece + 8), wide.maxFactText = piece + 8;
  else if (keyIs(piece, "facdisp=")) wide.facDisp = decimal64(piece + 8);
  else if (keyIs(piece, "kdisp=")) gi_kDisp = decimal64(piece + 6);
  else if (keyIs(piece, "threads=")) wide.threads = decimal64(piece + 8);
  else if (keyIs(piece, "engine=")) wide.engine = engineNamed(piece + 7);
  else if (keyIs(piece, "resume=")) wide.resume = decimal64(piece + 7);
  else if (keyIs(piece, "algebraic=")) wide.algebraic = decimal64(piece + 10);
  else if (keyIs(piece, "progress=")) wide.progress = decimal64(piece + 9);
  else if (keyIs(piece, "maxsets=")) gi_maxSets = decimal64(piece + 8);
  else if (keyIs(piece, "wide=")) wide.wide = decimal64(piece + 5);
  else if (keyIs(piece, "factoreffort=")) wide.factorEffort = decimal64(piece + 13);
}

const char* checkPresence() {
  if (gi_base == kNotGiven) return "base must be specified in pelund.ini";
  if (gi_minK == kNotGiven) return "mink must be specified in pelund.ini";
  if (gi_maxK == kNotGiven) return "maxk must be specified in pelund.ini";
  if (gi_c == kNotGiven) return "c must be specified in pelund.ini";
  return nullptr;
}

void fillDefaults(Wide& wide) {
  if (wide.period == 0 || wide.period == kNotGiven) wide.period = 144;
  if (wide.maxFact == 0 || wide.maxFact == kNotGiven) wide.maxFact = 1000000;
  if (wide.facDisp == kNotGiven) wide.facDisp = 0;
  if (gi_kDisp == kNotGiven) gi_kDisp = 0;
  if (wide.threads == kNotGiven) wide.threads = 0;
  if (wide.engine == kNotGiven) wide.engine = 0;
  if (wide.resume == kNotGiven) wide.resume = 0;
  if (wide.algebraic == kNotGiven) wide.algebraic = 0;
  if (wide.progress == kNotGiven) wide.progress = 1;
  if (gi_maxSets == kNotGiven) gi_maxSets = 0;
  if (wide.wide == kNotGiven) wide.wide = 0;
  if (wide.factorEffort == kNotGiven) wide.factorEffort = kDefaultFactorEffort;
}

// The search's own settings are checked by the library, in the same order and words.
// With wide=1, the range at full width, against the wide caps; fills g_wide.
const char* wideRangeFault(const Wide& wide) {
  std::string maxFact = decimalText(wide.maxFactText);
  if (maxFact.find_first_not_of("-0") == std::string::npos) maxFact = "1000000";  // 0 or none: the default
  pelund::WideRange range;
  if (const char* fault = pelund::wideRangeFault(gi_base, decimalText(wide.minKText), decimalText(wide.maxKText), gi_c,
                                                 wide.period, maxFact, range))
    return fault;
  g_wide.beyond = range.beyond;
  g_wide.minK = range.minK;
  g_wide.maxK = range.maxK;
  g_wide.maxFact = range.maxFact;
  g_wide.period = range.period;
  return nullptr;
}

const char* checkRanges(const Wide& wide) {
  constexpr int64_t e9 = 1000000000;
  constexpr int64_t kE18 = 1000000000000000000;
  g_wide = WideSettings{};
  if (wide.wide == 1) {
    if (const char* fault = wideRangeFault(wide)) return fault;
  }
  if (g_wide.beyond) {
    if (wide.algebraic == 1) return "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040";
    // The wide engine is the residue tree: the block sieve keeps the 64-bit caps.
    if (wide.engine == int64_t(pelund::Engine::sieve))
      return "engine=sieve needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040";
  } else if (const char* fault = pelund::rangeFault(gi_base, gi_minK, gi_maxK, gi_c, wide.period, wide.maxFact)) {
    return fault;
  }
  if (wide.facDisp < 0) return "facdisp cannot be negative";
  if (wide.facDisp > e9) return "facdisp cannot be greater than 1e9";
  if (gi_kDisp < 0) return "kdisp cannot be negative";
  if (gi_kDisp > e9) return "kdisp cannot be greater than 1e9";
  if (const char* fault = pelund::threadsFault(wide.threads)) return fault;
  if (wide.engine == kBadEngine) return pelund::kEngineFault;
  if (wide.resume != 0 && wide.resume != 1) return "resume must be 0 or 1";
  if (wide.algebraic != 0 && wide.algebraic != 1) return pelund::kAlgebraicFault;
  if (wide.progress != 0 && wide.progress != 1) return "progress must be 0 or 1";
  if (gi_maxSets < 0) return "maxsets cannot be negative";
  if (gi_maxSets > kE18) return "maxsets cannot be greater than 1e18";
  if (wide.wide != 0 && wide.wide != 1) return pelund::kWideFault;
  if (const char* fault = pelund::factorEffortFault(wide.factorEffort)) return fault;
  if (const char* fault = pelund::factoringFault(g_wide.maxFact)) return fault;
  g_wide.factorEffort = int32_t(wide.factorEffort);
  return nullptr;
}

}  // namespace

const char* loadInputs(std::FILE* file) {
  gi_base = gi_c = gi_period = gi_maxFact = gi_facDisp = gi_threads = gi_engine = gi_resume = gi_algebraic =
      gi_progress = gi_wide = kNotGiven;
  gi_minK = gi_maxK = gi_kDisp = gi_maxSets = kNotGiven;
  Wide wide;
  char piece[100];
  const size_t started = startAfterByteOrderMark(piece, file);
  if (started > 0) {
    piece[started] = '\0';
    if (piece[started - 1] != '\n') std::fgets(piece + started, int(sizeof piece - started), file);
    matchPiece(piece, wide);
  }
  while (std::fgets(piece, sizeof piece, file) != nullptr) matchPiece(piece, wide);

  if (const char* fault = checkPresence()) return fault;
  fillDefaults(wide);
  if (const char* fault = checkRanges(wide)) return fault;
  gi_period = static_cast<int32_t>(wide.period);
  gi_maxFact = static_cast<int32_t>(wide.maxFact);
  gi_facDisp = static_cast<int32_t>(wide.facDisp);
  gi_threads = static_cast<int32_t>(wide.threads);
  gi_engine = static_cast<int32_t>(wide.engine);
  gi_resume = static_cast<int32_t>(wide.resume);
  gi_algebraic = static_cast<int32_t>(wide.algebraic);
  gi_progress = static_cast<int32_t>(wide.progress);
  gi_wide = static_cast<int32_t>(wide.wide);
  if (g_wide.beyond) gi_minK = gi_maxK = gi_maxFact = kNotGiven;
  return nullptr;
}

std::FILE* openConfiguration() {
  std::FILE* file = std::fopen("pelund.ini", "rb");
  if (file == nullptr) return nullptr;
  const int first = std::fgetc(file);
  if (first == EOF && std::ferror(file)) {
    std::fclose(file);
    return nullptr;
  }
  if (first != EOF) std::ungetc(first, file);
  return file;
}

void getInputs() {
  std::FILE* file = openConfiguration();
  if (file == nullptr) error("pelund.ini not found");
  const char* fault = loadInputs(file);
  std::fclose(file);
  if (fault != nullptr) error("%s", fault);
}
