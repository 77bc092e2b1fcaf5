// Unsigned integers below 2^256, for the multipliers k of a wide search and the moduli
// of its residue classes: four 64-bit limbs, least significant first, with the few
// operations the search needs. Sums and products wrap modulo 2^256 unless taken with
// an overflow flag; the callers that may pass 2^256 (a class modulus times a prime)
// check the flag, since a class whose modulus passes the range holds one k at most.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelund {

struct U256 {
  using u128 = unsigned __int128;
  uint64_t limb[4] = {0, 0, 0, 0};

  constexpr U256() = default;
  constexpr U256(uint64_t value) : limb{value, 0, 0, 0} {}  // NOLINT: a uint64_t is one
  static constexpr U256 fromLimbs(uint64_t l0, uint64_t l1, uint64_t l2, uint64_t l3) {
    U256 r;
    r.limb[0] = l0, r.limb[1] = l1, r.limb[2] = l2, r.limb[3] = l3;
    return r;
  }
  static constexpr U256 max() { return fromLimbs(~uint64_t(0), ~uint64_t(0), ~uint64_t(0), ~uint64_t(0)); }

  constexpr bool fitsU64() const { return (limb[1] | limb[2] | limb[3]) == 0; }
  constexpr uint64_t low64() const { return limb[0]; }
  constexpr bool isZero() const { return fitsU64() && limb[0] == 0; }
  // The number of significant bits (0 for zero).
  constexpr int bits() const {
    for (int i = 3; i >= 0; --i)
      if (limb[i] != 0) return 64 * i + 64 - __builtin_clzll(limb[i]);
    return 0;
  }
  // The value as a double, rounded toward zero in the last bits (for estimates).
  double toDouble() const {
    double v = 0;
    for (int i = 3; i >= 0; --i) v = v * 18446744073709551616.0 + double(limb[i]);
    return v;
  }

  friend constexpr bool operator==(const U256& a, const U256& b) {
    return a.limb[0] == b.limb[0] && a.limb[1] == b.limb[1] && a.limb[2] == b.limb[2] && a.limb[3] == b.limb[3];
  }
  friend constexpr std::strong_ordering operator<=>(const U256& a, const U256& b) {
    for (int i = 3; i >= 0; --i)
      if (a.limb[i] != b.limb[i]) return a.limb[i] <=> b.limb[i];
    return std::strong_ordering::equal;
  }

  // a + b; `carry` (when given) tells whether the true sum reached 2^256.
  static constexpr U256 add(const U256& a, const U256& b, bool* carry = nullptr) {
    U256 r;
    uint64_t c = 0;
    for (int i = 0; i < 4; ++i) {
      const u128 s = u128(a.limb[i]) + b.limb[i] + c;
      r.limb[i] = uint64_t(s), c = uint64_t(s >> 64);
    }
    if (carry != nullptr) *carry = c != 0;
    return r;
  }
  // a - b; `borrow` (when given) tells whether b exceeded a.
  static constexpr U256 sub(const U256& a, const U256& b, bool* borrow = nullptr) {
    U256 r;
    uint64_t c = 0;
    for (int i = 0; i < 4; ++i) {
      const uint64_t x = a.limb[i], y = b.limb[i];
      const uint64_t d = x - y - c;
      c = (x < y || (x == y && c != 0)) ? 1 : 0;
      r.limb[i] = d;
    }
    if (borrow != nullptr) *borrow = c != 0;
    return r;
  }
  friend constexpr U256 operator+(const U256& a, const U256& b) { return add(a, b); }
  friend constexpr U256 operator-(const U256& a, const U256& b) { return sub(a, b); }

  // This times m; `overflow` (when given) tells whether the product reached 2^256.
  constexpr U256 mulSmall(uint64_t m, bool* overflow = nullptr) const {
    U256 r;
    uint64_t carry = 0;
    for (int i = 0; i < 4; ++i) {
      const u128 p = u128(limb[i]) * m + carry;
      r.limb[i] = uint64_t(p), carry = uint64_t(p >> 64);
    }
    if (overflow != nullptr) *overflow = carry != 0;
    return r;
  }
  // a * b modulo 2^256, with `overflow` telling whether the true product reached 2^256.
  static constexpr U256 checkedMul(const U256& a, const U256& b, bool* overflow = nullptr) {
    uint64_t wide[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
      uint64_t carry = 0;
      for (int j = 0; j < 4; ++j) {
        const u128 p = u128(a.limb[i]) * b.limb[j] + wide[i + j] + carry;
        wide[i + j] = uint64_t(p), carry = uint64_t(p >> 64);
      }
      wide[i + 4] = carry;
    }
    if (overflow != nullptr) *overflow = (wide[4] | wide[5] | wide[6] | wide[7]) != 0;
    return fromLimbs(wide[0], wide[1], wide[2], wide[3]);
  }
  static constexpr bool mulOverflows(const U256& a, const U256& b) {
    bool overflow = false;
    checkedMul(a, b, &overflow);
    return overflow;
  }
  friend constexpr U256 operator*(const U256& a, const U256& b) { return checkedMul(a, b); }

  // This modulo m (m >= 1), one 128-by-64 remainder per limb.
  constexpr uint64_t mod(uint64_t m) const {
    uint64_t r = 0;
    for (int i = 3; i >= 0; --i) r = uint64_t(((u128(r) << 64) | limb[i]) % m);
    return r;
  }
  // The quotient by d (d >= 1), the remainder in `remainder` when given.
  constexpr U256 divmod(uint64_t d, uint64_t* remainder = nullptr) const {
    U256 q;
    uint64_t r = 0;
    for (int i = 3; i >= 0; --i) {
      const u128 x = (u128(r) << 64) | limb[i];
      q.limb[i] = uint64_t(x / d), r = uint64_t(x % d);
    }
    if (remainder != nullptr) *remainder = r;
    return q;
  }

  constexpr U256 shiftLeft(int s) const {
    U256 r;
    if (s >= 256) return r;
    const int words = s / 64, rest = s % 64;
    for (int i = 3; i >= words; --i) {
      uint64_t v = limb[i - words] << rest;
      if (rest != 0 && i - words - 1 >= 0) v |= limb[i - words - 1] >> (64 - rest);
      r.limb[i] = v;
    }
    return r;
  }
  constexpr U256 shiftRight(int s) const {
    U256 r;
    if (s >= 256) return r;
    const int words = s / 64, rest = s % 64;
    for (int i = 0; i + words < 4; ++i) {
      uint64_t v = limb[i + words] >> rest;
      if (rest != 0 && i + words + 1 < 4) v |= limb[i + words + 1] << (64 - rest);
      r.limb[i] = v;
    }
    return r;
  }

  // a / b (b nonzero) by shifts and subtractions, the remainder in `remainder` when
  // given: for rare uses (a class's count of k), not for loops.
  static constexpr U256 divmod(const U256& a, const U256& b, U256* remainder = nullptr) {
    if (b.fitsU64()) {
      uint64_t r = 0;
      const U256 q = a.divmod(b.low64(), &r);
      if (remainder != nullptr) *remainder = U256(r);
      return q;
    }
    U256 q, r = a;
    const int shift = a.bits() - b.bits();
    for (int s = shift; s >= 0; --s) {
      const U256 d = b.shiftLeft(s);
      if (r >= d) r = r - d, q.limb[s / 64] |= uint64_t(1) << (s % 64);
    }
    if (remainder != nullptr) *remainder = r;
    return q;
  }

  // Decimal digits only (leading zeros allowed, as the configuration's numbers allow
  // them); false for an empty text, any other character, or a value of 2^256 or more.
  static bool parse(std::string_view decimal, U256& out) {
    if (decimal.empty()) return false;
    U256 value;
    for (char ch : decimal) {
      if (ch < '0' || ch > '9') return false;
      bool over = false, carry = false;
      value = value.mulSmall(10, &over);
      value = add(value, U256(uint64_t(ch - '0')), &carry);
      if (over || carry) return false;
    }
    out = value;
    return true;
  }

  std::string toString() const {
    if (isZero()) return "0";
    std::string digits;
    U256 v = *this;
    constexpr uint64_t kChunk = 10000000000000000000u;  // 10^19
    while (!v.isZero()) {
      uint64_t r = 0;
      v = v.divmod(kChunk, &r);
      for (int i = 0; i < 19 && (r != 0 || !v.isZero()); ++i) digits.push_back(char('0' + r % 10)), r /= 10;
    }
    std::reverse(digits.begin(), digits.end());
    return digits;
  }
};

}  // namespace pelund
