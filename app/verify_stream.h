// pelund-verify's reading of a covering.txt: line by line, each checked on its own
// (see search/verify/verify.h) and against the k of the line before, the bad ones
// reported with their reason.
#pragma once

#include <pelund/pelund.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "verify.h"

namespace verify {

struct Tally {
  uint64_t checked = 0;
  uint64_t bad = 0;
  bool readFailed = false;  // the stream reported an error before its end
};

// Checks every line of `in`, writing "line N: <reason> : <line text>" for each bad
// line to `report`; a line whose k is not above the previous line's k is bad too.
Tally checkStream(std::FILE* in, int64_t base, int32_t c, std::FILE* report);

// The same check with each line explained (pelund-verify --explain and --json): every
// line goes to `each` with its number, its text and its explanation, whose fault is
// the one checkStream reports (the k order across lines included).
using ExplainedLine = std::function<void(uint64_t number, std::string_view text, const pelund::Explanation&)>;
Tally explainStream(std::FILE* in, int64_t base, int32_t c, const ExplainedLine& each);

// A line as a report shows it: without its line end, control bytes as \xNN, cut at
// 200 characters.
std::string shownLine(std::string_view text);

// Line `number` in pelund-verify --explain's words: "line N: k*b^n+c : <line>" (for a
// bad line "line N: <reason> : <line>", as checkStream reports it), then one line per
// class, and for a good line the conclusion that the classes cover 1 .. the span.
void writeExplanation(std::FILE* out, uint64_t number, std::string_view text, const pelund::Explanation& explanation);

}  // namespace verify
