// pelund-verify: re-proves every line of covering.txt for the base and sign of the
// pelund.ini in the current directory, independently of the search that wrote it.
//
// Usage: pelund-verify [covering-file]   (default "covering.txt")
//        pelund-verify [--help | --version]
// Exit status: 0 when every line is a valid covering set, 1 when any line is bad,
// 2 when pelund.ini or the covering file cannot be read. A run that finds nothing
// leaves no covering.txt, so a missing default file counts as zero lines, all good;
// a file named on the command line must exist.
#include <pelund/pelund.hpp>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "config.h"
#include "platform.h"
#include "verify_stream.h"

namespace {

constexpr int kAllGood = 0;
constexpr int kSomeBad = 1;
constexpr int kUnreadable = 2;

const char* const kHelp =
    "pelund-verify: checks every line of covering.txt again, independently of pelund.\n"
    "\n"
    "Usage: pelund-verify [covering-file]\n"
    "       pelund-verify [--help | --version]\n"
    "\n"
    "It reads base and c from pelund.ini in the working directory and the lines from\n"
    "covering-file (covering.txt when none is named). For each line it proves with\n"
    "exact arithmetic that the listed primes divide every term k*b^n+c (n >= 1) and\n"
    "that no term is one of them; a line with algebraic classes has each class proved\n"
    "as well. Each bad line is shown with its number and the reason, then the count:\n"
    "N lines checked, M bad. A missing covering.txt (a search that found nothing)\n"
    "counts as no lines; a file named on the command line must exist.\n"
    "\n"
    "Exit status: 0 every line is good; 1 some line is bad; 2 pelund.ini or the\n"
    "covering file cannot be read.\n";

// Writes the text of --help or --version; a write that fails (a full disk, a closed
// pipe) is an error like any other, with status 2 and the cause on standard error.
int writeText(const std::string& text) {
  platformIgnoreBrokenPipe();
  const bool written = std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
  if (written) return kAllGood;
  std::fprintf(stderr, "pelund-verify: standard output cannot be written: %s\n", std::strerror(errno));
  return kUnreadable;
}

void printSummary(const verify::Tally& tally) {
  std::printf("%" PRIu64 " line%s checked, %" PRIu64 " bad\n", tally.checked, tally.checked == 1 ? "" : "s", tally.bad);
}

// The configuration as pelund reads it; only base and c matter here.
bool readConfiguration() {
  std::FILE* ini = std::fopen("pelund.ini", "rb");
  if (ini == nullptr) {
    std::printf("pelund-verify: pelund.ini not found\n");
    return false;
  }
  const char* fault = loadInputs(ini);
  std::fclose(ini);
  if (fault != nullptr) std::printf("pelund-verify: pelund.ini: %s\n", fault);
  return fault == nullptr;
}

int verifyFile(const std::string& path, bool named) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    if (errno == ENOENT && !named) {
      std::printf("no %s: nothing to check\n", path.c_str());
      printSummary({});
      return kAllGood;
    }
    std::printf("pelund-verify: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return kUnreadable;
  }
  verify::Tally tally = verify::checkStream(in, gi_base, gi_c, stdout);
  int readError = errno;
  std::fclose(in);
  if (tally.readFailed) {
    std::printf("pelund-verify: cannot read %s: %s\n", path.c_str(), std::strerror(readError));
    return kUnreadable;
  }
  printSummary(tally);
  return tally.bad == 0 ? kAllGood : kSomeBad;
}

}  // namespace

int main(int argc, char** argv) {
  platformGuardStandardStreams();
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return writeText(kHelp);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
    return writeText(std::string("pelund-verify ") + pelund::kVersion + "\n");
  if (argc > 2) {
    std::printf("usage: pelund-verify [covering-file | --help | --version]\n");
    return kUnreadable;
  }
  if (!readConfiguration()) return kUnreadable;
  bool named = argc == 2;
  int status = verifyFile(named ? argv[1] : "covering.txt", named);
  std::fflush(stdout);
  return status;
}
