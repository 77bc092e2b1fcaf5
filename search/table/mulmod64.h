// Arithmetic modulo a number below 2^64, for candidate primes beyond 32 bits: products
// of two residues are taken in unsigned __int128, and primality is a deterministic
// Miller-Rabin test (the first twelve primes as bases are a proof for every n < 2^64,
// indeed below 3.3 * 10^24).
#pragma once

#include <cstdint>
#include <vector>

namespace pelund {

inline uint64_t mulmod64(uint64_t a, uint64_t b, uint64_t m) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % m);
}

inline uint64_t powmod64(uint64_t x, uint64_t e, uint64_t m) {
  uint64_t result = 1 % m;
  x %= m;
  for (; e > 0; e >>= 1) {
    if (e & 1) result = mulmod64(result, x, m);
    x = mulmod64(x, x, m);
  }
  return result;
}

inline bool isPrime64(uint64_t n) {
  constexpr uint64_t kBases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  if (n < 2) return false;
  for (uint64_t q : kBases) {
    if (n % q == 0) return n == q;
  }
  uint64_t d = n - 1;
  int s = 0;
  for (; d % 2 == 0; d /= 2) ++s;
  for (uint64_t a : kBases) {
    uint64_t x = powmod64(a, d, n);
    if (x == 1 || x == n - 1) continue;
    bool composite = true;
    for (int i = 1; i < s && composite; ++i) {
      x = mulmod64(x, x, n);
      composite = x != n - 1;
    }
    if (composite) return false;
  }
  return true;
}

// The distinct prime factors of n, ascending, by trial division (n is a period, small).
inline std::vector<uint64_t> distinctPrimeFactors64(uint64_t n) {
  std::vector<uint64_t> primes;
  for (uint64_t q = 2; q * q <= n; ++q) {
    if (n % q != 0) continue;
    primes.push_back(q);
    while (n % q == 0) n /= q;
  }
  if (n > 1) primes.push_back(n);
  return primes;
}

// The multiplicative order of b modulo the prime p when it divides `period`, else 0
// (also when p divides b). `periodPrimes` are the distinct primes of `period`: the
// order is `period` with each of them taken out while the power stays 1.
inline uint64_t orderMod64(uint64_t b, uint64_t p, uint64_t period, const std::vector<uint64_t>& periodPrimes) {
  b %= p;
  if (b == 0 || period == 0 || powmod64(b, period, p) != 1) return 0;
  uint64_t order = period;
  for (uint64_t q : periodPrimes)
    while (order % q == 0 && powmod64(b, order / q, p) == 1) order /= q;
  return order;
}

inline uint64_t orderMod64(uint64_t b, uint64_t p, uint64_t period) {
  return orderMod64(b, p, period, distinctPrimeFactors64(period));
}

}  // namespace pelund
