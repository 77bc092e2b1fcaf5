// The prime factors of Phi_d(b) (see cyclotomic.h). Per d: Phi_d(b) from FLINT's
// cyclotomic polynomial, the primes of d divided out, trial over the primes 1 + j*d
// by the order test, then the cofactor: settled when it is 1, below the square of the
// trial bound (then prime), a probable prime, or small enough to factor completely;
// else elliptic curves with growing stage-one bounds until the time for d is spent.
#include "cyclotomic.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "mulmod64.h"

#ifdef PELUND_HAVE_FLINT
#include <flint/fmpz.h>
#include <flint/fmpz_factor.h>
#include <flint/fmpz_poly.h>
#endif

using pelund::WidePrime;

namespace {

constexpr uint64_t kTableBound = 1000000000;  // the exhaustive table's largest bound

std::vector<uint32_t> divisorsOf(uint32_t n) {
  std::vector<uint32_t> divisors;
  for (uint32_t d = 1; d <= n; ++d)
    if (n % d == 0) divisors.push_back(d);
  return divisors;
}

#ifdef PELUND_HAVE_FLINT

// An fmpz_t that clears itself.
struct Fmpz {
  fmpz_t v;
  Fmpz() { fmpz_init(v); }
  explicit Fmpz(const fmpz_t x) { fmpz_init_set(v, x); }
  Fmpz(const Fmpz& other) { fmpz_init_set(v, other.v); }
  Fmpz& operator=(const Fmpz& other) {
    fmpz_set(v, other.v);
    return *this;
  }
  ~Fmpz() { fmpz_clear(v); }
};

std::string decimal(const fmpz_t n) {
  char* s = fmpz_get_str(nullptr, 10, n);
  std::string text(s);
  flint_free(s);
  return text;
}

// Ties the prime factors found for one d together: primes below 2^64 with their
// exponents, larger ones as text.
class Found {
 public:
  Found(uint64_t base, uint32_t d) : base_(base), d_(d), dPrimes_(pelund::distinctPrimeFactors64(d)) {}

  // Records the prime p (dividing Phi_d(b) e times), when its period is d.
  void add(const fmpz_t p, uint32_t e) {
    if (fmpz_abs_fits_ui(p)) {
      const uint64_t q = fmpz_get_ui(p);
      if (pelund::orderMod64(base_, q, d_, dPrimes_) == d_) small_[q] += e;
      return;
    }
    // Above 2^64: no test of the period in 64 bits; every such factor is 1 (mod d).
    large_[decimal(p)] += e;
  }
  void fill(CyclotomicFactors& out) const {
    for (const auto& [p, e] : small_) out.primes.push_back(p), out.exponents.push_back(e);
    std::vector<std::pair<size_t, std::string>> large;
    for (const auto& [p, e] : large_)
      for (uint32_t i = 0; i < e; ++i) large.emplace_back(p.size(), p);
    std::sort(large.begin(), large.end());
    for (const auto& [size, p] : large) out.largePrimes.push_back(p);
  }

 private:
  uint64_t base_;
  uint32_t d_;
  std::vector<uint64_t> dPrimes_;
  std::map<uint64_t, uint32_t> small_;
  std::map<std::string, uint32_t> large_;
};

using Clock = std::chrono::steady_clock;

// Digits up to which a cofactor is factored completely, whatever the time: FLINT's
// quadratic sieve takes well under a second there.
constexpr size_t kCompleteDigits = 40;

// Seconds of one squaring modulo n.
double squaringSeconds(const fmpz_t n) {
  Fmpz x, y;
  fmpz_sub_ui(x.v, n, 3);
  const Clock::time_point begun = Clock::now();
  for (int i = 0; i < 8; ++i) fmpz_mul(y.v, x.v, x.v), fmpz_mod(x.v, y.v, n);
  return std::chrono::duration<double>(Clock::now() - begun).count() / 8;
}

// Digits up to which every cost here is small enough not to be weighed.
constexpr size_t kCheapDigits = 2000;

// Settles n when that is cheap: 1, below `trialSquare` (all its factors are at least
// the trial bound, so it is prime), a probable prime (BPSW, with no known exception),
// or small enough to factor. True when n is settled. The probable-prime test of a
// value of many thousand digits (a few exponentiations, seconds) is made only when it
// should end before `deadline`.
bool settle(const fmpz_t n, const fmpz_t trialSquare, Found& found, Clock::time_point deadline) {
  if (fmpz_is_one(n)) return true;
  if (fmpz_cmp(n, trialSquare) < 0) {
    found.add(n, 1);
    return true;
  }
  if (fmpz_sizeinbase(n, 10) > kCheapDigits) {
    const double remaining = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (squaringSeconds(n) * 4 * double(fmpz_bits(n)) > remaining) return false;
  }
  if (fmpz_is_probabprime(n)) {
    found.add(n, 1);
    return true;
  }
  if (fmpz_sizeinbase(n, 10) <= kCompleteDigits) {
    fmpz_factor_t f;
    fmpz_factor_init(f);
    fmpz_factor(f, n);
    for (slong i = 0; i < f->num; ++i) found.add(f->p + i, static_cast<uint32_t>(f->exp[i]));
    fmpz_factor_clear(f);
    return true;
  }
  return false;
}

// A composite waiting for elliptic curves, with what its curves cost.
struct Pending {
  Fmpz n;
  double lastSeconds = 0;  // the last curve's time, of stage-one bound lastB1 (0: none yet)
  uint64_t lastB1 = 0;
  double squaring = -1;    // seconds of one squaring modulo n (-1: not timed yet)

  explicit Pending(const Fmpz& value) : n(value) {}
  // The expected seconds of one curve of bound b1. Values up to 2000 digits are cheap
  // enough never to be refused.
  double expectedSeconds(uint64_t b1) {
    if (lastB1 != 0) return lastSeconds * double(b1) / double(lastB1);
    if (fmpz_sizeinbase(n.v, 10) <= kCheapDigits) return 0;
    if (squaring < 0) squaring = squaringSeconds(n.v);
    return squaring * 200 * double(b1);
  }
};

// One d: nullopt when stopped.
std::optional<CyclotomicFactors> factorOne(uint64_t base, uint32_t d, double effortSeconds,
                                           const pelund::StopToken& stop, flint_rand_t state) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(effortSeconds));
  CyclotomicFactors out;
  out.d = d;
  Fmpz n, x;
  {
    fmpz_poly_t phi;
    fmpz_poly_init(phi);
    fmpz_poly_cyclotomic(phi, d);
    fmpz_set_ui(x.v, base);
    fmpz_poly_evaluate_fmpz(n.v, phi, x.v);
    fmpz_poly_clear(phi);
  }
  out.digits = static_cast<uint32_t>(decimal(n.v).size());
  // A prime of d divides Phi_d(b) at most once for d > 2 (Phi_2(b) = b + 1 by any power
  // of 2) and has a smaller period.
  for (uint64_t q : pelund::distinctPrimeFactors64(d))
    while (fmpz_divisible_si(n.v, static_cast<slong>(q)))
      fmpz_divexact_ui(n.v, n.v, q), out.periodPrime = q, ++out.periodPrimeExponent;

  // Trial over p = 1 + j*d below 2^32, for a share of the time: p divides Phi_d(b)
  // with period d exactly when b^d = 1 (mod p) and the period is no proper divisor.
  // A value that is factored completely at once needs none.
  Found found(base, d);
  const std::vector<uint64_t> dPrimes = pelund::distinctPrimeFactors64(d);
  const Clock::time_point trialEnd =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(effortSeconds / 4));
  uint64_t j = 1;
  const uint64_t jEnd = fmpz_sizeinbase(n.v, 10) <= kCompleteDigits ? 0 : ((uint64_t(1) << 32) - 1) / d;
  for (; j <= jEnd && !fmpz_is_one(n.v); ++j) {
    if ((j & 4095) == 0) {
      if (stop.stopRequested()) return std::nullopt;
      if (Clock::now() >= trialEnd) break;
    }
    const uint64_t p = 1 + j * d;
    if (pelund::powmod64(base, d, p) != 1 || pelund::orderMod64(base, p, d, dPrimes) != d || !pelund::isPrime64(p))
      continue;
    uint32_t e = 0;
    while (fmpz_divisible_si(n.v, static_cast<slong>(p))) fmpz_divexact_ui(n.v, n.v, p), ++e;
    if (e == 0) continue;  // cannot happen: a prime of period d divides Phi_d(b)
    Fmpz prime;
    fmpz_set_ui(prime.v, p);
    found.add(prime.v, e);
    if (fmpz_sizeinbase(n.v, 10) <= kCompleteDigits) break;  // the rest is factored at once
  }
  out.trialBound = 1 + j * d;
  Fmpz trialSquare;
  fmpz_set_ui(trialSquare.v, out.trialBound);
  fmpz_mul(trialSquare.v, trialSquare.v, trialSquare.v);

  // The composites left, split by elliptic curves: stage-one bounds for factors of
  // about 15, 20 and 25 digits, the curves of each bound as many as finding such a
  // factor takes with high probability. A curve is begun only when it should end
  // before the time for d is spent: its cost is the last curve's on that composite,
  // scaled by the bound, and before the first one an estimate from the time of a
  // modular squaring (a curve of bound B1 on thousands of digits costs up to about
  // 200 * B1 of them; a single curve on the largest values can take minutes).
  std::vector<Pending> left;
  if (!settle(n.v, trialSquare.v, found, deadline)) left.push_back(Pending(n));
  constexpr struct {
    uint64_t b1;
    int curves;
  } kSchedule[] = {{2000, 25}, {11000, 90}, {50000, 300}};
  Fmpz factor, rest;
  for (const auto& step : kSchedule) {
    for (int curve = 0; curve < step.curves && !left.empty() && Clock::now() < deadline; ++curve) {
      if (stop.stopRequested()) return std::nullopt;
      std::vector<Pending> next;
      for (Pending& composite : left) {
        const double remaining = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (composite.expectedSeconds(step.b1) > remaining) {
          next.push_back(composite);
          continue;
        }
        const Clock::time_point begun = Clock::now();
        const int split = fmpz_factor_ecm(factor.v, 1, step.b1, step.b1 * 50, state, composite.n.v);
        composite.lastSeconds = std::chrono::duration<double>(Clock::now() - begun).count();
        composite.lastB1 = step.b1;
        if (split == 0 || fmpz_is_one(factor.v) || fmpz_equal(factor.v, composite.n.v)) {
          next.push_back(composite);
          continue;
        }
        fmpz_divexact(rest.v, composite.n.v, factor.v);
        for (const Fmpz* part : {&factor, &rest})
          if (!settle(part->v, trialSquare.v, found, deadline)) next.push_back(Pending(*part));
      }
      left = std::move(next);
    }
  }
  found.fill(out);
  out.complete = left.empty();
  if (!out.complete) {
    Fmpz product;
    fmpz_one(product.v);
    for (const Pending& composite : left) fmpz_mul(product.v, product.v, composite.n.v);
    out.cofactorDigits = static_cast<uint32_t>(decimal(product.v).size());
  }
  return out;
}

#endif

}  // namespace

bool cyclotomicFactoringAvailable() {
#ifdef PELUND_HAVE_FLINT
  return true;
#else
  return false;
#endif
}

std::optional<std::vector<CyclotomicFactors>> factorCyclotomics(int64_t base, uint32_t period, double effortSeconds,
                                                                const pelund::StopToken& stop) {
  std::vector<CyclotomicFactors> all;
#ifdef PELUND_HAVE_FLINT
  flint_rand_t state;
  flint_randinit(state);  // a fixed seed: the same curves on every run
  for (uint32_t d : divisorsOf(period)) {
    if (d < 2) continue;
    std::optional<CyclotomicFactors> one;
    if (!stop.stopRequested()) one = factorOne(static_cast<uint64_t>(base), d, effortSeconds, stop, state);
    if (!one) {
      flint_randclear(state);
      return std::nullopt;
    }
    all.push_back(std::move(*one));
  }
  flint_randclear(state);
#else
  (void)effortSeconds;
  for (uint32_t d : divisorsOf(period)) {
    if (stop.stopRequested()) return std::nullopt;
    if (d < 2) continue;
    all.emplace_back();
    all.back().d = d;
  }
  (void)base;
#endif
  return all;
}

std::string describeCyclotomicFactors(int64_t base, const std::vector<CyclotomicFactors>& factors) {
  std::string text;
  for (const CyclotomicFactors& f : factors) {
    if (!cyclotomicFactoringAvailable()) {
      text += "Phi_" + std::to_string(f.d) + "(" + std::to_string(base) + "): not factored (built without FLINT)\n";
      continue;
    }
    std::vector<std::string> terms;
    auto power = [](uint64_t p, uint32_t e) { return std::to_string(p) + (e > 1 ? "^" + std::to_string(e) : ""); };
    if (f.periodPrime != 0) terms.push_back(power(f.periodPrime, f.periodPrimeExponent));
    for (size_t i = 0; i < f.primes.size(); ++i) terms.push_back(power(f.primes[i], f.exponents[i]));
    for (const std::string& p : f.largePrimes) terms.push_back(p);
    // Ascending by value: the period's prime is the smallest only when it is below
    // the rest, so sort by length, then text.
    std::stable_sort(terms.begin(), terms.end(), [](const std::string& a, const std::string& b) {
      const size_t la = a.find('^') == std::string::npos ? a.size() : a.find('^');
      const size_t lb = b.find('^') == std::string::npos ? b.size() : b.find('^');
      return la != lb ? la < lb : a.substr(0, la) < b.substr(0, lb);
    });
    std::string list;
    for (const std::string& term : terms) list += (list.empty() ? "" : " * ") + term;
    const std::string name = "Phi_" + std::to_string(f.d) + "(" + std::to_string(base) + ")";
    if (f.complete) text += name + " = " + (list.empty() ? "1" : list) + ", complete\n";
    else
      text += name + ": " + (list.empty() ? "no factor found" : list) + "; a cofactor of " +
              std::to_string(f.cofactorDigits) + " digits is left\n";
  }
  return text;
}

std::vector<WidePrime> wideCandidatePrimes(int64_t base, uint32_t period, uint64_t maxFact,
                                           const std::vector<FactorPeriod>& exhaustive,
                                           const std::vector<CyclotomicFactors>& factored) {
  const uint64_t b = static_cast<uint64_t>(base), tableBound = std::min(maxFact, kTableBound);
  const std::vector<uint64_t> periodPrimes = pelund::distinctPrimeFactors64(period);
  std::vector<WidePrime> primes;
  // A candidate: below maxfact, dividing neither b nor b - 1, its period dividing P.
  auto admit = [&](uint64_t p, uint64_t order) {
    if (p < maxFact && b % p != 0 && (b - 1) % p != 0 && order >= 2 && period % order == 0)
      primes.push_back({p, static_cast<uint32_t>(order)});
  };
  for (const FactorPeriod& pair : exhaustive)
    if (pair.factor < tableBound) admit(pair.factor, pair.period);
  for (const CyclotomicFactors& f : factored)
    for (uint64_t p : f.primes)
      if (p >= tableBound) admit(p, pelund::orderMod64(b, p, period, periodPrimes));
  std::sort(primes.begin(), primes.end(), [](const WidePrime& x, const WidePrime& y) { return x.prime < y.prime; });
  primes.erase(std::unique(primes.begin(), primes.end()), primes.end());
  return primes;
}
