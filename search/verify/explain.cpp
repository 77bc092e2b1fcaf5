// A line's proof as congruences (pelund::explainLine, pelund::explain): the checker's own
// verdict, and from the same walk of each prime's residues the class of n it divides,
// so the classes shown are the ones that were checked, not a second computation.
//
// A prime p not dividing b divides k*b^n + c exactly when k*b^n = -c (mod p); b^n runs
// through a cycle of length d = ord_p(b), so those n are one class modulo d or none.
// An algebraic class is given with y at its smallest n >= 1 (below 2^62, see
// verify_algebraic.h) and the value there of the factor that makes the term composite.
#include <pelund/pelund.hpp>

#include <algorithm>
#include <numeric>

#include "verify.h"

namespace pelund {

namespace {

std::string decimal(unsigned __int128 value) {
  std::string digits;
  do digits.insert(digits.begin(), char('0' + int(value % 10)));
  while ((value /= 10) != 0);
  return digits;
}

// "(y-1)(y^4+...+y+1)" and its like: the factor of the form, then the cofactor.
std::string factorisation(const verify::ClaimedClass& claim) {
  using verify::ClaimForm;
  if (claim.form == ClaimForm::aurifeuillian) return "(2y^2-2y+1)(2y^2+2y+1)";
  const bool minus = claim.form == ClaimForm::minusOne;
  const std::string factor = minus ? "(y-1)" : "(y+1)";
  if (claim.m == 2) return factor + "(y+1)";
  const std::string top = "y^" + std::to_string(claim.m - 1);
  if (claim.m == 3) return factor + "(" + top + (minus ? "+y+1)" : "-y+1)");
  return factor + "(" + top + (minus ? "+...+y+1)" : "-...-y+1)");
}

AlgebraicClass algebraicClass(const verify::ClaimedClass& claim, uint64_t y) {
  AlgebraicClass shown{claim.modulus, claim.residue, verify::formText(claim), factorisation(claim),
                       claim.residue == 0 ? claim.modulus : claim.residue, y, "", ""};
  const unsigned __int128 wide = y;
  if (claim.form == verify::ClaimForm::aurifeuillian) {
    shown.factor = "2y^2-2y+1";
    shown.factorValue = decimal(2 * wide * wide - 2 * wide + 1);
  } else {
    const bool minus = claim.form == verify::ClaimForm::minusOne;
    shown.factor = minus ? "y-1" : "y+1";
    shown.factorValue = decimal(minus ? wide - 1 : wide + 1);
  }
  return shown;
}

// The classes of a line whose primes and claims hold.
void addClasses(Explanation& explanation, const verify::CoveringLine& line, const verify::LineProof& proof) {
  explanation.classesKnown = true;
  explanation.span = proof.span;
  for (size_t i = 0; i < line.primes.size(); ++i) {
    const verify::PrimeHits& hits = proof.hits[i];
    PrimeClass prime{line.primes[i], hits.order, {}};
    if (hits.first != 0) prime.residues.push_back(hits.first % hits.order);
    explanation.primes.push_back(std::move(prime));
  }
  for (size_t i = 0; i < line.classes.size(); ++i)
    explanation.classes.push_back(algebraicClass(line.classes[i], proof.ys[i]));
}

}  // namespace

Explanation explainLine(std::string_view text, int64_t base, int32_t c) {
  Explanation explanation;
  explanation.base = base;
  explanation.c = c;
  if (const char* fault = rangeFault(base, 1, 1, c, 2, 5)) {
    explanation.fault = fault;
    return explanation;
  }
  verify::CoveringLine line;
  verify::LineProof proof;
  const verify::LineVerdict verdict = verify::checkLine(text, base, c, &line, &proof);
  explanation.fault = verdict.fault;
  explanation.parsed = verdict.parsed;
  if (!verdict.parsed) return explanation;
  explanation.k = line.k;
  explanation.kText = line.kText;
  explanation.period = line.period;
  if (proof.known) addClasses(explanation, line, proof);
  return explanation;
}

Explanation explain(int64_t base, int32_t c, int64_t k, std::vector<uint32_t> primes, std::optional<uint32_t> period,
                    const std::vector<std::string>& classes) {
  return explain(base, c, std::to_string(k), std::vector<uint64_t>(primes.begin(), primes.end()), period, classes);
}

// k is a line's k, or "0" or "-digits" for a k below 1, which no line can hold: that
// is refused after the faults of base and c, as a line is, with no classes.
Explanation explain(int64_t base, int32_t c, std::string_view k, std::vector<uint64_t> primes,
                    std::optional<uint32_t> period, const std::vector<std::string>& classes) {
  std::sort(primes.begin(), primes.end());
  primes.erase(std::unique(primes.begin(), primes.end()), primes.end());
  uint64_t lcm = 1;
  for (uint64_t p : primes) {
    if (base < 2 || !verify::isPrimeWide(p) || uint64_t(base) % p == 0) continue;
    const uint64_t order = verify::multiplicativeOrder64(uint64_t(base) % p, p);
    lcm = order >= UINT32_MAX ? UINT32_MAX : std::min<uint64_t>(std::lcm(lcm, order), UINT32_MAX);
  }
  const uint32_t written = period.value_or(uint32_t(lcm));
  if (k == "0" || (!k.empty() && k[0] == '-')) {
    const char* fault = rangeFault(base, 1, 1, c, 2, 5);
    if (fault != nullptr) return Explanation{base, c, false, 0, 0, false, 0, {}, {}, fault, ""};
    __int128 value = 0;  // saturated at -2^63
    for (char digit : k.substr(k[0] == '-' ? 1 : 0)) value = std::max<__int128>(value * 10 - (digit - '0'), INT64_MIN);
    return Explanation{base, c, true, int64_t(value), written, false, 0, {}, {}, "k must be at least 1", std::string(k)};
  }
  std::string text = std::string(k) + "  " + std::to_string(written) + "  [";
  for (size_t i = 0; i < primes.size(); ++i) text += (i > 0 ? ", " : "") + std::to_string(primes[i]);
  text += "]";
  for (const std::string& claim : classes) text += "  + " + claim;
  return explainLine(text + "\n", base, c);
}

}  // namespace pelund
