// pelund-verify: re-proves every line of covering.txt for the base and sign of the
// pelund.ini in the current directory, independently of the search that wrote it.
//
// Usage: pelund-verify [--explain | --json] [covering-file]   (default "covering.txt")
//        pelund-verify [--help | --version]
// Exit status: 0 when every line is a valid covering set, 1 when any line is bad,
// 2 when pelund.ini or the covering file cannot be read or standard output cannot be
// written. A run that finds nothing
// leaves no covering.txt, so a missing default file counts as zero lines, all good;
// a file named on the command line must exist.
//
// --explain writes every line with its classes of n (see verify_stream.h), --json the
// same as one JSON object per line on standard output, every other message (the
// summary too) then going to standard error; exit statuses are the same. Only these
// two exact words are options: any other argument names the file, as before. A build
// without nlohmann-json's header refuses --json with status 2.
#include <pelund/pelund.hpp>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "console.h"
#include "platform.h"
#include "verify_stream.h"
#ifndef PELUND_JSON
#define PELUND_JSON 0
#endif
#if PELUND_JSON
#include "verify_json.h"
#endif

namespace {

constexpr int kAllGood = 0;
constexpr int kSomeBad = 1;
constexpr int kUnreadable = 2;

enum class Mode { verdicts, explain, json };

const char* const kHelp =
    "pelund-verify: checks every line of covering.txt again, independently of pelund.\n"
    "\n"
    "Usage: pelund-verify [--explain | --json] [covering-file]\n"
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
    "Options: --explain writes each line with the classes of n that its primes and\n"
    "algebraic claims divide and the span after which they repeat; --json the same as\n"
    "one JSON object per line on standard output, every other message on standard\n"
    "error.\n"
    "\n"
    "Exit status: 0 every line is good; 1 some line is bad; 2 pelund.ini or the\n"
    "covering file cannot be read, or standard output cannot be written.\n";


void printSummary(std::FILE* out, const verify::Tally& tally) {
  std::fprintf(out, "%" PRIu64 " line%s checked, %" PRIu64 " bad\n", tally.checked, tally.checked == 1 ? "" : "s",
               tally.bad);
}

// The configuration as pelund reads it; only base and c matter here.
bool readConfiguration(std::FILE* messages) {
  std::FILE* ini = openConfiguration();
  if (ini == nullptr) {
    std::fprintf(messages, "pelund-verify: pelund.ini not found\n");
    return false;
  }
  const char* fault = loadInputs(ini);
  std::fclose(ini);
  if (fault != nullptr) std::fprintf(messages, "pelund-verify: pelund.ini: %s\n", fault);
  return fault == nullptr;
}

verify::Tally check(std::FILE* in, Mode mode) {
  if (mode == Mode::verdicts) return verify::checkStream(in, gi_base, gi_c, stdout);
  return verify::explainStream(in, gi_base, gi_c,
                               [mode](uint64_t number, std::string_view text, const pelund::Explanation& explanation) {
                                 (void)mode;
#if PELUND_JSON
                                 if (mode == Mode::json) {
                                   const std::string json = verify::explanationJson(number, text, explanation);
                                   std::fprintf(stdout, "%s\n", json.c_str());
                                   return;
                                 }
#endif
                                 verify::writeExplanation(stdout, number, text, explanation);
                               });
}

int verifyFile(const std::string& path, bool named, Mode mode, std::FILE* messages) {
  std::FILE* in = platformOpenForReading(path.c_str());
  if (in == nullptr) {
    if (errno == ENOENT && !named) {
      std::fprintf(messages, "no %s: nothing to check\n", path.c_str());
      printSummary(messages, {});
      return kAllGood;
    }
    std::fprintf(messages, "pelund-verify: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return kUnreadable;
  }
  verify::Tally tally = check(in, mode);
  int readError = errno;
  std::fclose(in);
  if (tally.readFailed) {
    std::fprintf(messages, "pelund-verify: cannot read %s: %s\n", path.c_str(), std::strerror(readError));
    return kUnreadable;
  }
  printSummary(messages, tally);
  return tally.bad == 0 ? kAllGood : kSomeBad;
}

}  // namespace

int main(int argc, char** argv) {
  platformGuardStandardStreams();
  const std::vector<std::string> arguments = platformArguments(argc, argv);
  if (arguments.size() == 1 && arguments[0] == "--help") return writeHelpText("pelund-verify", kHelp, kUnreadable);
  if (arguments.size() == 1 && arguments[0] == "--version")
    return writeHelpText("pelund-verify", std::string("pelund-verify ") + pelund::kVersion + "\n", kUnreadable);
  Mode mode = Mode::verdicts;
  const std::string* file = nullptr;
  bool misused = false, options = false, json = false;
  for (const std::string& argument : arguments) {
    if (argument == "--explain" || argument == "--json") {
      misused = misused || options;
      options = true;
      mode = argument == "--json" ? Mode::json : Mode::explain;
      json = json || mode == Mode::json;
    } else {
      misused = misused || file != nullptr;
      file = &argument;
    }
  }
  std::FILE* messages = json ? stderr : stdout;  // also for a usage fault that names --json
  if (misused) {
    // The words of a call without options stay as they were.
    std::fprintf(messages, options ? "usage: pelund-verify [--explain | --json] [covering-file]\n"
                                   : "usage: pelund-verify [covering-file | --help | --version]\n");
    return kUnreadable;
  }
  if (mode == Mode::json && !PELUND_JSON) {
    std::fprintf(stderr, "pelund-verify: --json is not available: this pelund-verify was built without "
                         "nlohmann-json (PELUND_JSON=OFF); --explain gives the same in text\n");
    return kUnreadable;
  }
  if (!readConfiguration(messages)) return kUnreadable;
  const int status = verifyFile(file != nullptr ? *file : "covering.txt", file != nullptr, mode, messages);
  // Verdicts or proofs that did not all reach standard output (a full disk) must not
  // pass for whole ones: the status says so, whatever the lines were.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "pelund-verify: standard output cannot be written: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return kUnreadable;
  }
  return status;
}
