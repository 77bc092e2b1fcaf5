// The checker's side of algebraic lines: "k  S  [p, ...]  + n=r (mod M): FORM ..." with
// FORM one of y^m-1 (c = -1), y^m+1 (c = +1, m odd) and 4y^4+1 (c = +1). Each claim
// says that for every n = r (mod M), k*b^n = y^m (resp. 4y^4), so that the term has
// the factor y-1, y+1 (resp. 2y^2-2y+1), proper since y grows with n within the class
// and the factor is proper at its smallest n >= 1.
//
// Checked here, sharing nothing with the search: the claim's syntax and its form's
// sign; that the class is exactly the set of n for which k*b^n has that shape, found
// n by n over one period of the shape (m, or 4) from the prime factorisations of b
// and of k over b's primes and 2, the rest of k tested for being a perfect power by a
// binary-searched integer root; that the factor is proper at the class's smallest n.
// The primes then need to cover every other n up to the span lcm(S, moduli).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace verify {

enum class ClaimForm : uint8_t { minusOne, plusOne, aurifeuillian };

struct ClaimedClass {
  uint32_t residue = 0;
  uint32_t modulus = 0;
  ClaimForm form = ClaimForm::minusOne;
  uint32_t m = 0;  // the exponent of y (4 for 4y^4+1)
};

// Reads "  + n=r (mod M): FORM" claims from `pos` to the end of `body`; "" or the reason.
std::string parseClaims(std::string_view body, size_t& pos, std::vector<ClaimedClass>& claims);

// The first fault of the claims of k for base b and sign c, with `span` set to the
// lcm of `period` and the moduli; "" when every claim holds.
std::string checkClaims(int64_t k, uint32_t period, const std::vector<ClaimedClass>& claims, uint64_t base,
                        int32_t c, uint32_t& span);

// y at the smallest n >= 1 of each claim's class (n = the residue, or the modulus for
// residue 0), for claims that checkClaims passed: there y is below 2^62, as n is at
// most the exponent of y.
std::vector<uint64_t> claimYs(int64_t k, uint64_t base, const std::vector<ClaimedClass>& claims);

// The form as a line writes it: "y^2-1", "y^3+1" or "4y^4+1".
std::string formText(const ClaimedClass& claim);

}  // namespace verify
