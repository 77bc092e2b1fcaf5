// Algebraic factors of k*b^n + c: the exponent classes on which k*b^n is a perfect
// power with a known factorisation of the term, worked out from the prime
// factorisations of k and b.
//
// The forms (y a positive integer, the factor proper when it lies strictly between 1
// and the term):
//   c = -1, k*b^n = y^m (m >= 2):       y^m - 1 = (y - 1)(y^(m-1) + ... + 1), proper for y >= 3;
//   c = +1, k*b^n = y^m (m odd >= 3):   y^m + 1 = (y + 1)(y^(m-1) - ... + 1), proper for y >= 2;
//   c = +1, k*b^n = 4y^4:               4y^4 + 1 = (2y^2 + 2y + 1)(2y^2 - 2y + 1), proper for y >= 2.
// An m-th power is a q-th power for every prime q | m with a larger root, so prime m
// suffice for the y^m forms. k*b^n is an m-th power exactly when every prime p has
// v_p(k) + n*v_p(b) = 0 (mod m): for the primes of b a linear congruence in n, for the
// others the condition that the part of k prime to b be an m-th power. For prime m
// the n that qualify are none, all, or one class mod m; for 4y^4 (exponents = 2 at
// p = 2, = 0 elsewhere, mod 4) they are none or one class mod 1, 2 or 4. y grows with
// n within a class, so the factor is proper on the whole class when it is at the
// class's smallest n >= 1; otherwise the class is not used.
//
// Which m: only classes whose modulus divides the period P are used. That loses
// nothing: the candidate primes' hits repeat with P, and on a progression n = x (mod P)
// that they leave open, a class of modulus M not dividing P holds one residue of the
// progression's step modulo M / gcd(M, P) > 1; the classes of different shapes have
// such moduli that are powers of distinct primes, so by the Chinese remainder theorem
// some n of the progression escapes them all. Hence the shapes considered are the prime
// m dividing P, the prime m for which b is a perfect m-th power (their class, when
// there is one, is every n), and 4y^4 (its class modulus divides 4): a finite list,
// and every proof that any m gives with these primes is found.
//
// The k for which k*b^n is such a power for some n are few and can be listed: for
// n = s (mod M) they are g_s * t^M (t >= 1), g_s the M-th-power-free number with the
// exponents (r_p - s*v_p(b)) mod M at the primes p of b (r_p the target exponent: 2 at
// p = 2 for 4y^4, 0 otherwise), and 1 elsewhere. Up to X there are about sqrt(X) of
// them per square family, far fewer for higher powers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace algebraic {

enum class Form : uint8_t { powerMinusOne, powerPlusOne, aurifeuillian };

// One form of the search: y^m - 1, y^m + 1 (prime m) or 4y^4 + 1 (m = 4).
struct Shape {
  Form form;
  uint32_t m;
};

// n = residue (mod modulus), 0 <= residue < modulus, on which k*b^n has the shape.
struct AlgebraicClass {
  Shape shape;
  uint32_t residue = 0;
  uint32_t modulus = 1;

  bool operator==(const AlgebraicClass& o) const {
    return shape.form == o.shape.form && shape.m == o.shape.m && residue == o.residue && modulus == o.modulus;
  }
};

// The smallest n >= 1 of a class.
inline uint32_t firstExponent(const AlgebraicClass& cls) { return cls.residue == 0 ? cls.modulus : cls.residue; }

// The special k of one family: g * t^m for t = 1, 2, ...
struct Family {
  uint64_t g;
  uint32_t m;
};

struct PrimePower {
  uint64_t p;
  uint32_t e;
};

// g * t^m, or a value above 2*10^18 (beyond every k) when it is larger.
uint64_t familyMember(const Family& family, uint64_t t);

// The least t >= 1 with g * t^m >= from (from >= 1).
uint64_t firstMemberAtOrAbove(const Family& family, uint64_t from);

// The prime factorisation of n >= 1 by trial division (n up to about 10^12 quickly).
std::vector<PrimePower> factorize(uint64_t n);

// floor(x^(1/m)) for m >= 1, exactly.
uint64_t integerRoot(uint64_t x, uint32_t m);

// The algebraic side of one search: base, sign and period.
class Algebra {
 public:
  Algebra(int64_t base, int32_t c, int32_t period);

  const std::vector<Shape>& shapes() const { return shapes_; }

  // The usable classes of k: modulus dividing P and a proper factor on the class; in
  // the order of shapes().
  std::vector<AlgebraicClass> classesOf(uint64_t k) const;

  // The families of the k up to maxK for which some shape has a class (possibly one
  // whose modulus does not divide P, or with an improper factor: classesOf decides).
  std::vector<Family> families(uint64_t maxK) const;

 private:
  struct Valuations {
    std::vector<uint32_t> a;  // v_p(k) for each prime of primes_
    uint64_t rest = 1;        // k without those primes
  };
  Valuations valuationsOf(uint64_t k) const;
  bool classFor(const Shape& shape, const Valuations& v, AlgebraicClass& cls) const;
  bool properAt(const Shape& shape, const Valuations& v, uint32_t n) const;
  uint32_t target(const Shape& shape, size_t i) const;

  std::vector<PrimePower> primes_;  // the primes of b with their exponents, and 2 (exponent 0 when b is odd)
  uint32_t period_;
  std::vector<Shape> shapes_;
};

// The text of a class as a line of covering.txt writes it: "n=0 (mod 2): y^2-1".
std::string classText(const AlgebraicClass& cls);

}  // namespace algebraic
