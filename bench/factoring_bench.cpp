// PARI against FLINT on the cyclotomic values Phi_d(b), the record of which library
// the wide candidate primes factor with. For b in {2, 3, 7, 32400, 999999937} and
// every divisor d of P (default 5040): the complete factorisation, side by side, of
// the values up to `digits` decimal digits (default 60), the two checked to agree;
// and, on the larger values for d | 720, one bounded ECM attempt each (FLINT:
// fmpz_factor_ecm with 8 curves, B1 = 2000, B2 = 200000; PARI: Z_ECM with one round,
// B1 = 2000) on the part left after the primes below 2^16. Prints per-value times
// and the medians and totals. Usage: factoring_bench [P] [digits]
//
// On two shared cores (PARI 2.15.2, FLINT 2.9.0): the 183 values up to 60 digits, all
// factored alike, took FLINT 5.9 s in all (median 0.02 ms) and PARI 3.2 s (median
// 0.01 ms); the bounded attempts on 33 larger values took FLINT 17 s (median 0.03 s,
// 22 factors) and PARI 92 s (median 0.08 s, 24 factors). PARI factors mid-sized values
// about twice as fast, but keeps its stack per thread (the Debian build is the
// thread-local one: every calling thread must be registered) and bounds time only by
// an alarm signal; FLINT needs no global state, and its curves one at a time bound the
// effort by the clock. The library factors with FLINT.
#include <flint/fmpz.h>
#include <flint/fmpz_factor.h>
#include <flint/fmpz_poly.h>
#include <pari/pari.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

template <typename F>
double seconds(F&& run) {
  auto begin = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string text(const fmpz_t n) {
  char* s = fmpz_get_str(nullptr, 10, n);
  std::string out(s);
  flint_free(s);
  return out;
}

// The prime factors with multiplicity as sorted decimal strings.
std::vector<std::string> flintFactors(const fmpz_t n) {
  fmpz_factor_t f;
  fmpz_factor_init(f);
  fmpz_factor(f, n);
  std::vector<std::string> out;
  for (slong i = 0; i < f->num; ++i)
    for (ulong e = 0; e < f->exp[i]; ++e) out.push_back(text(f->p + i));
  fmpz_factor_clear(f);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> pariFactors(const std::string& n) {
  const pari_sp top = avma;
  GEN m = Z_factor(strtoi(n.c_str()));
  std::vector<std::string> out;
  for (long i = 1; i < lg(gel(m, 1)); ++i) {
    char* s = GENtostr(gcoeff(m, i, 1));
    for (long e = 0; e < itos(gcoeff(m, i, 2)); ++e) out.push_back(s);
    pari_free(s);
  }
  set_avma(top);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const ulong period = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5040;
  const size_t digits = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 60;
  pari_init(1ul << 28, 1ul << 20);
  flint_rand_t state;
  flint_randinit(state);
  std::vector<double> flintFull, pariFull, flintEcm, pariEcm;
  int flintFound = 0, pariFound = 0, disagreements = 0;
  for (ulong b : {2ul, 3ul, 7ul, 32400ul, 999999937ul}) {
    for (ulong d = 1; d <= period; ++d) {
      if (period % d != 0) continue;
      fmpz_poly_t phi;
      fmpz_poly_init(phi);
      fmpz_poly_cyclotomic(phi, d);
      fmpz_t n, x;
      fmpz_init(n), fmpz_init_set_ui(x, b);
      fmpz_poly_evaluate_fmpz(n, phi, x);
      const std::string decimal = text(n);
      if (decimal.size() <= digits) {
        std::vector<std::string> a, p;
        const double tf = seconds([&] { a = flintFactors(n); });
        const double tp = seconds([&] { p = pariFactors(decimal); });
        flintFull.push_back(tf), pariFull.push_back(tp);
        disagreements += a != p;
        std::printf("full  b=%-9lu d=%-5lu %3zu digits  flint %8.4f s  pari %8.4f s%s\n", b, d, decimal.size(), tf, tp,
                    a == p ? "" : "  DIFFERENT");
      } else if (720 % d == 0) {
        // The part above 2^16, then one bounded attempt each.
        fmpz_factor_t small;
        fmpz_factor_init(small);
        fmpz_factor_trial_range(small, n, 0, 6542);
        fmpz_t rest, f;
        fmpz_init_set(rest, n), fmpz_init(f);
        for (slong i = 0; i < small->num; ++i)
          for (ulong e = 0; e < small->exp[i]; ++e) fmpz_divexact(rest, rest, small->p + i);
        fmpz_factor_clear(small);
        if (fmpz_is_probabprime(rest)) continue;
        int found = 0;
        const double tf = seconds([&] { found = fmpz_factor_ecm(f, 8, 2000, 200000, state, rest); });
        flintFound += found != 0;
        const std::string restText = text(rest);
        GEN g = nullptr;
        const pari_sp top = avma;
        const double tp = seconds([&] { g = Z_ECM(strtoi(restText.c_str()), 1, 1, 2000); });
        pariFound += g != nullptr;
        set_avma(top);
        flintEcm.push_back(tf), pariEcm.push_back(tp);
        std::printf("ecm   b=%-9lu d=%-5lu %5zu digits  flint %8.4f s%s  pari %8.4f s%s\n", b, d, restText.size(), tf,
                    found ? " (factor)" : "", tp, g ? " (factor)" : "");
        fmpz_clear(rest), fmpz_clear(f);
      }
      fmpz_clear(n), fmpz_clear(x);
      fmpz_poly_clear(phi);
    }
  }
  auto sum = [](const std::vector<double>& v) {
    double s = 0;
    for (double t : v) s += t;
    return s;
  };
  std::printf("complete factorisation of %zu values: flint median %.5f s total %.3f s; pari median %.5f s total %.3f s; "
              "%d disagree\n",
              flintFull.size(), median(flintFull), sum(flintFull), median(pariFull), sum(pariFull), disagreements);
  std::printf("bounded ECM on %zu values: flint median %.4f s total %.3f s, %d factors; pari median %.4f s total %.3f s, "
              "%d factors\n",
              flintEcm.size(), median(flintEcm), sum(flintEcm), flintFound, median(pariEcm), sum(pariEcm), pariFound);
  flint_randclear(state);
  pari_close();
  return 0;
}
