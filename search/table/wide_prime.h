// A candidate prime of a wide search: up to 2^64, with its period (the order of b
// modulo it), which divides P.
#pragma once

#include <cstdint>

namespace pelund {

struct WidePrime {
  uint64_t prime;
  uint32_t period;
  bool operator==(const WidePrime&) const = default;
};

}  // namespace pelund
