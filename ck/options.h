// The command line of pelund-ck: the forms, the bases and the search's bounds, checked
// with the messages of pelund's configuration, and the first line of ck.txt that
// records them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CkOptions {
  bool sierpinski = false;  // the form S, k*b^n + 1
  bool riesel = false;      // the form R, k*b^n - 1
  std::vector<int32_t> bases;  // ascending, distinct
  int64_t period = 720;
  int64_t maxFact = 1000000;
  int64_t minK = 1;
  int64_t maxK = 1000000000000000000;
  int64_t threads = 0;  // 0: all hardware threads
  bool algebraic = false;
  bool help = false, version = false;
  // --wide: the caps of pelund's wide=1 (maxk 2^256-1, maxfact 2^64-1, period 65520).
  // mink, maxk and maxfact then in full, in decimal; when the search passes one of the
  // 64-bit caps (beyond), minK and maxK above hold the ordinary part of it, k up to 1e18
  // with maxfact up to 1e9 and period up to 5040 (none: ordinary false), and the wide
  // engine takes the rest, k from wideFrom on.
  bool wide = false;
  // --factoreffort: seconds of factoring for each Phi_d(b) of a wide search, as pelund's
  // factoreffort= (its default 5); recorded in the first line when not the default.
  int64_t factorEffort = 5;
  std::string minKText = "1", maxKText = "1000000000000000000", maxFactText = "1000000";
  bool beyond = false;
  bool ordinary = true;
  std::string wideFrom;
};

// One line of the table: a form and a base, "S7" by name.
struct CkItem {
  int32_t base = 0;
  int32_t c = 0;
  std::string name() const;
};

inline constexpr size_t kMostBases = 1000000;

// Reads the arguments (argv[1] on) into `options`; the message of the first fault, or
// nullptr.
const char* parseCkOptions(const std::vector<std::string>& arguments, CkOptions& options);

// The lines of the table in their order: ascending base, S before R.
std::vector<CkItem> ckItems(const CkOptions& options);

// The bases as ranges and numbers, "2-100,120,1000-1030".
std::string basesText(const std::vector<int32_t>& bases);

// The first line of ck.txt: everything that decides the table's lines.
std::string ckHeading(const CkOptions& options);
