// pelund-verify on hostile files: generated covering.txt texts of 10,000 lines each,
// checked through the same stream reader as the command, one kind of line per file.
// Prints the bytes, the time and whether the file took under a second; the algebraic
// claims of exponent 5039 took 0.1 s a line when roots and powers were m-fold loops.
// Usage: verify_bench [lines per file]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "verify_stream.h"

namespace {

struct Kind {
  const char* name;
  int64_t base;
  int32_t c;
  std::function<std::string(int64_t k)> line;
};

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// One file of `lines` lines of the kind, k ascending; the seconds the check took.
double timeFile(const Kind& kind, int64_t lines, size_t& bytes, uint64_t& bad) {
  std::string text;
  for (int64_t k = 1; k <= lines; ++k) text += kind.line(k);
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

}  // namespace

int main(int argc, char** argv) {
  const int64_t lines = argc > 1 ? std::atoll(argv[1]) : 10000;
  const std::string many = primesOfPeriod5040(10, 1000000);
  const std::string claim = "  + n=0 (mod 5039): y^5039+1";
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
  };
  std::printf("%-30s %10s %10s %10s %9s %s\n", "kind (lines each)", "bytes", "bad", "seconds", "us/line", "");
  for (const Kind& kind : kinds) {
    size_t bytes = 0;
    uint64_t bad = 0;
    const double seconds = timeFile(kind, lines, bytes, bad);
    std::printf("%-30s %10zu %10llu %10.3f %9.2f %s\n", kind.name, bytes, static_cast<unsigned long long>(bad), seconds,
                1e6 * seconds / double(lines), seconds < 1.0 ? "under a second" : "ONE SECOND OR MORE");
  }
  return 0;
}
