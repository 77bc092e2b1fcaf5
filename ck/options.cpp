// The command line of pelund-ck (see options.h).
#include "options.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include <pelund/pelund.hpp>

namespace {

constexpr const char* kBasesFault = "bases must be numbers, ranges and lists such as 2-100,120,1000-1030";

// A decimal number of digits only; values past int64 saturate, so that the range
// checks refuse them with their own words. `longest` digits at most.
bool decimal(const std::string& text, int64_t& value, size_t longest = 40) {
  if (text.empty() || text.size() > longest) return false;
  value = 0;
  for (char digit : text) {
    if (digit < '0' || digit > '9') return false;
    value = value > (INT64_MAX - 9) / 10 ? INT64_MAX : value * 10 + (digit - '0');
  }
  return true;
}

// "2-100,120,1000-1030": each piece a number or a range low-high.
const char* parseBases(const std::string& text, std::vector<int32_t>& bases) {
  std::vector<std::pair<int64_t, int64_t>> ranges;
  size_t at = 0;
  for (;;) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string piece = text.substr(at, comma - at);
    const size_t dash = piece.find('-');
    int64_t low = 0, high = 0;
    if (dash == std::string::npos) {
      if (!decimal(piece, low)) return kBasesFault;
      high = low;
    } else if (!decimal(piece.substr(0, dash), low) || !decimal(piece.substr(dash + 1), high)) {
      return kBasesFault;
    }
    if (const char* fault = pelund::rangeFault(low, 1, 1, 1, 2, 5)) return fault;
    if (const char* fault = pelund::rangeFault(high, 1, 1, 1, 2, 5)) return fault;
    if (high < low) return "a range of bases cannot end below its start";
    ranges.emplace_back(low, high);
    if (comma == text.size()) break;
    at = comma + 1;
  }
  // The limit is on distinct bases: the ranges are merged first, so that a base listed
  // twice counts once and no list, however it repeats itself, is expanded past it.
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<int64_t, int64_t>> merged;
  for (const auto& [low, high] : ranges)
    if (!merged.empty() && low <= merged.back().second + 1) merged.back().second = std::max(merged.back().second, high);
    else merged.emplace_back(low, high);
  int64_t count = 0;
  for (const auto& [low, high] : merged) count += high - low + 1;
  if (count > int64_t(kMostBases)) return "a table cannot have more than 1000000 bases";
  for (const auto& [low, high] : merged)
    for (int64_t b = low; b <= high; ++b) bases.push_back(int32_t(b));
  return nullptr;
}

// With --wide, the range at full width, in the order and words of pelund's wide=1 (the
// bases and forms are checked apart, so a valid base and sign stand in for them); sets
// what the table searches with the ordinary engines and what with the wide one.
const char* wideRangeFault(CkOptions& o) {
  pelund::WideRange range;
  if (const char* fault = pelund::wideRangeFault(2, o.minKText, o.maxKText, 1, o.period, o.maxFactText, range))
    return fault;
  o.minKText = range.minK, o.maxKText = range.maxK, o.maxFactText = std::to_string(range.maxFact);
  o.beyond = range.beyond;
  if (!o.beyond) return nullptr;
  if (o.algebraic) return "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040";
  constexpr uint64_t kE9 = 1000000000;
  const bool minKWithin = o.minKText.size() < 19 || (o.minKText.size() == 19 && o.minKText <= "1000000000000000000");
  o.ordinary = range.maxFact <= kE9 && o.period <= 5040 && minKWithin;
  o.wideFrom = o.ordinary ? "1000000000000000001" : o.minKText;
  if (o.ordinary) {
    o.maxK = 1000000000000000000;
    o.maxFact = int64_t(range.maxFact);
  }
  return nullptr;
}

}  // namespace

std::string CkItem::name() const { return (c == 1 ? "S" : "R") + std::to_string(base); }

const char* parseCkOptions(const std::vector<std::string>& arguments, CkOptions& o) {
  struct Valued {
    const char* name;
    int64_t* value;
  };
  const Valued valued[] = {{"--period", &o.period}, {"--maxfact", &o.maxFact}, {"--mink", &o.minK},
                           {"--maxk", &o.maxK},     {"--threads", &o.threads},  {"--factoreffort", &o.factorEffort}};
  std::vector<std::string> plain;
  for (const std::string& word : arguments) o.wide = o.wide || word == "--wide";
  // mink, maxk and maxfact as written, for --wide; up to 2^256-1 needs 78 digits.
  std::string* const texts[] = {nullptr, &o.maxFactText, &o.minKText, &o.maxKText, nullptr, nullptr};
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word == "--help") o.help = true;
    else if (word == "--version") o.version = true;
    else if (word == "--algebraic") o.algebraic = true;
    else if (word == "--wide") continue;
    else if (word.rfind("--", 0) == 0) {
      const size_t equals = word.find('=');
      const std::string name = word.substr(0, equals);
      const Valued* option = nullptr;
      for (const Valued& v : valued)
        if (name == v.name) option = &v;
      if (option == nullptr) return "unknown option (see pelund-ck --help)";
      std::string text;
      if (equals != std::string::npos) text = word.substr(equals + 1);
      else if (i + 1 < arguments.size()) text = arguments[++i];
      else return "an option needs a value, as in --maxk 1000000";
      if (!decimal(text, *option->value, o.wide ? 100 : 40)) return "option values must be decimal numbers";
      if (std::string* written = texts[option - valued]) *written = text;
    } else {
      plain.push_back(word);
    }
  }
  if (o.help || o.version) return nullptr;
  if (plain.empty()) return "the forms must be given: S, R or SR";
  if (plain[0] == "S" || plain[0] == "R" || plain[0] == "SR" || plain[0] == "RS") {
    o.sierpinski = plain[0].find('S') != std::string::npos;
    o.riesel = plain[0].find('R') != std::string::npos;
  } else {
    return "the forms must be S, R or SR";
  }
  if (plain.size() < 2) return "the bases must be given, as in 2-100,120,1000-1030";
  if (plain.size() > 2) return "give the bases as one list, as in 2-100,120,1000-1030";
  if (const char* fault = parseBases(plain[1], o.bases)) return fault;
  if (o.wide)
    if (const char* fault = wideRangeFault(o)) return fault;
  if (!o.beyond || o.ordinary)
    if (const char* fault = pelund::rangeFault(o.bases.front(), o.minK, o.maxK, 1, o.period, o.maxFact)) return fault;
  if (const char* fault = pelund::threadsFault(o.threads)) return fault;
  if (const char* fault = pelund::factorEffortFault(o.factorEffort)) return fault;
  if (o.beyond)
    if (const char* fault = pelund::factoringFault(std::stoull(o.maxFactText))) return fault;
  return nullptr;
}

std::vector<CkItem> ckItems(const CkOptions& o) {
  std::vector<CkItem> items;
  for (int32_t b : o.bases) {
    if (o.sierpinski) items.push_back({b, 1});
    if (o.riesel) items.push_back({b, -1});
  }
  return items;
}

std::string basesText(const std::vector<int32_t>& bases) {
  std::string text;
  for (size_t i = 0; i < bases.size();) {
    size_t j = i;
    while (j + 1 < bases.size() && bases[j + 1] == bases[j] + 1) ++j;
    if (!text.empty()) text += ',';
    text += std::to_string(bases[i]);
    if (j > i) text += '-' + std::to_string(bases[j]);
    i = j + 1;
  }
  return text;
}

std::string ckHeading(const CkOptions& o) {
  if (o.wide) {
    // The bounds in full, as given.
    return std::string("pelund-ck ") + (o.sierpinski ? "S" : "") + (o.riesel ? "R" : "") + " " +
           basesText(o.bases) + " period=" + std::to_string(o.period) +
           " maxfact=" + o.maxFactText + " mink=" + o.minKText + " maxk=" + o.maxKText +
           " algebraic=" + (o.algebraic ? "1" : "0") + " wide=1" +
           (o.factorEffort != 5 ? " factoreffort=" + std::to_string(o.factorEffort) : std::string()) + "\n";
  }
  char bounds[200];
  std::snprintf(bounds, sizeof bounds, " period=%" PRId64 " maxfact=%" PRId64 " mink=%" PRId64 " maxk=%" PRId64
                " algebraic=%d\n", o.period, o.maxFact, o.minK, o.maxK, o.algebraic ? 1 : 0);
  return std::string("pelund-ck ") + (o.sierpinski ? "S" : "") + (o.riesel ? "R" : "") + " " + basesText(o.bases) +
         bounds;
}
