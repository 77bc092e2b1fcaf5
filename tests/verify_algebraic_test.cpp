// pelund-verify on algebraic lines: the worked examples pass with either line end, and
// each kind of wrong class, improper factor, form, layout and bound is refused with its
// reason.
#include <gtest/gtest.h>

#include <string>

#include "verify.h"

namespace {

using verify::checkLine;

struct Known {
  int64_t base;
  int32_t c;
  std::string line;
};

// 9*4^n-1 = (3*2^n)^2-1; 8^n+1 = (2^n)^3+1; 25*12^n-1 = (5*12^(n/2))^2-1 for even n, 13
// for odd n; 2500*16^n = 4*(5*2^n)^4; 1369*30^n-1 = (37*30^(n/2))^2-1 for even n.
const Known kKnownGood[] = {
    {4, -1, "9  1  []  + n=0 (mod 1): y^2-1\n"},
    {8, 1, "1  1  []  + n=0 (mod 1): y^3+1\n"},
    {12, -1, "25  2  [13]  + n=0 (mod 2): y^2-1\n"},
    {16, 1, "2500  1  []  + n=0 (mod 1): 4y^4+1\n"},
    {30, -1, "1369  6  [7, 13, 19]  + n=0 (mod 2): y^2-1\n"},
    {32, 1, "1  1  []  + n=0 (mod 1): y^5+1\n"},                                // b a fifth power, 5 not in P
};

TEST(VerifyAlgebraic, WorkedExamplesPass) {
  for (const Known& known : kKnownGood) {
    const std::string crlf = known.line.substr(0, known.line.size() - 1) + "\r\n";
    for (const std::string& line : {known.line, crlf}) {
      SCOPED_TRACE(line);
      const verify::LineVerdict verdict = checkLine(line, known.base, known.c);
      EXPECT_EQ(verdict.fault, "");
      EXPECT_TRUE(verdict.parsed);
    }
  }
}

struct BadCase {
  int64_t base;
  int32_t c;
  std::string line, fault;
};

TEST(VerifyAlgebraic, BadClaimsAreRefusedWithTheirReason) {
  const BadCase cases[] = {
      // Classes that are not the set of n where k*b^n has the shape.
      {4, -1, "9  2  []  + n=0 (mod 2): y^2-1\n", "n=0 (mod 2): y^2-1: 9*4^n = y^2 exactly for n=0 (mod 1)"},
      {12, -1, "25  2  [13]  + n=1 (mod 2): y^2-1\n", "n=1 (mod 2): y^2-1: 25*12^n = y^2 exactly for n=0 (mod 2)"},
      {12, -1, "26  2  [13]  + n=0 (mod 2): y^2-1\n", "n=0 (mod 2): y^2-1: 26*12^n = y^2 exactly for no n"},
      {16, 1, "2500  1  []  + n=0 (mod 1): y^3+1\n", "n=0 (mod 1): y^3+1: 2500*16^n = y^3 exactly for no n"},
      // Factors of 1 at the smallest n of the class: 2*16^1-1 = 31 and 1*4^1+1 = 5 are prime.
      {16, -1, "2  5  []  + n=1 (mod 5): y^5-1\n",
       "n=1 (mod 5): y^5-1: at n=1 the factor y-1 is 1, not a proper factor"},
      {4, 1, "1  2  []  + n=1 (mod 2): 4y^4+1\n",
       "n=1 (mod 2): 4y^4+1: at n=1 the factor 2y^2-2y+1 is 1, not a proper factor"},
      // Forms of the other sign, or without a factor.
      {8, -1, "1  1  []  + n=0 (mod 1): y^3+1\n", "n=0 (mod 1): y^3+1: the form does not belong to k*b^n-1"},
      {8, 1, "1  1  []  + n=0 (mod 1): y^3-1\n", "n=0 (mod 1): y^3-1: the form does not belong to k*b^n+1"},
      {4, 1, "9  1  []  + n=0 (mod 1): y^2+1\n", "n=0 (mod 1): y^2+1: y^2+1 has no algebraic factor"},
      {16, -1, "9  1  []  + n=0 (mod 1): y^4-1\n", "n=0 (mod 1): y^4-1: the exponent must be a prime up to 5040"},
      // Bounds, checked before any arithmetic.
      {4, -1, "9  2  []  + n=2 (mod 2): y^2-1\n", "n=2 (mod 2): y^2-1: the residue must be below the modulus"},
      {4, -1, "9  1  []  + n=0 (mod 5041): y^2-1\n", "n=0 (mod 5041): y^2-1: the modulus must be at most 5040"},
      // A span up to 65520 is read (9*4^n has the exponent 2 at 3, never a multiple of 11).
      {4, -1, "9  5040  []  + n=0 (mod 11): y^11-1\n", "n=0 (mod 11): y^11-1: 9*4^n = y^11 exactly for no n"},
      {4, -1, "9  65520  []  + n=0 (mod 11): y^11-1\n", "the span of the period and the moduli must be at most 65520"},
      // The primes still prove the rest.
      {12, -1, "25  2  []  + n=0 (mod 2): y^2-1\n", "n=1 is not covered: no listed prime divides 25*12^1-1"},
      {12, -1, "25  1  [13]  + n=0 (mod 2): y^2-1\n", "the order of 12 modulo 13 is 2, which does not divide the period 1"},
      // Layout.
      {4, -1, "9  1  [] + n=0 (mod 1): y^2-1\n", "no primes listed"},
      {4, -1, "9  1  []  + n=0 (mod 1) y^2-1\n", "expected \"): \" after the modulus"},
      {4, -1, "9  1  []  + n=0 (mod 0): y^2-1\n", "expected the modulus of a class"},
      {4, -1, "9  1  []  + n=0 (mod 1): z^2-1\n", "expected y^m-1, y^m+1 or 4y^4+1"},
      {4, -1, "9  1  []" + [] { std::string claims; for (int i = 0; i < 17; ++i) claims += "  + n=0 (mod 1): y^2-1"; return claims; }() + "\n",
       "more than 16 classes"},
      {4, -1, "9  1  [5]  + n=0 (mod 1): y^2-1  +\n", "expected \"  + n=\" after \"]\""},
  };
  for (const BadCase& bad : cases) {
    SCOPED_TRACE(bad.line);
    EXPECT_EQ(checkLine(bad.line, bad.base, bad.c).fault, bad.fault);
  }
}

}  // namespace
