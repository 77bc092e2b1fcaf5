// Arithmetic modulo a number below 2^64: products of two residues fit in 128 bits.
#pragma once

#include <cstdint>

inline uint64_t mulmod64(uint64_t a, uint64_t b, uint64_t m) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % m);
}

// x^e mod m for m >= 1.
inline uint64_t powmod64(uint64_t x, uint64_t e, uint64_t m) {
  uint64_t result = 1 % m;
  x %= m;
  for (; e > 0; e >>= 1) {
    if (e & 1) result = mulmod64(result, x, m);
    x = mulmod64(x, x, m);
  }
  return result;
}

// Deterministic Miller-Rabin: the first twelve primes as bases decide every n below
// 3.3 * 10^24, so every n below 2^64.
inline bool isPrime64(uint64_t n) {
  constexpr uint64_t kBases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  if (n < 2) return false;
  for (uint64_t small : kBases)
    if (n % small == 0) return n == small;
  uint64_t d = n - 1;
  int twos = 0;
  for (; d % 2 == 0; d /= 2) ++twos;
  for (uint64_t witness : kBases) {
    uint64_t x = powmod64(witness, d, n);
    bool passes = x == 1 || x == n - 1;
    for (int r = 1; r < twos && !passes; ++r) {
      x = mulmod64(x, x, n);
      passes = x == n - 1;
    }
    if (!passes) return false;
  }
  return true;
}

// The multiplicative order of b modulo the prime p when it divides `period` (b^period
// = 1 mod p), else 0: each prime factor of the period is taken out of it as long as
// the power stays 1.
inline uint64_t orderMod64(uint64_t b, uint64_t p, uint64_t period) {
  if (period == 0 || powmod64(b, period, p) != 1) return 0;
  uint64_t order = period, rest = period;
  for (uint64_t q = 2; q * q <= rest; ++q) {
    if (rest % q != 0) continue;
    while (rest % q == 0) rest /= q;
    while (order % q == 0 && powmod64(b, order / q, p) == 1) order /= q;
  }
  if (rest > 1)
    while (order % rest == 0 && powmod64(b, order / rest, p) == 1) order /= rest;
  return order;
}
