// Wall time since a moment, for the search's own pacing (part widths, probe budgets).
#pragma once

#include <chrono>

inline double secondsSince(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}
