// Arithmetic modulo a number below 2^32: products of two residues fit in 64 bits.
#pragma once

#include <cstdint>

inline uint32_t mulMod(uint32_t a, uint32_t b, uint32_t m) { return static_cast<uint32_t>(uint64_t(a) * b % m); }

inline uint32_t powMod(uint32_t x, uint64_t e, uint32_t m) {
  uint32_t result = 1 % m;
  x %= m;
  for (; e > 0; e >>= 1) {
    if (e & 1) result = mulMod(result, x, m);
    x = mulMod(x, x, m);
  }
  return result;
}
