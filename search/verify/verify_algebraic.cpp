// The checker of algebraic claims (see verify_algebraic.h for the mathematics).
//
// Exponents of a prime in k*b^n stay below 64 + 5040 * 30, and y is only compared
// with 3, so every power is formed by squaring with a cap and 128-bit products. A
// claim of exponent m costs one integer root of the rest of k (a bisection of about
// 64 / m steps, each a capped power of about log2 m products) and m tests of the
// exponents' congruences: the work of a line grows with its size, not with m^2.
#include "verify_algebraic.h"

#include "verify.h"

#include <numeric>

namespace verify {

namespace {

constexpr uint32_t kLargest = 5040;  // the largest modulus and exponent accepted (a span: kLargestPeriod)
constexpr size_t kMostClaims = 16;
constexpr uint64_t kHuge = UINT64_MAX;  // stands for every larger value

uint64_t timesCapped(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return product > kHuge ? kHuge : static_cast<uint64_t>(product);
}

// base^e, or kHuge when it is at least that. A capped square enters the result only
// where the true power is larger still; the loop ends once the result is capped.
uint64_t powerCapped(uint64_t base, uint64_t e) {
  uint64_t result = 1;
  for (; e != 0 && result != kHuge; e >>= 1) {
    if (e & 1) result = timesCapped(result, base);
    if (e > 1) base = timesCapped(base, base);
  }
  return result;
}

// The largest r with r^m <= x (x below kHuge), by bisection; 1 for m >= 64 and x >= 1.
uint64_t rootFloor(uint64_t x, uint32_t m) {
  if (m == 1 || x < 2) return x;
  if (m >= 64) return 1;
  uint64_t low = 1, high = uint64_t(1) << (64 / m + 1);
  if (high > x) high = x;
  while (low < high) {
    const uint64_t mid = low + (high - low + 1) / 2;
    if (powerCapped(mid, m) <= x) low = mid;
    else high = mid - 1;
  }
  return low;
}

// k and b over the primes of b and 2: the exponents of k and b at each, and the rest
// of k.
struct Split {
  std::vector<uint64_t> primes;
  std::vector<uint64_t> ofK, ofB;
  uint64_t rest = 0;
};

// The distinct primes of b, 2 first, by trial division (up to sqrt(10^9)); the last
// base asked for is kept, since a file's lines all have the same one.
const std::vector<uint64_t>& primesOf(uint64_t b) {
  thread_local uint64_t known = 0;
  thread_local std::vector<uint64_t> primes;
  if (known == b) return primes;
  primes.assign(1, 2);
  uint64_t left = b;
  while (left % 2 == 0) left /= 2;
  for (uint64_t q = 3; q * q <= left; q += 2) {
    if (left % q != 0) continue;
    primes.push_back(q);
    while (left % q == 0) left /= q;
  }
  if (left > 1) primes.push_back(left);
  known = b;
  return primes;
}

Split split(uint64_t k, uint64_t b) {
  Split s;
  s.primes = primesOf(b);
  s.rest = k;
  for (uint64_t p : s.primes) {
    uint64_t a = 0, e = 0;
    for (; s.rest % p == 0; s.rest /= p) ++a;
    for (uint64_t left = b; left % p == 0; left /= p) ++e;
    s.ofK.push_back(a);
    s.ofB.push_back(e);
  }
  return s;
}

uint32_t exponentOfY(const ClaimedClass& claim) { return claim.form == ClaimForm::aurifeuillian ? 4 : claim.m; }

// The exponent of p that k*b^n must have beyond a multiple of the shape's exponent.
uint64_t wanted(const ClaimedClass& claim, uint64_t p) { return claim.form == ClaimForm::aurifeuillian && p == 2 ? 2 : 0; }

// Whether k*b^n is y^m (resp. 4y^4) for some integer y, given `root`, the m-th root
// of the rest of k when the rest is an m-th power (0 otherwise); y is then set (capped).
bool hasShape(const Split& s, const ClaimedClass& claim, uint64_t root, uint64_t n, uint64_t& y) {
  const uint32_t m = exponentOfY(claim);
  if (root == 0) return false;
  y = root;
  for (size_t i = 0; i < s.primes.size(); ++i) {
    const uint64_t exponent = s.ofK[i] + n * s.ofB[i];
    const uint64_t extra = wanted(claim, s.primes[i]);
    if (exponent < extra || (exponent - extra) % m != 0) return false;
    y = timesCapped(y, powerCapped(s.primes[i], (exponent - extra) / m));
  }
  return true;
}

// The m-th root of the rest of k for the claim's shape, 0 when the rest is no m-th power.
uint64_t restRoot(const Split& s, const ClaimedClass& claim) {
  const uint32_t m = exponentOfY(claim);
  const uint64_t root = rootFloor(s.rest, m);
  return powerCapped(root, m) == s.rest ? root : 0;
}

std::string shapeName(const ClaimedClass& claim) {
  return claim.form == ClaimForm::aurifeuillian ? "4y^4" : "y^" + std::to_string(claim.m);
}

std::string claimText(const ClaimedClass& claim) {
  return "n=" + std::to_string(claim.residue) + " (mod " + std::to_string(claim.modulus) + "): " + formText(claim);
}

// The n of 1 .. m (one period of the shape) for which k*b^n has it, described as the
// class it forms: "n=r (mod d)" for the least divisor d of m that describes it, or
// "no n". Only one r can fit a d: that of the first n that has the shape.
std::string trueClass(const Split& s, const ClaimedClass& claim) {
  const uint32_t m = exponentOfY(claim);
  const uint64_t root = restRoot(s, claim);
  std::vector<bool> holds(m + 1);
  uint32_t first = 0;
  uint64_t y = 0;
  for (uint32_t n = m; n >= 1; --n) {
    holds[n] = hasShape(s, claim, root, n, y);
    if (holds[n]) first = n;
  }
  if (first == 0) return "no n";
  for (uint32_t d = 1; d <= m; ++d) {
    if (m % d != 0) continue;
    bool same = true;
    for (uint32_t n = 1; n <= m && same; ++n) same = holds[n] == (n % d == first % d);
    if (same) return "n=" + std::to_string(first % d) + " (mod " + std::to_string(d) + ")";
  }
  return "no n";  // not reached: the n solve linear congruences mod m, so form a class mod some d | m
}

std::string checkForm(const ClaimedClass& claim, int32_t c) {
  if (claim.modulus > kLargest) return claimText(claim) + ": the modulus must be at most 5040";
  if (claim.residue >= claim.modulus) return claimText(claim) + ": the residue must be below the modulus";
  if ((claim.form == ClaimForm::minusOne) != (c == -1))
    return claimText(claim) + ": the form does not belong to k*b^n" + (c == -1 ? "-1" : "+1");
  if (claim.form == ClaimForm::aurifeuillian) return "";
  if (claim.m > kLargest || !isPrime(claim.m)) return claimText(claim) + ": the exponent must be a prime up to 5040";
  if (claim.form == ClaimForm::plusOne && claim.m == 2) return claimText(claim) + ": y^2+1 has no algebraic factor";
  return "";
}

// y at the class's smallest n >= 1, for a class that has the shape there.
uint64_t yAtFirst(const Split& s, const ClaimedClass& claim) {
  uint64_t y = 0;
  hasShape(s, claim, restRoot(s, claim), claim.residue == 0 ? claim.modulus : claim.residue, y);
  return y;
}

// The class as claimed against the true one, then the factor at the class's smallest n.
std::string checkClaim(const Split& s, int64_t k, uint64_t base, const ClaimedClass& claim) {
  const std::string truth = trueClass(s, claim);
  const std::string said = "n=" + std::to_string(claim.residue) + " (mod " + std::to_string(claim.modulus) + ")";
  if (truth != said)
    return claimText(claim) + ": " + std::to_string(k) + "*" + std::to_string(base) + "^n = " + shapeName(claim) +
           " exactly for " + truth;
  const uint64_t y = yAtFirst(s, claim);
  const uint64_t first = claim.residue == 0 ? claim.modulus : claim.residue;
  const bool proper = claim.form == ClaimForm::plusOne || y >= (claim.form == ClaimForm::minusOne ? 3u : 2u);
  if (proper) return "";
  const char* factor = claim.form == ClaimForm::minusOne ? "y-1" : "2y^2-2y+1";
  return claimText(claim) + ": at n=" + std::to_string(first) + " the factor " + factor + " is 1, not a proper factor";
}

bool takeText(std::string_view body, size_t& pos, std::string_view literal) {
  if (body.substr(pos, literal.size()) != literal) return false;
  pos += literal.size();
  return true;
}

// Digits without a leading zero, up to kLargest * 10; false when there are none.
bool takeNumber(std::string_view body, size_t& pos, uint32_t& value) {
  const size_t start = pos;
  value = 0;
  for (; pos < body.size() && body[pos] >= '0' && body[pos] <= '9' && value <= 10 * kLargest; ++pos)
    value = value * 10 + uint32_t(body[pos] - '0');
  return pos > start && !(body[start] == '0' && pos - start > 1);
}

std::string parseForm(std::string_view body, size_t& pos, ClaimedClass& claim) {
  if (takeText(body, pos, "4y^4+1")) {
    claim.form = ClaimForm::aurifeuillian;
    claim.m = 4;
    return "";
  }
  if (!takeText(body, pos, "y^") || !takeNumber(body, pos, claim.m)) return "expected y^m-1, y^m+1 or 4y^4+1";
  if (takeText(body, pos, "-1")) claim.form = ClaimForm::minusOne;
  else if (takeText(body, pos, "+1")) claim.form = ClaimForm::plusOne;
  else return "expected y^m-1, y^m+1 or 4y^4+1";
  return "";
}

}  // namespace

std::string formText(const ClaimedClass& claim) {
  if (claim.form == ClaimForm::aurifeuillian) return "4y^4+1";
  return "y^" + std::to_string(claim.m) + (claim.form == ClaimForm::minusOne ? "-1" : "+1");
}

std::vector<uint64_t> claimYs(int64_t k, uint64_t base, const std::vector<ClaimedClass>& claims) {
  if (claims.empty()) return {};
  const Split s = split(uint64_t(k), base);
  std::vector<uint64_t> ys;
  for (const ClaimedClass& claim : claims) ys.push_back(yAtFirst(s, claim));
  return ys;
}

std::string parseClaims(std::string_view body, size_t& pos, std::vector<ClaimedClass>& claims) {
  while (pos < body.size()) {
    // A search writes at most 8 (5 primes divide a period up to 5040, 2 the exponents
    // of a base up to 10^9, and 4y^4); more would only let a small file stall the check.
    if (claims.size() == kMostClaims) return "more than 16 classes";
    ClaimedClass claim;
    if (!takeText(body, pos, "  + n=")) return "expected \"  + n=\" after \"]\"";
    if (!takeNumber(body, pos, claim.residue)) return "expected the residue of a class";
    if (!takeText(body, pos, " (mod ")) return "expected \" (mod \" after the residue";
    if (!takeNumber(body, pos, claim.modulus) || claim.modulus == 0) return "expected the modulus of a class";
    if (!takeText(body, pos, "): ")) return "expected \"): \" after the modulus";
    if (std::string fault = parseForm(body, pos, claim); !fault.empty()) return fault;
    claims.push_back(claim);
  }
  return "";
}

std::string checkClaims(int64_t k, uint32_t period, const std::vector<ClaimedClass>& claims, uint64_t base,
                        int32_t c, uint32_t& span) {
  span = period;
  for (const ClaimedClass& claim : claims) {
    if (std::string fault = checkForm(claim, c); !fault.empty()) return fault;
    span = std::lcm(span, claim.modulus);
    if (span > kLargestPeriod) return "the span of the period and the moduli must be at most 65520";
  }
  if (claims.empty()) return "";  // k may then be wide, and is not looked at
  const Split s = split(uint64_t(k), base);
  for (const ClaimedClass& claim : claims)
    if (std::string fault = checkClaim(s, k, base, claim); !fault.empty()) return fault;
  return "";
}

}  // namespace verify
