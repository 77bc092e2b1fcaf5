// Coverage-guided fuzz target for the configuration reader: arbitrary bytes as the
// content of pelund.ini, read through an in-memory stream by loadInputs.
//
// It checks three things for every input: that an accepted configuration satisfies
// every range of the configuration table (independently of how the reader got
// there); that the reader agrees with a plain model of the file format (pieces of
// at most 99 bytes, keys in the first column, saturating decimal values, the last
// setting winning, presence checks, defaults, then range checks in their order);
// and that reading the same bytes twice gives the same result, so no state leaks
// from one reading into the next. The sanitizers catch overruns and undefined
// arithmetic on the way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"

namespace {

[[noreturn]] void fail(const char* what, const char* got, const char* expected) {
  std::fprintf(stderr, "config_fuzz: %s: reader gave \"%s\", model \"%s\"\n", what, got ? got : "(accepted)",
               expected ? expected : "(accepted)");
  std::abort();
}

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "config_fuzz: accepted with %s\n", what);
  std::abort();
}

// ---- the model --------------------------------------------------------------

constexpr int64_t kE9 = 1000000000;
constexpr int64_t kE18 = 1000000000000000000;

// Leading white space, an optional sign, decimal digits; saturating at the 64-bit
// limits. The piece is a C string: it ends at its first NUL byte.
int64_t modelDecimal(const std::string& piece, size_t at) {
  auto byte = [&](size_t i) { return i < piece.size() ? piece[i] : '\0'; };
  while (byte(at) != '\0' && std::strchr(" \t\n\v\f\r", byte(at)) != nullptr) ++at;
  bool negative = false;
  if (byte(at) == '+' || byte(at) == '-') negative = byte(at++) == '-';
  __int128 value = 0;
  for (; byte(at) >= '0' && byte(at) <= '9'; ++at) {
    value = value * 10 + (byte(at) - '0');
    if (value > (__int128(1) << 64)) value = __int128(1) << 64;  // far beyond both limits
  }
  if (negative) value = -value;
  if (value > INT64_MAX) return INT64_MAX;
  if (value < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(value);
}

int64_t clamp32(int64_t v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v; }

struct Model {
  int64_t base = kNotGiven, minK = kNotGiven, maxK = kNotGiven, c = kNotGiven, period = kNotGiven,
          maxFact = kNotGiven, facDisp = kNotGiven, kDisp = kNotGiven, threads = kNotGiven, engine = kNotGiven,
          resume = kNotGiven, algebraic = kNotGiven, progress = kNotGiven, maxSets = kNotGiven, wide = kNotGiven,
          factorEffort = kNotGiven;
};

// With wide=1 the range is read at full width (up to 2^256): the model leaves those
// readings to the reader's own tests and checks what holds of any of them.
const char* const kWideRange = "(wide range)";

constexpr int64_t kBadEngine = -1;

// The word after "engine=": up to the end of the piece (its first NUL), a line end or
// a blank.
int64_t modelEngine(const std::string& piece, size_t at) {
  std::string word;
  for (; at < piece.size() && std::strchr("\n\r \t", piece[at]) == nullptr && piece[at] != '\0'; ++at)
    word += piece[at];
  return word == "auto" ? 0 : word == "sieve" ? 1 : word == "residue" ? 2 : kBadEngine;
}

bool startsWith(const std::string& piece, const char* key) {
  // Compared as C strings: a NUL inside the key's length ends the piece early.
  const size_t n = std::strlen(key);
  return piece.size() >= n && piece.compare(0, n, key) == 0;
}

void modelPiece(const std::string& piece, Model& m) {
  struct Key {
    const char* name;
    int64_t* value;
    bool narrow;  // stored in 32 bits
  };
  const Key keys[] = {{"base=", &m.base, true},        {"mink=", &m.minK, false},     {"maxk=", &m.maxK, false},
                      {"c=", &m.c, true},              {"period=", &m.period, false}, {"maxfact=", &m.maxFact, false},
                      {"facdisp=", &m.facDisp, false}, {"kdisp=", &m.kDisp, false},   {"threads=", &m.threads, false},
                      {"engine=", &m.engine, false},   {"resume=", &m.resume, false},
                      {"algebraic=", &m.algebraic, false}, {"progress=", &m.progress, false},
                      {"maxsets=", &m.maxSets, false}, {"wide=", &m.wide, false},
                      {"factoreffort=", &m.factorEffort, false}};
  for (const Key& key : keys) {
    if (!startsWith(piece, key.name)) continue;
    const int64_t value = key.value == &m.engine ? modelEngine(piece, std::strlen(key.name))
                                                 : modelDecimal(piece, std::strlen(key.name));
    *key.value = key.narrow ? clamp32(value) : value;
    return;
  }
}

// Pieces as fgets with a 100-byte buffer cuts them: up to and including a newline,
// at most 99 bytes, after a UTF-8 byte-order mark at the very start.
Model modelRead(const uint8_t* data, size_t size) {
  Model m;
  const bool marked = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF;
  for (size_t at = marked ? 3 : 0; at < size;) {
    size_t end = at;
    while (end < size && end - at < 99 && data[end] != '\n') ++end;
    if (end < size && end - at < 99 && data[end] == '\n') ++end;
    modelPiece(std::string(reinterpret_cast<const char*>(data) + at, end - at), m);
    at = end;
  }
  return m;
}

const char* modelFault(Model& m) {
  if (m.base == kNotGiven) return "base must be specified in pelund.ini";
  if (m.minK == kNotGiven) return "mink must be specified in pelund.ini";
  if (m.maxK == kNotGiven) return "maxk must be specified in pelund.ini";
  if (m.c == kNotGiven) return "c must be specified in pelund.ini";
  if (m.period == 0 || m.period == kNotGiven) m.period = 144;
  if (m.maxFact == 0 || m.maxFact == kNotGiven) m.maxFact = 1000000;
  if (m.facDisp == kNotGiven) m.facDisp = 0;
  if (m.kDisp == kNotGiven) m.kDisp = 0;
  if (m.threads == kNotGiven) m.threads = 0;
  if (m.engine == kNotGiven) m.engine = 0;
  if (m.resume == kNotGiven) m.resume = 0;
  if (m.algebraic == kNotGiven) m.algebraic = 0;
  if (m.progress == kNotGiven) m.progress = 1;
  if (m.maxSets == kNotGiven) m.maxSets = 0;
  if (m.wide == kNotGiven) m.wide = 0;
  if (m.factorEffort == kNotGiven) m.factorEffort = kDefaultFactorEffort;
  if (m.wide == 1) return kWideRange;
  if (m.base < 2) return "base cannot be less than 2";
  if (m.base > kE9) return "base cannot be greater than 1e9";
  if (m.minK > m.maxK) return "mink cannot be greater than maxk";
  if (m.minK < 1) return "mink cannot be less than 1";
  if (m.maxK > kE18) return "maxk cannot be greater than 1e18";
  if (m.c != -1 && m.c != 1) return "c must be -1 or 1";
  if (m.period < 2) return "period cannot be less than 2";
  if (m.period > 5040) return "period cannot be greater than 5040";
  if (m.maxFact < 5) return "maxfact cannot be less than 5";
  if (m.maxFact > kE9) return "maxfact cannot be greater than 1e9";
  if (m.facDisp < 0) return "facdisp cannot be negative";
  if (m.facDisp > kE9) return "facdisp cannot be greater than 1e9";
  if (m.kDisp < 0) return "kdisp cannot be negative";
  if (m.kDisp > kE9) return "kdisp cannot be greater than 1e9";
  if (m.threads < 0) return "threads cannot be negative";
  if (m.threads > kMaxThreads) return "threads cannot be greater than 1024";
  if (m.engine == kBadEngine) return "engine must be auto, sieve or residue";
  if (m.resume != 0 && m.resume != 1) return "resume must be 0 or 1";
  if (m.algebraic != 0 && m.algebraic != 1) return "algebraic must be 0 or 1";
  if (m.progress != 0 && m.progress != 1) return "progress must be 0 or 1";
  if (m.maxSets < 0) return "maxsets cannot be negative";
  if (m.maxSets > kE18) return "maxsets cannot be greater than 1e18";
  if (m.wide != 0 && m.wide != 1) return "wide must be 0 or 1";
  if (m.factorEffort < 0) return "factoreffort cannot be negative";
  if (m.factorEffort > 86400) return "factoreffort cannot be greater than 86400";
  return nullptr;
}

// ---- the reader ---------------------------------------------------------------

struct Reading {
  const char* fault;
  int64_t values[14];
};

Reading readBytes(const uint8_t* data, size_t size) {
  std::vector<char> buffer(data, data + size);
  std::FILE* file = fmemopen(buffer.data(), size, "r");
  if (file == nullptr) std::abort();
  Reading r{loadInputs(file), {gi_base, gi_minK, gi_maxK, gi_c, gi_period, gi_maxFact, gi_facDisp, gi_kDisp, gi_threads, gi_engine,
                                  gi_resume, gi_algebraic, gi_progress, gi_maxSets}};
  std::fclose(file);
  return r;
}

// Every range of the configuration table, read straight off the globals.
void requireRanges() {
  require(gi_base >= 2 && gi_base <= kE9, "base outside 2..1e9");
  require(gi_c == 1 || gi_c == -1, "c neither 1 nor -1");
  if (g_wide.beyond) {
    // k in decimal without leading zeros, 1 <= mink <= maxk < 2^256; the wide caps.
    const std::string& a = g_wide.minK;
    const std::string& b = g_wide.maxK;
    const auto digits = [](const std::string& t) {
      return !t.empty() && t.size() <= 78 && t.find_first_not_of("0123456789") == std::string::npos && t[0] != '0';
    };
    require(gi_wide == 1 && digits(a) && digits(b) && (a.size() < b.size() || (a.size() == b.size() && a <= b)),
            "wide k range outside 1 <= mink <= maxk");
    require(g_wide.period >= 2 && g_wide.period <= 65520, "wide period outside 2..65520");
    require(g_wide.maxFact >= 5, "wide maxfact below 5");
    const bool beyondE18 = b.size() > 19 || (b.size() == 19 && b > "1000000000000000000");
    require(g_wide.period > 5040 || g_wide.maxFact > uint64_t(kE9) || beyondE18, "a wide search within the 64-bit caps");
  } else {
    require(gi_minK >= 1 && gi_minK <= gi_maxK && gi_maxK <= kE18, "k range outside 1 <= mink <= maxk <= 1e18");
    require(gi_period >= 2 && gi_period <= 5040, "period outside 2..5040");
    require(gi_maxFact >= 5 && gi_maxFact <= kE9, "maxfact outside 5..1e9");
  }
  require(gi_facDisp >= 0 && gi_facDisp <= kE9, "facdisp outside 0..1e9");
  require(gi_kDisp >= 0 && gi_kDisp <= kE9, "kdisp outside 0..1e9");
  require(gi_threads >= 0 && gi_threads <= kMaxThreads, "threads outside 0..1024");
  require(gi_engine >= 0 && gi_engine <= 2, "engine outside auto, sieve, residue");
  require(gi_resume == 0 || gi_resume == 1, "resume neither 0 nor 1");
  require(gi_algebraic == 0 || gi_algebraic == 1, "algebraic neither 0 nor 1");
  require(gi_progress == 0 || gi_progress == 1, "progress neither 0 nor 1");
  require(gi_maxSets >= 0 && gi_maxSets <= kE18, "maxsets outside 0..1e18");
}

bool sameFault(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Reading first = readBytes(data, size);
  if (first.fault == nullptr) requireRanges();

  Model model = modelRead(data, size);
  const char* expected = modelFault(model);
  if (expected != kWideRange && !sameFault(first.fault, expected)) fail("fault differs", first.fault, expected);
  if (expected == nullptr) {
    const int64_t values[14] = {model.base,    model.minK,    model.maxK,    model.c,      model.period,
                                model.maxFact, model.facDisp, model.kDisp,   model.threads, model.engine,
                                model.resume,  model.algebraic, model.progress, model.maxSets};
    for (int i = 0; i < 14; ++i) {
      if (values[i] != first.values[i]) fail("value differs", std::to_string(first.values[i]).c_str(),
                                             std::to_string(values[i]).c_str());
    }
  }

  const Reading second = readBytes(data, size);
  if (!sameFault(first.fault, second.fault) || std::memcmp(first.values, second.values, sizeof first.values) != 0)
    fail("a second reading differs", second.fault, first.fault);
  return 0;
}
