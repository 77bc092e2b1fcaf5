// primegen.cpp — start and refill of the prime generator: primegen_init and the
// decode of one word column of the sieved segment into the queue (primegen_fill).
//
// A word column is word w of each of the 16 rows: 32 blocks of 60 integers, the
// integers B + 60 b + r_j for bit b and row j. The queue must hold them in
// descending order, that is by b descending and, within b, by j descending.
//
// Why it is fast: instead of testing 512 bits one by one, the 16 x 32 bit
// matrix of the column is transposed (SSE2 byte unpacks and movemask) into one
// 512-bit string whose bit order is the queue order, and its set bits are
// visited with count-trailing-zeros, sixteen at a time without a
// data-dependent branch per prime. The string runs from the largest value at
// bit 0, so clearing the lowest set bit (m & (m - 1)) walks the queue order
// from the top. Where the CPU has BMI1 and POPCNT a second build of the
// decoder, chosen once at start-up, uses tzcnt, blsr and popcnt.
#include "primegen.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kColumnBits = 32 * primegen_rows;  // 512

// Offset from the column's base B of the integer at position i of the reversed
// column string: i = 511 - (16 b + j) stands for B + 60 b + r_j. The entry
// after the last one serves the surplus look-up past an exhausted last piece.
constexpr std::array<uint64_t, kColumnBits + 1> makeColumnOffsets() {
  std::array<uint64_t, kColumnBits + 1> t{};
  for (int i = 0; i < kColumnBits; ++i) {
    int natural = kColumnBits - 1 - i;
    t[i] = 60 * static_cast<uint64_t>(natural >> 4) + primegen_residues[natural & 15];
  }
  return t;
}
constexpr auto columnOffsets = makeColumnOffsets();

// Transposes a word column into the 512-bit string string[0..7]: bit
// 16 (31 - b) + 15 - j is set exactly when bit b of words[j] is set, so that
// the string read from bit 0 runs in queue order.
inline void transposeColumn(const uint32_t words[primegen_rows], uint64_t string[8]) {
#if defined(__SSE2__)
  // Load the rows in reverse (row 15 first) so that lane 15 - j holds row j.
  __m128i v[4];
  for (int k = 0; k < 4; ++k) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 12 - 4 * k));
    v[k] = _mm_shuffle_epi32(w, 0x1B);  // dwords 3, 2, 1, 0
  }
  // Three rounds of byte interleaving gather byte c of all 16 lanes.
  __m128i t0 = _mm_unpacklo_epi8(v[0], v[1]), t1 = _mm_unpackhi_epi8(v[0], v[1]);
  __m128i t2 = _mm_unpacklo_epi8(v[2], v[3]), t3 = _mm_unpackhi_epi8(v[2], v[3]);
  __m128i u0 = _mm_unpacklo_epi8(t0, t1), u1 = _mm_unpackhi_epi8(t0, t1);
  __m128i u2 = _mm_unpacklo_epi8(t2, t3), u3 = _mm_unpackhi_epi8(t2, t3);
  __m128i x0 = _mm_unpacklo_epi8(u0, u1), x1 = _mm_unpackhi_epi8(u0, u1);
  __m128i x2 = _mm_unpacklo_epi8(u2, u3), x3 = _mm_unpackhi_epi8(u2, u3);
  const __m128i bytes[4] = {_mm_unpacklo_epi64(x0, x2), _mm_unpackhi_epi64(x0, x2),
                            _mm_unpacklo_epi64(x1, x3), _mm_unpackhi_epi64(x1, x3)};
  // Byte c of each lane holds bits b = 8c .. 8c + 7; movemask takes the top bit
  // of every byte, and adding a register to itself shifts each byte left by one.
  // Bits 8c + 7 .. 8c + 4 fill string word 6 - 2c, bits 8c + 3 .. 8c word 7 - 2c.
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) {
    __m128i r = bytes[c];
    uint64_t high = 0, low = 0;
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      high |= uint64_t(uint32_t(_mm_movemask_epi8(r))) << (16 * k);
      r = _mm_add_epi8(r, r);
    }
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      low |= uint64_t(uint32_t(_mm_movemask_epi8(r))) << (16 * k);
      r = _mm_add_epi8(r, r);
    }
    string[6 - 2 * c] = high;
    string[7 - 2 * c] = low;
  }
#else
  for (int n = 0; n < 8; ++n) string[n] = 0;
  for (int b = 0; b < 32; ++b)
    for (int j = 0; j < primegen_rows; ++j) {
      const int i = 16 * (31 - b) + 15 - j;
      string[i >> 6] |= uint64_t((words[j] >> b) & 1u) << (i & 63);
    }
#endif
}

// Population count by bit slicing: the build targets plain x86-64, where
// std::popcount becomes a library call.
inline int bitCount(uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

// Index of the lowest set bit. For an exhausted piece, whose look-up only
// feeds a surplus write, 63 in the plain build (bsf is undefined on 0, so a
// guard bit is or-ed in) and 64 with BMI1 (tzcnt is defined on 0).
template <bool Bmi>
inline unsigned lowestBit(uint64_t m) {
  if constexpr (Bmi) return static_cast<unsigned>(std::countr_zero(m));
  return static_cast<unsigned>(std::countr_zero(m | (uint64_t{1} << 63)));
}

// Decodes word column w into the queue, the column's first integer block at
// `base`; sets queue_len. Hot loop: up to 512 primes. Each 64-bit piece is
// emitted in rounds of 16 (rounded up from its bit count: a piece holds about
// 12 primes near 10^9, so one round is the rule and its loop exit is
// predicted); the surplus writes land on slots that the next piece overwrites
// or beyond queue_len, and never past slot 511.
template <bool Bmi>
[[gnu::always_inline]] inline void decodeColumn(primegen* pg, int w, uint64_t base) {
  uint32_t words[primegen_rows];
  for (int j = 0; j < primegen_rows; ++j) words[j] = ~pg->sieve_bits[j][w];
  uint64_t string[8];
  transposeColumn(words, string);

  uint64_t* queue = pg->queue;
  int len = 0;
#pragma GCC unroll 8
  for (int n = 0; n < 8; ++n) {  // unrolled: each piece's table offset is a constant
    uint64_t m = string[n];
    const uint64_t* offset = columnOffsets.data() + 64 * n;
    const int count = Bmi ? std::popcount(m) : bitCount(m);
    uint64_t* out = queue + len;
    for (int k = 0; k < count; k += 16) {
#pragma GCC unroll 16
      for (int u = 0; u < 16; ++u) {
        out[k + u] = base + offset[lowestBit<Bmi>(m)];
        m &= m - 1;
      }
    }
    len += count;
  }
  pg->queue_len = len;
}

#if defined(__GNUC__) && defined(__x86_64__)
// Whether the CPU has tzcnt/blsr (BMI1) and popcnt, which cut the decode's
// work per prime from eight instructions to six. Read by primegen_fill; a
// call made before this initializer has run takes the plain build.
bool cpuHasBmi() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
}
const bool hasBmi = cpuHasBmi();
#endif

}  // namespace

namespace primegen_detail {

void decodeColumnPlain(primegen* pg, int w, uint64_t base) { decodeColumn<false>(pg, w, base); }

#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target("bmi,popcnt"))) void decodeColumnBmi(primegen* pg, int w, uint64_t base) {
  decodeColumn<true>(pg, w, base);
}
bool decodeColumnBmiAvailable() { return hasBmi; }
#else
void decodeColumnBmi(primegen* pg, int w, uint64_t base) { decodeColumn<false>(pg, w, base); }
bool decodeColumnBmiAvailable() { return false; }
#endif

}  // namespace primegen_detail

void primegen_init(primegen* pg) {
  static constexpr uint64_t below60[17] = {59, 53, 47, 43, 41, 37, 31, 29, 23,
                                           19, 17, 13, 11, 7,  5,  3,  2};
  pg->segment_start = 1;
  pg->word_base = 60;
  for (int n = 0; n < 17; ++n) pg->queue[n] = below60[n];
  pg->queue_len = 17;
  pg->next_word = primegen_words;  // the first refill sieves the first segment
}

void primegen_fill(primegen* pg) {
  int w = pg->next_word;
  if (w == primegen_words) {
    primegen_sieve(pg);
    pg->segment_start += primegen_blocks;
    w = 0;
  }
  pg->next_word = w + 1;

  const uint64_t base = pg->word_base;
  pg->word_base += 1920;
#if defined(__GNUC__) && defined(__x86_64__)
  if (hasBmi) {
    primegen_detail::decodeColumnBmi(pg, w, base);
    return;
  }
#endif
  primegen_detail::decodeColumnPlain(pg, w, base);
}
