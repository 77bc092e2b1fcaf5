// pelund-verify: re-proves every line of covering.txt for the base and sign of the
// pelund.ini in the current directory, independently of the search that wrote it.
//
// Usage: pelund-verify [covering-file]   (default "covering.txt")
// Exit status: 0 when every line is a valid covering set, 1 when any line is bad,
// 2 when pelund.ini or the covering file cannot be read. A run that finds nothing
// leaves no covering.txt, so a missing default file counts as zero lines, all good;
// a file named on the command line must exist.
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
  if (argc > 2) {
    std::printf("usage: pelund-verify [covering-file]\n");
    return kUnreadable;
  }
  if (!readConfiguration()) return kUnreadable;
  bool named = argc == 2;
  int status = verifyFile(named ? argv[1] : "covering.txt", named);
  std::fflush(stdout);
  return status;
}
