// The eleven-prime cover of base 32400, c = +1, period 11: the wide search's smallest
// k against an independent computation. Phi_11(32400) is the product of eleven primes,
// each of period 11 (checked here with GMP); a k whose terms k*32400^n + 1 they cover
// gives each prime one exponent class mod 11, so the covered k are the CRT solutions
// of the 11! assignments of primes to classes, and the smallest is taken over all of
// them with GMP (leaving out the k of the classes the search skips: 32400 | k, and
// 179 or 181, the primes of 32399, dividing k + 1). Prints both, their times and
// whether they agree.
//
//   bench/a146563 [threads [wide [parts]]]   (wide: the wide search alone; parts: their times)
//   bench/a146563 1 part BITS                 (the tree of [1, 2^BITS] alone)
#include <gmpxx.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <string>
#include <vector>

#include "mulmod64.h"
#include "wide_search.h"

namespace {

constexpr uint64_t kBase = 32400;
constexpr uint64_t kPrimes[] = {23, 89, 331, 2003, 5743, 14851, 21121, 37379, 76649, 103951, 1750914287};
constexpr int kCount = 11;

double seconds(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

struct Lines : pelund::wide::WideSink {
  std::string text;
  void partDone(const pelund::wide::WidePart& part) override { text += part.text; }
};

mpz_class big(uint64_t v) { return mpz_class(std::to_string(v)); }

// DFS over the assignments: class e of exponent (0..10) to prime j; `sum` the partial
// CRT sum of the residues times the basis elements.
struct Assignments {
  mpz_class N, best;
  std::vector<std::vector<mpz_class>> term;  // [j][e]: t_j(e) * E_j
  bool used[kCount] = {};
  mpz_class leaf;
  void search(int e, const mpz_class& sum) {
    if (e == kCount) {
      leaf = sum % N;
      // The least k >= 1 of the class that the search does not skip.
      for (mpz_class k = leaf == 0 ? N : leaf;; k += N) {
        if (k >= best) return;
        const bool skipped = k % kBase == 0 || (k + 1) % 179 == 0 || (k + 1) % 181 == 0;
        if (!skipped) {
          best = k;
          return;
        }
      }
    }
    for (int j = 0; j < kCount; ++j)
      if (!used[j]) {
        used[j] = true;
        search(e + 1, sum + term[size_t(j)][size_t(e)]);
        used[j] = false;
      }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 0;
  // The primes: prime, of period 11, and together Phi_11(32400) = (32400^11 - 1) / 32399.
  mpz_class product = 1, phi;
  mpz_ui_pow_ui(phi.get_mpz_t(), kBase, 11);
  phi = (phi - 1) / (kBase - 1);
  std::vector<pelund::WidePrime> candidates;
  for (uint64_t p : kPrimes) {
    if (!pelund::isPrime64(p) || pelund::orderMod64(kBase, p, 11) != 11) return std::printf("bad prime %llu\n", (unsigned long long)p), 1;
    product *= big(p);
    candidates.push_back({p, 11});
  }
  std::printf("Phi_11(32400) %s the product of the eleven primes\n", product == phi ? "is" : "is NOT");

  pelund::wide::WideParams params;
  params.base = int64_t(kBase), params.c = 1, params.period = 11, params.minK = 1, params.maxK = pelund::U256::max();
  params.threads = threads;
  const pelund::wide::WideSearch search(params, candidates);
  if (argc > 2 && std::string(argv[2]) == "part") {
    // One part [1, 2^bits] on one thread, in processor seconds (the machine may be shared).
    const int bits = argc > 3 ? std::atoi(argv[3]) : 120;
    std::vector<pelund::U256> covered;
    const std::clock_t start = std::clock();
    search.tree(1, pelund::U256(1).shiftLeft(bits), covered, pelund::StopToken{});
    std::printf("part [1, 2^%d]: %zu covered k, %.2f processor s\n", bits, covered.size(),
                double(std::clock() - start) / CLOCKS_PER_SEC);
    return 0;
  }
  auto begin = std::chrono::steady_clock::now();
  Lines lines;
  auto partBegin = begin;
  pelund::U256 partFrom, partTo;
  const bool parts = argc > 3;
  search.walkLines(1, pelund::U256::max(), 1, lines, pelund::StopToken{}, [&](const pelund::U256& from, const pelund::U256& to) {
    if (parts && !partTo.isZero()) std::printf("  part of %d bits: %.3f s\n", (partTo - partFrom + 1).bits(), seconds(partBegin));
    partFrom = from, partTo = to, partBegin = std::chrono::steady_clock::now();
  });
  const double wideSeconds = seconds(begin);
  std::printf("wide search: %s  (%.2f s)\n", lines.text.substr(0, lines.text.size() - 1).c_str(), wideSeconds);

  if (argc > 2 && std::string(argv[2]) == "wide") return 0;
  begin = std::chrono::steady_clock::now();
  Assignments all;
  all.N = product, all.best = product * 2;
  all.term.resize(kCount);
  for (int j = 0; j < kCount; ++j) {
    const uint64_t p = kPrimes[j];
    const mpz_class cofactor = product / big(p);
    mpz_class inverse;
    const mpz_class pp = big(p);
    mpz_invert(inverse.get_mpz_t(), mpz_class(cofactor % pp).get_mpz_t(), pp.get_mpz_t());
    const mpz_class E = cofactor * inverse;
    const uint64_t binv = pelund::powmod64(kBase % p, p - 2, p);
    uint64_t power = 1;
    for (int e = 0; e < kCount; ++e) {
      // Exponent class e + 1 (e = 10 stands for n = 0 mod 11): k = -b^(-n) mod p.
      power = pelund::mulmod64(power, binv, p);
      all.term[size_t(j)].push_back(big(p - power) * E);
    }
  }
  all.search(0, 0);
  const double crtSeconds = seconds(begin);
  std::printf("CRT over 11! assignments: %s  (%.2f s)\n", all.best.get_str().c_str(), crtSeconds);
  const std::string wideK = lines.text.substr(0, lines.text.find(' '));
  std::printf("%s\n", wideK == all.best.get_str() ? "agree" : "DISAGREE");
  return wideK == all.best.get_str() ? 0 : 1;
}
