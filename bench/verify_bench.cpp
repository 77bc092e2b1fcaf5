// pelund-verify on hostile files: generated covering.txt texts of 10,000 lines each,
// checked through the same stream reader as the command, one kind of line per file.
// Prints the bytes, the time and whether the file took under a second; the algebraic
// claims of exponent 5039 took 0.1 s a line when roots and powers were m-fold loops.
// Wide lines too: k of 300 digits, the period 65521, orders refused for 64-bit primes
// whose p-1 is two primes near 2^31 times 2 (the longest split), 10^4 primes.
// Usage: verify_bench [lines per file]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "verify_stream.h"

namespace {

struct Kind {
  const char* name;
  int64_t base;
  int32_t c;
  std::function<std::string(int64_t k)> line;
  int64_t share = 1;  // the file holds lines / share lines
};

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// One file of `lines` lines of the kind, k ascending; the seconds the check took.
double timeFile(const Kind& kind, int64_t lines, size_t& bytes, uint64_t& bad) {
  std::string text;
  for (int64_t k = 1; k <= lines / kind.share; ++k) text += kind.line(k);
  bytes = text.size();
  std::FILE* in = fmemopen(text.data(), text.size(), "r");
  std::FILE* report = std::fopen("/dev/null", "w");
  const auto start = std::chrono::steady_clock::now();
  const verify::Tally tally = verify::checkStream(in, kind.base, kind.c, report);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(in);
  std::fclose(report);
  bad = tally.bad;
  return seconds;
}

// The primes below `below` of an order of b dividing 5040, as a line lists them.
std::string primesOfPeriod5040(uint32_t base, uint32_t below) {
  std::string list;
  for (uint32_t p = 3; p < below; p += 2)
    if (base % p != 0 && verify::isPrime(p) && verify::powMod(base, 5040, p) == 1)
      list += (list.empty() ? "" : ", ") + std::to_string(p);
  return list;
}

// The primes below `below` of an order of b dividing 65520.
std::string primesOfPeriod65520(uint32_t base, uint32_t below) {
  std::string list;
  for (uint32_t p = 3; p < below; p += 2)
    if (base % p != 0 && verify::isPrime(p) && verify::powMod(base, 65520, p) == 1)
      list += (list.empty() ? "" : ", ") + std::to_string(p);
  return list;
}

// Primes p = 2*q*r + 1 with q and r primes of 31 bits, from a fixed draw.
std::vector<uint64_t> hardSplitPrimes(size_t count) {
  std::vector<uint64_t> primes;
  uint64_t state = 65520;
  auto next31 = [&] {
    for (;;) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      const uint64_t q = (state >> 33) | (uint64_t(1) << 30);
      if (verify::isPrime(uint32_t(q))) return q;
    }
  };
  while (primes.size() < count)
    if (const uint64_t p = 2 * next31() * next31() + 1; verify::isPrimeWide(p)) primes.push_back(p);
  return primes;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t lines = argc > 1 ? std::atoll(argv[1]) : 10000;
  const std::string many = primesOfPeriod5040(10, 1000000);
  const std::string claim = "  + n=0 (mod 5039): y^5039+1";
  const std::string many65520 = primesOfPeriod65520(10, 1000000);
  const std::vector<uint64_t> hard = hardSplitPrimes(64);
  std::string tenThousand;
  for (uint32_t p = 2, count = 0; count < 10000; ++p)
    if (verify::isPrime(p)) tenThousand += (count++ > 0 ? ", " : "") + std::to_string(p);
  const std::string nearTop = "115792089237316195423570985008687907853269984665640564039457584007913";
  const Kind kinds[] = {
      {"y^5039+1, one claim", 2, 1, [&](int64_t k) { return std::to_string(k) + "  5039  []" + claim + "\n"; }},
      {"y^5039+1, 16 claims", 2, 1,
       [&](int64_t k) { return std::to_string(k) + "  5039  []" + repeated(claim, 16) + "\n"; }},
      {"y^5039-1, base 2*3*5*...*23", 223092870, -1,
       [](int64_t k) { return std::to_string(k) + "  5039  []  + n=0 (mod 5039): y^5039-1\n"; }},
      {"y^4999-1, rest of k a power", 2, -1,
       [](int64_t k) { return std::to_string(k * 2 + 1) + "  4999  []  + n=0 (mod 4999): y^4999-1\n"; }},
      {"order refused, safe prime", 2, 1, [](int64_t k) { return std::to_string(k) + "  1  [4294967087]\n"; }},
      {"period 5040, four primes", 10, -1,
       [](int64_t k) { return std::to_string(10176 + (k - 1) * 7 * 11 * 13 * 37) + "  5040  [7, 11, 13, 37]\n"; }},
      {"period 5040, all primes < 1e6", 10, -1, [&](int64_t k) { return std::to_string(k) + "  5040  [" + many + "]\n"; }},
      {"k of 300 digits", 10, -1,
       [](int64_t k) { return std::string(299, '9') + std::to_string(k % 10) + "  12  [7, 11, 13, 37]\n"; }},
      {"period 65521", 10, -1, [](int64_t k) { return std::to_string(k) + "  65521  [7, 11, 13, 37]\n"; }},
      {"period 65520, all primes < 1e6", 10, -1,
       [&](int64_t k) { return std::to_string(k) + "  65520  [" + many65520 + "]\n"; }},
      // Longer than a line may be (65536 characters): refused as it is read.
      {"10^4 primes", 2, 1, [&](int64_t k) { return std::to_string(k) + "  65520  [" + tenThousand + "]\n"; }, 100},
      {"k near 2^256, four primes", 10, -1,
       [&](int64_t k) { return nearTop + std::to_string(100000000 + k) + "  6  [7, 11, 13, 37]\n"; }},
      {"order refused, p-1 = 2qr", 2, 1,
       [&](int64_t k) { return std::to_string(k) + "  1  [" + std::to_string(hard[size_t(k) % hard.size()]) + "]\n"; }},
  };
  std::printf("%-30s %10s %10s %10s %9s %s\n", "kind (lines each)", "bytes", "bad", "seconds", "us/line", "");
  for (const Kind& kind : kinds) {
    size_t bytes = 0;
    uint64_t bad = 0;
    const double seconds = timeFile(kind, lines, bytes, bad);
    std::printf("%-30s %10zu %10llu %10.3f %9.2f %s\n", kind.name, bytes, static_cast<unsigned long long>(bad), seconds,
                1e6 * seconds / double(lines / kind.share), seconds < 1.0 ? "under a second" : "ONE SECOND OR MORE");
  }
  return 0;
}
