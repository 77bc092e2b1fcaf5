// The state of a resumable wide search (wide=1 beyond the 64-bit caps), pelund.state
// as for any search: the same heading, keys and end mark, with k of any width up to
// 2^256 in decimal, maxfact up to 2^64-1, and the line "wide=1" before the end mark,
// which tells it from an ordinary state. Each run reads the other's state of the same
// search: a wide run extends an ordinary one beyond the caps, and a run within them
// goes on from a wide state while its k fit. Its parts are whole: there is no tree
// part in progress to record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A state holds at most this many covered k of a part in progress (a part with more is
// recorded at its start), so that it stays a few megabytes.
inline constexpr size_t kMostWidePartKs = size_t(1) << 16;
inline constexpr size_t kLongestWideState = 4096 + kMostWidePartKs * 80;

struct WideState {
  int32_t base = 0;
  int32_t c = 0;
  uint32_t period = 0;
  uint64_t maxFact = 0;
  std::string minK;   // decimal, no leading zeros
  std::string nextK;  // every k below it searched and its line written (up to 2^256)
  uint64_t found = 0;
  int64_t length = 0;
  // A tree part in progress from nextK (wanted 0: none): its end, the
  // subtrees wanted of its list and the list's hash, those done, and their covered k
  // (decimal, strictly ascending within the part).
  std::string partTo;
  uint64_t wanted = 0, list = 0, done = 0;
  std::vector<std::string> covered;

  bool sameSearch(const WideState& other) const {
    return base == other.base && c == other.c && period == other.period && maxFact == other.maxFact &&
           minK == other.minK;
  }
};

struct SearchState;
// An ordinary state as a wide one: the same search, at the same point.
WideState wideStateOf(const SearchState& state);

std::string formatWideState(const WideState& state);
// False when the text is not a whole, well-formed wide state.
bool parseWideState(const std::string& text, WideState& state);
bool writeWideState(const char* path, const WideState& state, std::string& cause);

// Decimal texts without leading zeros: a <= b, a + 1 and a - 1 (a >= 1).
bool decimalAtMost(const std::string& a, const std::string& b);
std::string decimalPlusOne(std::string a);
std::string decimalMinusOne(std::string a);
