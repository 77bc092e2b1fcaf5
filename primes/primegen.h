// primegen.h — incremental prime generator: hands out the primes in ascending
// order from 2, one per call, for as long as the caller asks.
//
// Mathematics: a segmented sieve of Atkin on the wheel of 60. An integer n prime
// to 60 and squarefree is prime exactly when the number of its representations
// by one quadratic form is odd: 4x^2 + y^2 for n = 1 (mod 4), 3x^2 + y^2 for
// n = 7 (mod 12), 3x^2 - y^2 with x > y > 0 for n = 11 (mod 12). The sixteen
// residues prime to 60 each get a row with one bit per block of 60 integers; the
// sieve flips the bits along those forms, then strikes the multiples of the
// squares of 7, 11, 13, ... (everything prime to 30 from 7 upward).
//
// Why it is fast: one segment is 9,600,000 integers (5000 words per row), a row
// of 20,000 bytes stays in the first-level cache while its forms are flipped,
// and the primes are decoded one word column (1920 integers) at a time into a
// small queue that is already in descending order, so handing one out is a
// decrement and a load.
#pragma once

#include <array>
#include <cstdint>

// Geometry of a segment.
inline constexpr int primegen_rows = 16;                 // residues prime to 60
inline constexpr int primegen_words = 5000;              // 32-bit words per row
inline constexpr int primegen_blocks = 32 * primegen_words;  // 160,000 blocks of 60
inline constexpr int primegen_queue_size = 32 * primegen_rows;  // one word column

// The residue r_j of row j; rows stand in ascending residue order.
inline constexpr std::array<uint32_t, primegen_rows> primegen_residues = {
    1, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 49, 53, 59};

// The generator's whole state; owned by the caller, no pointers, no clean-up.
// Invariant between calls:
//   word_base == 60 * (segment_start - 160000 + 32 * next_word).
struct primegen {
  // Bit i of row j stands for 60 * (S + i) + r_j, S the block the sieved
  // segment begins at; after sieving, 0 marks a prime.
  uint32_t sieve_bits[primegen_rows][primegen_words];
  // Decoded primes not yet handed out, largest first; queue[queue_len - 1] is next.
  uint64_t queue[primegen_queue_size];
  int32_t queue_len;
  int32_t next_word;        // next word column to decode; 5000: sieve first
  uint64_t word_base;       // 60 * block number of bit 0 of column next_word
  uint64_t segment_start;   // block at which the next segment to sieve begins
};

namespace primegen_detail {

constexpr bool isSmallPrime(uint32_t n) {
  if (n < 2) return false;
  for (uint32_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

// Squares of the primes 7 .. 239: the squares struck out row by row.
constexpr std::array<uint32_t, 49> makeQqtab() {
  std::array<uint32_t, 49> t{};
  int n = 0;
  for (uint32_t p = 7; p <= 239; ++p)
    if (isSmallPrime(p)) t[n++] = p * p;
  return t;
}

// Inverse of 60 modulo qq. A prime square prime to 60 is 1 or 49 (mod 60), and
// then 60 * (59 qq + 1) / 60 = 1 + 59 qq or 60 * (11 qq + 1) / 60 = 1 + 11 qq.
constexpr std::array<uint32_t, 49> makeQq60tab(const std::array<uint32_t, 49>& qq) {
  std::array<uint32_t, 49> t{};
  for (int n = 0; n < 49; ++n)
    t[n] = qq[n] % 60 == 49 ? (11 * qq[n] + 1) / 60 : (59 * qq[n] + 1) / 60;
  return t;
}

}  // namespace primegen_detail

// The squares of the primes from 7 to 239, ascending (49, 121, ..., 57121).
inline constexpr std::array<uint32_t, 49> qqtab = primegen_detail::makeQqtab();
// For each qqtab entry, the inverse of 60 modulo it (9, 119, 31, ..., 56169).
inline constexpr std::array<uint32_t, 49> qq60tab = primegen_detail::makeQq60tab(qqtab);

// Resets the record so that the next value handed out is 2.
void primegen_init(primegen* pg);
// Decodes the next word column into the queue (sieving the next segment first
// when the current one is used up). Only for queue_len == 0.
void primegen_fill(primegen* pg);
// Sieves the segment beginning at block segment_start into sieve_bits.
void primegen_sieve(primegen* pg);

namespace primegen_detail {
// The two builds of the column decoder behind primegen_fill: plain x86-64,
// and one for CPUs with BMI1 and POPCNT (chosen at run time when available;
// elsewhere the same as the plain one). Each decodes word column w into the
// queue, base being 60 times the block of the column's bit 0 (word_base), and
// sets queue_len; next_word and word_base are left to the caller. Public for
// the tests, which hold both against a bit-by-bit decode.
void decodeColumnPlain(primegen* pg, int w, uint64_t base);
void decodeColumnBmi(primegen* pg, int w, uint64_t base);
bool decodeColumnBmiAvailable();
}  // namespace primegen_detail

// Returns the smallest prime not yet handed out and consumes it. Inline: this
// is the call the search makes for every prime.
inline uint64_t primegen_next(primegen* pg) {
  if (pg->queue_len == 0) [[unlikely]] {  // once per column: keep it off the hot path
    do primegen_fill(pg);
    while (pg->queue_len == 0);  // a column may hold no prime
  }
  const int32_t top = pg->queue_len - 1;
  pg->queue_len = top;
  return pg->queue[static_cast<uint32_t>(top)];  // top >= 0: no sign extension
}

// Returns what the next primegen_next will return, without consuming it.
inline uint64_t primegen_peek(primegen* pg) {
  if (pg->queue_len == 0) [[unlikely]] {
    do primegen_fill(pg);
    while (pg->queue_len == 0);
  }
  return pg->queue[pg->queue_len - 1];
}
