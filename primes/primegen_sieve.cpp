// primegen_sieve.cpp — sieves one segment of 160,000 blocks of 60 integers:
// the sieve of Atkin on the wheel of 60 (see primegen.h for the mathematics).
//
// Every bit starts at 1 and is flipped once per representation of its integer
// by its row's quadratic form; an odd count leaves 0. Then every integer
// divisible by the square of some q >= 7 prime to 30 is set to 1 for good, so
// the bits left at 0 are the primes.
//
// Why it is fast: no division or square root in the flipping loops. Each class
// of (x, y) (x modulo 15 or 10, y modulo 30) walks its form values by adding
// gaps that themselves grow by constants; positions and gaps are 32-bit, and
// 64-bit arithmetic only brings a class's first position near the segment. The
// rows are processed one at a time so a row's 20,000 bytes stay in cache, and
// the square strikes advance (position, residue) by fixed steps with a carry.
// Nearly all the time goes into some 0.245 N bit flips below N, so the flip
// itself is one load, one btc and one store; the walks take two flips per
// round on two independent position chains and end with a branch-free flip
// of the odd last value; the first x of a class is found by jumps of eight.
#include <cstring>

#include "primegen.h"

namespace {

constexpr int kBlocks = primegen_blocks;                  // blocks per segment
constexpr uint32_t kSpan = 60u * primegen_blocks;         // 9,600,000 integers
constexpr int64_t kNearSegment = -1000000000;             // 64-bit approach ends here
constexpr uint64_t kRemainder32Limit = 2000000000;        // 32-bit remainders below

// two[b] = 2^b: the mask of bit position i within its word is two[i mod 32].
constexpr std::array<uint32_t, 32> makeTwo() {
  std::array<uint32_t, 32> t{};
  for (int b = 0; b < 32; ++b) t[b] = uint32_t{1} << b;
  return t;
}
constexpr auto two = makeTwo();

// deltainverse[k]: the word offset j * 5000 of the row whose residue is k, -1
// for the residues modulo 60 that share a factor with 60.
constexpr std::array<int32_t, 60> makeDeltainverse() {
  std::array<int32_t, 60> t{};
  for (int k = 0; k < 60; ++k) t[k] = -1;
  for (int j = 0; j < primegen_rows; ++j) t[primegen_residues[j]] = j * primegen_words;
  return t;
}
constexpr auto deltainverse = makeDeltainverse();

// One class of a form: row j, the classes x0 and y0, and k0, the block of
// F(x0, y0) (which is 60 k0 + r_j).
struct FormStart {
  int8_t row, x0, y0, k0;
};

// Every class (x0, y0) with 1 <= x0 <= xClasses, 1 <= y0 <= 30 whose form value
// a x0^2 + sign y0^2 falls into the residue of a row that the form sieves
// (those r with r mod m == rowResidue), ordered by row, x0, y0.
template <size_t N>
constexpr std::array<FormStart, N> makeStarts(int a, int sign, int xClasses, int m,
                                              int rowResidue) {
  std::array<FormStart, N> t{};
  size_t n = 0;
  for (int j = 0; j < primegen_rows; ++j) {
    const int r = static_cast<int>(primegen_residues[j]);
    if (r % m != rowResidue) continue;
    for (int x = 1; x <= xClasses; ++x)
      for (int y = 1; y <= 30; ++y) {
        const int f = a * x * x + sign * y * y;
        if (((f % 60) + 60) % 60 != r) continue;
        if (n < N) t[n] = FormStart{int8_t(j), int8_t(x), int8_t(y), int8_t((f - r) / 60)};
        ++n;
      }
  }
  if (n != N) throw "class count differs from the table size";  // fails constant evaluation
  return t;
}

constexpr auto for4 = makeStarts<128>(4, 1, 15, 4, 1);     // 4x^2 + y^2, r = 1 mod 4
constexpr auto for6 = makeStarts<48>(3, 1, 10, 12, 7);     // 3x^2 + y^2, r = 7 mod 12
constexpr auto for12 = makeStarts<96>(3, -1, 10, 12, 11);  // 3x^2 - y^2, r = 11 mod 12

constexpr bool sameStart(FormStart s, int j, int x0, int y0, int k0) {
  return s.row == j && s.x0 == x0 && s.y0 == y0 && s.k0 == k0;
}
// 4 * 2^2 + 15^2 = 241 = 60 * 4 + 1; 3 + 2^2 = 7; 3 * 2^2 - 1 = 11;
// 3 * 2^2 - 11^2 = -109 = 60 * (-2) + 11.
static_assert(sameStart(for4[0], 0, 2, 15, 4));
static_assert(sameStart(for6[0], 1, 1, 2, 0));
static_assert(sameStart(for12[0], 2, 2, 1, 0));
static_assert(sameStart(for12[1], 2, 2, 11, -2));

// Each row takes 16 (4x^2 + y^2), 12 (3x^2 + y^2) or 24 (3x^2 - y^2) classes,
// grouped together in row order; the negative starts of 3x^2 - y^2 reach -14.
constexpr bool rowsGrouped() {
  for (int n = 0; n < 128; ++n)
    if (for4[n].row != for4[n / 16 * 16].row) return false;
  for (int n = 0; n < 48; ++n)
    if (for6[n].row != for6[n / 12 * 12].row) return false;
  for (int n = 0; n < 96; ++n)
    if (for12[n].row != for12[n / 24 * 24].row) return false;
  int lowest = 0;
  for (const FormStart& s : for12) lowest = s.k0 < lowest ? s.k0 : lowest;
  return lowest == -14;
}
static_assert(rowsGrouped());

static_assert(qqtab[0] == 49 && qqtab[1] == 121 && qqtab[2] == 169 && qqtab[3] == 289 &&
              qqtab[48] == 57121);
static_assert(qq60tab[0] == 9 && qq60tab[1] == 119 && qq60tab[2] == 31 &&
              qq60tab[3] == 53 && qq60tab[48] == 56169);

// Flips the bit at position t (0 <= t < 160,000) of a row. On x86 the word is
// loaded, complemented with btc (which takes the bit number modulo 32 itself)
// and stored: fewer micro-operations than shifting out a mask from `two`.
inline void flip(uint32_t* row, uint32_t t) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  uint32_t w;
  __asm__("movl %0, %1\n\tbtcl %2, %1\n\tmovl %1, %0"
          : "+m"(row[t >> 5]), "=&r"(w)
          : "r"(t));
#else
  row[t >> 5] ^= two[t & 31];
#endif
}

// Flips the bit at t when `in` holds, without a branch; t may lie anywhere
// when `in` is false, and then some word below 4096 that varies with t is
// xored with 0 (a fixed dummy word would chain every such call through a
// store-to-load forward). Masks rather than a select, which the compiler
// would turn back into a branch; on x86 the bit comes from bts on a zero
// register rather than from `two`.
inline void flipIf(uint32_t* row, uint32_t t, bool in) {
  const uint32_t mask = 0u - uint32_t(in);
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  uint32_t bit = 0;
  __asm__("btsl %1, %0" : "+r"(bit) : "r"(t));
#else
  const uint32_t bit = two[t & 31];
#endif
  row[(t >> 5) & (mask | 4095)] ^= bit & mask;
}

// Sets the bit at position t of a row; bts as flip uses btc.
inline void strike(uint32_t* row, uint32_t t) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  uint32_t w;
  __asm__("movl %0, %1\n\tbtsl %2, %1\n\tmovl %1, %0"
          : "+m"(row[t >> 5]), "=&r"(w)
          : "r"(t));
#else
  row[t >> 5] |= two[t & 31];
#endif
}

// The walk shared by 4x^2 + y^2 and 3x^2 + y^2: for fixed x, y ascending from
// the value at position p (p >= 0), whose y-gap is gy. Hot loop, two flips per
// round: the even-numbered positions e and the odd-numbered ones o advance by
// the sum h of two consecutive gaps (and h + 60), so no position waits on
// another. The odd last flip is done without a branch, since walk lengths
// vary too much for its parity to be predicted.
inline void walkUp(uint32_t* row, uint32_t p, uint32_t gy) {
  uint32_t e = p, o = p + gy, h = 2 * gy + 30;
  while (o < uint32_t(kBlocks)) {
    flip(row, e);
    flip(row, o);
    e += h;
    o += h + 60;
    h += 120;
  }
  flipIf(row, e, e < uint32_t(kBlocks));
}

// The walk of 3x^2 - y^2: for fixed x, y ascending (values descending) from
// the value at position t (0 <= t < 160,000) with y-gap g, while y < x, that
// is g < lim, and while the value stays in the segment. Hot loop, two flips
// per round, both conditions of a round tested by one sign test, positions
// advanced by the double gap as in walkUp, the last flip without a branch.
inline void walkDown(uint32_t* row, int32_t t, int32_t g, int32_t lim) {
  int32_t e = t, o = t - g, h = 2 * g + 30, room = lim - 31 - g;
  // Two more flips fit while the second y is still below x (room >= 0) and
  // the second value still inside (o >= 0); a value below the segment ends
  // the walk for good, as the values only fall.
  while ((room | o) >= 0) {
    flip(row, uint32_t(e));
    flip(row, uint32_t(o));
    e -= h;
    o -= h + 60;
    h += 120;
    room -= 60;
  }
  // One more when y is still below x (room + 30 >= 0) and e is inside.
  flipIf(row, uint32_t(e), ((room + 30) | e) >= 0);
}

// Steps x up (p += gx, gx += growth) until p reaches `limit`, as few steps as
// that takes. The steps form a chain of additions, one per step; jumping
// eight steps at once (p + 8 gx + 28 growth, gx + 8 growth) while that stays
// below the limit shortens the chain eightfold, and single steps finish.
template <typename Int>
inline void stepUntil(Int& p, Int& gx, Int limit, Int growth) {
  while (p + 8 * gx + 28 * growth < limit) {
    p += 8 * gx + 28 * growth;
    gx += 8 * growth;
  }
  while (p < limit) {
    p += gx;
    gx += growth;
  }
}

// Brings the position of F(x, y0) to within 10^9 blocks below the segment by
// stepping x; 64-bit, since the distance can exceed 32 bits far out.
inline void approach(int64_t& p, int64_t& gx, int64_t growth) {
  stepUntil<int64_t>(p, gx, kNearSegment, growth);
}

// Flips the values of 4x^2 + y^2 (growth 30, x step 15, last gap 15) or
// 3x^2 + y^2 (growth 10, x step 10, last gap 5) in one class: x is taken
// downward from the first value beyond the segment, and y only ever rises,
// since a smaller x needs at least as large a y to reach the segment.
template <int Growth, int LastGap>
inline void toggleSum(uint32_t* row, int64_t start, int64_t gx0, int32_t y0) {
  int64_t p64 = start, gx64 = gx0;
  approach(p64, gx64, Growth);
  int32_t p = static_cast<int32_t>(p64), gx = static_cast<int32_t>(gx64), gy = y0 + 15;
  stepUntil<int32_t>(p, gx, kBlocks, Growth);
  for (;;) {
    gx -= Growth;
    if (gx <= LastGap) return;
    p -= gx;
    while (p < 0) {
      p += gy;
      gy += 30;
    }
    walkUp(row, uint32_t(p), uint32_t(gy));
  }
}

void toggle4(uint32_t* row, int32_t x0, int32_t y0, int64_t start) {
  toggleSum<30, 15>(row, start, 2 * x0 + 15, y0);
}

void toggle6(uint32_t* row, int32_t x0, int32_t y0, int64_t start) {
  toggleSum<10, 5>(row, start, x0 + 5, y0);
}

// Flips the values of 3x^2 - y^2 with x > y in one class. x ascends from the
// first value whose F(x, y0) reaches the segment; for each x, y rises until the
// value drops into the segment and stays raised for larger x; the walk then
// takes y upward (values downward) while y < x, i.e. while the y-gap is below
// lim = x + 15.
void toggle12(uint32_t* row, int32_t x0, int32_t y0, int64_t start) {
  int64_t p64 = start, gx64 = x0 + 5;
  approach(p64, gx64, 10);
  int32_t p = static_cast<int32_t>(p64), gx = static_cast<int32_t>(gx64), gy = y0 + 15;
  stepUntil<int32_t>(p, gx, 0, 10);
  for (;;) {
    const int32_t lim = gx + 10;
    while (p >= kBlocks) {
      if (lim <= gy) return;
      p -= gy;
      gy += 30;
    }
    if (p >= 0) walkDown(row, p, gy, lim);
    p += gx;
    gx += 10;
  }
}

// Strikes, in a row of residue r, the multiples of the qqtab squares: the first
// is at h with 60 (S + h) + r = 0 (mod qq), i.e. h = -(S + r / 60) mod qq.
void squarefree_small(uint32_t* row, uint32_t r, const uint32_t remainders[49]) {
  for (int n = 0; n < 49; ++n) {
    const uint32_t qq = qqtab[n];
    uint32_t h = qq - 1 - ((remainders[n] + qq60tab[n] * r - 1) % qq);
    for (; h < uint32_t(kBlocks); h += qq) strike(row, h);
  }
}

// Strikes the odd multiples of q^2, (q + 30)^2, ... in all rows, for squares
// q^2 = QQmod60 (mod 60). Odd multiples suffice: the integers of the rows are odd.
// A square below the span has many multiples in the segment, walked as
// (position, residue) with the residue advancing by 2 q^2 mod 60 and a carry;
// a larger square has at most one.
template <uint32_t QQmod60>
void squarefreeLarge(uint32_t* bits, uint64_t segmentStart, uint32_t q) {
  constexpr uint32_t kAdvance = 2 * QQmod60 % 60;  // 38 or 2
  const uint64_t base = 60 * segmentStart;
  uint32_t d = 60 * q + 900;  // (q + 30)^2 - q^2
  uint32_t qq = q * q;
  for (; qq < kSpan; qq += d, d += 1800) {
    const uint32_t rem = base < kRemainder32Limit ? static_cast<uint32_t>(base) % qq
                                                  : static_cast<uint32_t>(base % qq);
    uint32_t i = qq - rem;
    if ((i & 1) == 0) i += qq;
    if (i >= kSpan) continue;
    const uint32_t pStep = 2 * qq / 60;
    uint32_t k = i % 60, p = i / 60;
    while (p < uint32_t(kBlocks)) {
      if (deltainverse[k] != -1) strike(bits + deltainverse[k], p);
      p += pStep;
      k += kAdvance;
      if (k >= 60) {
        k -= 60;
        p += 1;
      }
    }
  }
  const bool small = base + kSpan < kRemainder32Limit;
  for (uint64_t qq64 = qq; qq64 < base + kSpan; qq64 += d, d += 1800) {
    const uint64_t rem = small ? static_cast<uint32_t>(base) % static_cast<uint32_t>(qq64)
                               : base % qq64;
    uint64_t i = qq64 - rem;
    if ((i & 1) == 0) i += qq64;
    if (i < kSpan && deltainverse[i % 60] != -1)
      strike(bits + deltainverse[i % 60], static_cast<uint32_t>(i / 60));
  }
}

void squarefree49(uint32_t* bits, uint64_t segmentStart, uint32_t q) {
  squarefreeLarge<49>(bits, segmentStart, q);
}

void squarefree1(uint32_t* bits, uint64_t segmentStart, uint32_t q) {
  squarefreeLarge<1>(bits, segmentStart, q);
}

// Runs one form's toggles row by row, each row followed by its small squares.
template <size_t N, typename Toggle>
void sieveForm(primegen* pg, const std::array<FormStart, N>& starts, int perRow,
               Toggle toggle, const uint32_t remainders[49]) {
  const int64_t s = static_cast<int64_t>(pg->segment_start);
  for (size_t first = 0; first < N; first += perRow) {
    const int j = starts[first].row;
    uint32_t* row = pg->sieve_bits[j];
    for (size_t n = first; n < first + perRow; ++n)
      toggle(row, starts[n].x0, starts[n].y0, starts[n].k0 - s);
    squarefree_small(row, primegen_residues[j], remainders);
  }
}

}  // namespace

void primegen_sieve(primegen* pg) {
  const uint64_t s = pg->segment_start;
  uint32_t remainders[49];
  for (int n = 0; n < 49; ++n)
    remainders[n] = s <= kRemainder32Limit ? static_cast<uint32_t>(s) % qqtab[n]
                                           : static_cast<uint32_t>(s % qqtab[n]);
  std::memset(pg->sieve_bits, 0xff, sizeof pg->sieve_bits);

  sieveForm(pg, for4, 16, toggle4, remainders);
  sieveForm(pg, for6, 12, toggle6, remainders);
  sieveForm(pg, for12, 24, toggle12, remainders);

  uint32_t* bits = &pg->sieve_bits[0][0];
  for (uint32_t q : {247u, 253u, 257u, 263u}) squarefree49(bits, s, q);
  for (uint32_t q : {241u, 251u, 259u, 269u}) squarefree1(bits, s, q);
}
