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
// visited with count-trailing-zeros, four at a time without a data-dependent
// branch per prime. The transposed bit order is reversed (lowest bit = largest
// value) so that clearing the lowest set bit (m & (m - 1)) walks the queue
// order from the top.
#include "primegen.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kColumnBits = 32 * primegen_rows;  // 512

// Offset from the column's base B of the integer at position i of the reversed
// column string: i = 511 - (16 b + j) stands for B + 60 b + r_j. The slack after
// position 511 absorbs the look-ups made past the last set bit of a word.
constexpr std::array<uint32_t, kColumnBits + 64> makeColumnOffsets() {
  std::array<uint32_t, kColumnBits + 64> t{};
  for (int i = 0; i < kColumnBits; ++i) {
    int natural = kColumnBits - 1 - i;
    t[i] = 60 * static_cast<uint32_t>(natural >> 4) + primegen_residues[natural & 15];
  }
  return t;
}
constexpr auto columnOffsets = makeColumnOffsets();

// masks[31 - b] gets bit 15 - j set exactly when bit b of words[j] is set, so
// that the 32 masks, read as 512 bits from bit 0, run in queue order.
inline void transposeColumn(const uint32_t words[primegen_rows], uint16_t masks[32]) {
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
  __m128i bytes[4] = {_mm_unpacklo_epi64(x0, x2), _mm_unpackhi_epi64(x0, x2),
                      _mm_unpacklo_epi64(x1, x3), _mm_unpackhi_epi64(x1, x3)};
  // Byte c of each lane holds bits 8c .. 8c + 7; movemask takes the top bit of
  // every byte, and adding a register to itself shifts each byte left by one.
  for (int c = 0; c < 4; ++c) {
    __m128i r = bytes[c];
    for (int bit = 7; bit >= 0; --bit) {
      masks[31 - (8 * c + bit)] = static_cast<uint16_t>(_mm_movemask_epi8(r));
      r = _mm_add_epi8(r, r);
    }
  }
#else
  for (int b = 0; b < 32; ++b) {
    uint32_t m = 0;
    for (int j = 0; j < primegen_rows; ++j) m |= ((words[j] >> b) & 1u) << (15 - j);
    masks[31 - b] = static_cast<uint16_t>(m);
  }
#endif
}

}  // namespace

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

  uint32_t words[primegen_rows];
  for (int j = 0; j < primegen_rows; ++j) words[j] = ~pg->sieve_bits[j][w];
  const uint64_t base = pg->word_base;
  pg->word_base += 1920;

  uint16_t masks[32];
  transposeColumn(words, masks);
  uint64_t string[8];
  std::memcpy(string, masks, sizeof string);

  // Hot loop: up to 512 primes. Each 64-bit piece is emitted in groups of four
  // (rounded up from its popcount); the surplus writes land on slots that the
  // next piece overwrites or beyond queue_len, and never past slot 511.
  uint64_t* queue = pg->queue;
  int len = 0;
  for (int n = 0; n < 8; ++n) {
    uint64_t m = string[n];
    const uint32_t* offset = columnOffsets.data() + 64 * n;
    const int count = std::popcount(m);
    uint64_t* out = queue + len;
    for (int k = 0; k < count; k += 4) {
      out[k] = base + offset[std::countr_zero(m)];
      m &= m - 1;
      out[k + 1] = base + offset[std::countr_zero(m)];
      m &= m - 1;
      out[k + 2] = base + offset[std::countr_zero(m)];
      m &= m - 1;
      out[k + 3] = base + offset[std::countr_zero(m)];
      m &= m - 1;
    }
    len += count;
  }
  pg->queue_len = len;
}
