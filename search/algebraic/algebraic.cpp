// The exponent classes of algebraic factors (see algebraic.h for the mathematics).
//
// All products are formed in 128 bits and capped: k <= 10^18 and b <= 10^9, so a
// capped value above 2*10^18 only ever needs to be known as "too large".
#include "algebraic.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace algebraic {

namespace {

constexpr uint64_t kCap = 2000000000000000000ULL;  // beyond every k of a search

uint64_t mulCapped(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return product > kCap ? kCap + 1 : static_cast<uint64_t>(product);
}

// base^e by squaring; a capped square is used only where the true power exceeds it.
uint64_t powCapped(uint64_t base, uint64_t e) {
  uint64_t result = 1;
  for (; e > 0; e >>= 1) {
    if (e & 1) result = mulCapped(result, base);
    if (e > 1) base = mulCapped(base, base);
  }
  return result;
}

// Whether r^m <= x, without overflow.
bool powerAtMost(uint64_t r, uint32_t m, uint64_t x) {
  unsigned __int128 value = 1;
  for (uint32_t i = 0; i < m; ++i) {
    value *= r;
    if (value > x) return false;
  }
  return true;
}

uint32_t valuation(uint64_t& n, uint64_t p) {
  uint32_t a = 0;
  for (; n % p == 0; n /= p) ++a;
  return a;
}

// The inverse of a modulo q (gcd(a, q) = 1, q >= 1), by Euclid.
uint32_t inverseMod(uint32_t a, uint32_t q) {
  int64_t r0 = q, r1 = a % q, s0 = 0, s1 = 1;
  while (r1 != 0) {
    const int64_t quotient = r0 / r1;
    r0 -= quotient * r1;
    std::swap(r0, r1);
    s0 -= quotient * s1;
    std::swap(s0, s1);
  }
  return static_cast<uint32_t>(((s0 % q) + q) % q);
}

bool isPrime(uint32_t m) {
  if (m < 2) return false;
  for (uint32_t d = 2; d * d <= m; ++d)
    if (m % d == 0) return false;
  return true;
}

// Narrows `cls` to its intersection with n = residue (mod modulus); both moduli divide
// the shape's M, a prime or 4, so one divides the other. False when they are disjoint.
bool narrow(AlgebraicClass& cls, uint32_t residue, uint32_t modulus) {
  const bool finer = modulus > cls.modulus;
  const uint32_t small = finer ? cls.modulus : modulus;
  const uint32_t fine = finer ? residue : cls.residue;
  if (fine % small != (finer ? cls.residue : residue)) return false;
  if (finer) cls.residue = residue, cls.modulus = modulus;
  return true;
}

}  // namespace

uint64_t familyMember(const Family& family, uint64_t t) { return mulCapped(family.g, powCapped(t, family.m)); }

// t^m >= ceil(from / g) exactly when t^m > floor((from - 1) / g).
uint64_t firstMemberAtOrAbove(const Family& family, uint64_t from) {
  return integerRoot((from - 1) / family.g, family.m) + 1;
}

std::vector<PrimePower> factorize(uint64_t n) {
  std::vector<PrimePower> factors;
  for (uint64_t p = 2; p * p <= n; p += p == 2 ? 1 : 2) {
    if (n % p == 0) factors.push_back({p, valuation(n, p)});
  }
  if (n > 1) factors.push_back({n, 1});
  return factors;
}

uint64_t integerRoot(uint64_t x, uint32_t m) {
  if (m == 1 || x < 2) return x;
  if (m >= 64) return 1;
  uint64_t r = static_cast<uint64_t>(std::pow(static_cast<double>(x), 1.0 / m));
  while (r > 0 && !powerAtMost(r, m, x)) --r;
  while (powerAtMost(r + 1, m, x)) ++r;
  return r;
}

// The shapes for the sign c: prime m dividing P or dividing every exponent of b (b a
// perfect m-th power), odd only for c = +1; and 4y^4 for c = +1. Ascending m.
Algebra::Algebra(int64_t base, int32_t c, int32_t period) : primes_(factorize(uint64_t(base))), period_(uint32_t(period)) {
  uint32_t exponents = 0;  // b is a perfect m-th power exactly for the m dividing this
  for (const PrimePower& pp : primes_) exponents = std::gcd(exponents, pp.e);
  if (primes_[0].p != 2) primes_.insert(primes_.begin(), {2, 0});
  for (uint32_t m = 2; m <= std::max(period_, exponents); ++m) {
    if (!isPrime(m) || (period_ % m != 0 && exponents % m != 0)) continue;
    if (c == -1) shapes_.push_back({Form::powerMinusOne, m});
    else if (m % 2 == 1) shapes_.push_back({Form::powerPlusOne, m});
  }
  if (c == 1) {
    auto after = std::find_if(shapes_.begin(), shapes_.end(), [](const Shape& s) { return s.m > 4; });
    shapes_.insert(after, {Form::aurifeuillian, 4});
  }
}

uint32_t Algebra::target(const Shape& shape, size_t i) const {
  return shape.form == Form::aurifeuillian && primes_[i].p == 2 ? 2 : 0;
}

Algebra::Valuations Algebra::valuationsOf(uint64_t k) const {
  Valuations v;
  v.rest = k;
  for (const PrimePower& pp : primes_) v.a.push_back(valuation(v.rest, pp.p));
  return v;
}

// The n (mod shape.m) with v_p(k) + n*v_p(b) = r_p (mod m) at every prime of b (and 2),
// the rest of k being an m-th power. Each congruence a + n*v = r (mod M) has, with
// g = gcd(v, M), no solution unless g | r - a, else the class n = ((r-a)/g)*(v/g)^-1
// modulo M/g.
bool Algebra::classFor(const Shape& shape, const Valuations& v, AlgebraicClass& cls) const {
  const uint32_t M = shape.m;
  const uint64_t root = integerRoot(v.rest, M);
  if (powCapped(root, M) != v.rest) return false;
  cls = AlgebraicClass{shape, 0, 1};
  for (size_t i = 0; i < primes_.size(); ++i) {
    const uint32_t g = std::gcd(primes_[i].e, M);
    const uint32_t gap = (target(shape, i) + M - v.a[i] % M) % M;
    if (gap % g != 0) return false;
    const uint32_t q = M / g;
    if (q == 1) continue;
    const uint32_t n = uint32_t(uint64_t(gap / g) * inverseMod((primes_[i].e / g) % q, q) % q);
    if (!narrow(cls, n, q)) return false;
  }
  return true;
}

// Whether the factor is proper at exponent n of the class: y from its prime exponents,
// y = root(rest) * prod p^((v_p(k) + n*v_p(b) - r_p) / m), compared with the least
// y that gives a proper factor (3 for y^m - 1, 2 for 4y^4 + 1; y^m + 1 with y >= 2 is
// always split, and y^m = k*b^n >= 2).
bool Algebra::properAt(const Shape& shape, const Valuations& v, uint32_t n) const {
  if (shape.form == Form::powerPlusOne) return true;
  uint64_t y = integerRoot(v.rest, shape.m);
  for (size_t i = 0; i < primes_.size(); ++i) {
    const uint64_t exponent = (v.a[i] + uint64_t(n) * primes_[i].e - target(shape, i)) / shape.m;
    y = mulCapped(y, powCapped(primes_[i].p, exponent));
  }
  return y >= (shape.form == Form::powerMinusOne ? 3u : 2u);
}

std::vector<AlgebraicClass> Algebra::classesOf(uint64_t k) const {
  std::vector<AlgebraicClass> classes;
  const Valuations v = valuationsOf(k);
  for (const Shape& shape : shapes_) {
    AlgebraicClass cls;
    if (!classFor(shape, v, cls) || period_ % cls.modulus != 0) continue;
    if (properAt(shape, v, firstExponent(cls))) classes.push_back(cls);
  }
  return classes;
}

// For each shape and s = 0 .. m-1, g_s = prod p^((r_p - s*v_p(b)) mod m); distinct
// values up to maxK only.
std::vector<Family> Algebra::families(uint64_t maxK) const {
  std::vector<Family> found;
  for (const Shape& shape : shapes_) {
    const uint32_t M = shape.m;
    for (uint32_t s = 0; s < M; ++s) {
      uint64_t g = 1;
      for (size_t i = 0; i < primes_.size() && g <= maxK; ++i) {
        const uint64_t reduced = (uint64_t(s) * primes_[i].e) % M;
        g = mulCapped(g, powCapped(primes_[i].p, (target(shape, i) + M - reduced) % M));
      }
      bool known = false;
      for (const Family& f : found) known = known || (f.g == g && f.m == M);
      if (g <= maxK && !known) found.push_back({g, M});
    }
  }
  return found;
}

std::string classText(const AlgebraicClass& cls) {
  std::string text = "n=" + std::to_string(cls.residue) + " (mod " + std::to_string(cls.modulus) + "): ";
  const std::string m = std::to_string(cls.shape.m);
  switch (cls.shape.form) {
    case Form::powerMinusOne: return text + "y^" + m + "-1";
    case Form::powerPlusOne: return text + "y^" + m + "+1";
    case Form::aurifeuillian: return text + "4y^4+1";
  }
  return text;
}

}  // namespace algebraic
