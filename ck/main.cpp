// pelund-ck: the conjectured k of many bases, the smallest k of each base and form
// that has a covering set, in one table, ck.txt. One process: the candidate tables of
// all bases built together, the bases searched side by side on the threads, each up
// to its first line, and the lines written in ascending base, S before R, as they
// are done. Started again in the same directory, it goes on after the last line.
#include <pelund/pelund.hpp>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "options.h"
#include "platform.h"
#include "table_run.h"

namespace {

const char* const kHelp =
    "pelund-ck: the conjectured k of bases, the smallest k with a covering set.\n"
    "\n"
    "Usage: pelund-ck FORMS BASES [options]\n"
    "       pelund-ck [--help | --version]\n"
    "\n"
    "FORMS is S (k*b^n+1), R (k*b^n-1) or SR; BASES numbers, ranges and lists such as\n"
    "2-100,120,1000-1030. For each base and form it searches k from mink on and writes\n"
    "the line of the first covered k to ck.txt, as covering.txt would have it, after\n"
    "the name (S7  1112646039348  24  [5, 13, ...]), or 'S7  none' when no k up to\n"
    "maxk is covered; in ascending base, S before R. The first line records the\n"
    "parameters. Started again in the same directory, it goes on after the last line.\n"
    "\n"
    "Options: --period P (720), --maxfact F (1000000), --mink K (1), --maxk K (1e18),\n"
    "--threads T (0: all), --algebraic (also k proved by algebraic factors), --wide\n"
    "(maxk up to 2^256-1, maxfact up to 2^64-1 and period up to 65520, as pelund's\n"
    "wide=1: beyond 1e18, 1e9 and 5040 the wide engine searches), --factoreffort S\n"
    "(with --wide: seconds of factoring for each Phi_d(b), 0 ... 86400; 5).\n"
    "\n"
    "Exit status: 0 the table is complete; 1 an error (arguments, files, memory,\n"
    "another search in the directory); 128 + signal when stopped (130: Ctrl-C).\n";


}  // namespace

int main(int argc, char** argv) {
  platformGuardStandardStreams();  // first: the help's and faults' "\n" is LF on Windows too
  CkOptions options;
  const char* fault = parseCkOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (options.help) return writeHelpText("pelund-ck", kHelp, 1);
  if (options.version)
    return writeHelpText("pelund-ck", std::string("pelund-ck ") + pelund::kVersion + "\n", 1);
  if (fault != nullptr) error("%s", fault);
  try {
    return runCkTable(options, nullptr);
  } catch (const std::bad_alloc&) {
    error("not enough memory");
  } catch (const pelund::Error& failure) {
    error("%s", failure.what());
  }
}
