// The state of a resumable search, pelund.state: which search it is (base, c, period,
// maxfact, mink, and algebraic=1 for a search with algebraic factors), the first k not yet searched, the sets written below it and the
// length of covering.txt that holds them; and for a part of the residue tree in
// progress there, its end, its list of subtrees and how many of them are done, with
// the covered k they hold. A small text file, one "key=value" per
// line between a heading and an end mark, so that a person can read it and a
// truncated or damaged copy is told from a whole one.
#pragma once

#include <cstdint>
#include <string>

#include <pelund/pelund.hpp>

// The most covered k of a part in progress that a state records (a part with more is
// recorded at its start), and so the longest state there is: 20 bytes a k at most.
inline constexpr size_t kMostPartKs = size_t(1) << 21;
inline constexpr size_t kLongestState = 4096 + kMostPartKs * 20;

struct SearchState {
  int32_t base = 0;
  int32_t c = 0;
  int32_t period = 0;
  int32_t maxFact = 0;
  int64_t minK = 0;
  int64_t nextK = 0;   // every k below it searched and its line written
  uint64_t found = 0;  // lines written for k below nextK
  int64_t length = 0;  // bytes of covering.txt that hold them
  bool algebraic = false;  // a search with algebraic factors; its line is written only then
  // A part of the residue tree in progress at nextK (part.wanted 0: none): how many of
  // its subtrees are done and the covered k they hold, whose lines are not written yet.
  // Its lines are written only then, so other states stay as they were.
  pelund::TreeProgress part = {};

  bool sameSearch(const SearchState& other) const {
    return base == other.base && c == other.c && period == other.period && maxFact == other.maxFact &&
           minK == other.minK && algebraic == other.algebraic;
  }
};

// The text of a state file.
std::string formatSearchState(const SearchState& state);
// Reads a state's text, with LF or CR LF line ends; false when it is not a whole,
// well-formed state.
bool parseSearchState(const std::string& text, SearchState& state);

// Writes the state to a temporary file beside `path`, flushes it to the device and
// puts it in place atomically. False with the cause when any step fails.
bool writeSearchState(const char* path, const SearchState& state, std::string& cause);
// The same for a state's text.
bool writeStateText(const char* path, const std::string& text, std::string& cause);
