// pelund: covering sets for k*b^n+c. Everything comes from pelund.ini in the working
// directory; the only arguments are --help and --version.
#include <pelund/pelund.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.h"
#include "platform.h"
#include "sequence.h"

namespace {

const char* const kHelp =
    "pelund: covering sets of the numbers k*b^n+c.\n"
    "\n"
    "For a base b, a sign c (1: Sierpinski, -1: Riesel) and multipliers k from mink to\n"
    "maxk, pelund finds every k for which a few primes, each with the order of b modulo\n"
    "it dividing a period P, divide every term k*b^n+c (n >= 1): no term is then prime.\n"
    "\n"
    "Usage: pelund [--help | --version]\n"
    "\n"
    "It takes its settings from pelund.ini in the working directory, one key=value per\n"
    "line: base, mink, maxk and c (required); period (144), maxfact (1000000), facdisp\n"
    "(0), kdisp (0), threads (0: all), engine (auto, sieve or residue), resume (0 or 1),\n"
    "algebraic (0 or 1), progress (1: a live status line on a terminal, 0: none),\n"
    "maxsets (0: no limit; else the run ends after that many lines), wide (0; 1: maxk\n"
    "up to 2^256-1, maxfact up to 2^64-1, period up to 65520) and factoreffort (5: with\n"
    "wide=1 and maxfact above 1e9, seconds of factoring Phi_d(b) for each d dividing P).\n"
    "It writes covering.txt (one line per covered k), appends to pelund.log, and keeps\n"
    "pelund.state for resume=1; pelund.lock keeps one run per directory.\n"
    "\n"
    "Exit status: 0 the search ran to the end; 1 an error (configuration, files, memory,\n"
    "another search in the directory); 128 + signal when stopped (130: Ctrl-C; 141: the\n"
    "reader of standard output has gone, as for pelund | head).\n";


}  // namespace

int main(int argc, char** argv) {
  platformGuardStandardStreams();  // first: the help's "\n" is LF on Windows too
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) return writeHelpText("pelund", kHelp, 1);
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0)
    return writeHelpText("pelund", std::string("pelund ") + pelund::kVersion + "\n", 1);
  std::exit(runPelund());
}
