// pelund-verify's reading of a covering.txt: line by line, each checked on its own
// (see search/verify/verify.h) and against the k of the line before, the bad ones
// reported with their reason.
#pragma once

#include <cstdint>
#include <cstdio>

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

}  // namespace verify
