// Interrupts under load: a long threaded walk through the real binary, stopped by
// SIGINT, SIGTERM or SIGHUP at a random moment, many times. Every run must end with
// status 128 + the signal, a log line naming where it ended, and the closing line "Ending k search at k=N."; covering.txt must hold complete
// lines only, every one of them what the straightforward search gives for its k;
// every k below N must have been searched (its line present exactly when the
// straightforward search covers it) and none at or above N; and every progress line
// must count exactly the lines written below its k.
//
// The fast walk gets through about 10^9 k a second, far more than the
// straightforward search could check one by one. But whether and how k is covered
// depends only on k modulo the candidate primes, b and the prime factors of b-1:
// the first hit of p is fixed by k mod p, and the skip tests by k mod b and
// (k + c) mod f. So the straightforward search is run once over one full period L
// of k (the lcm of those moduli), and the covered k below N follow from the covered
// residues; each written line is still compared with a direct search of its own k.
// The settings are chosen for a small L: R2 with period 24 ({3, 5, 7, 13, 17, 241},
// the set of the Riesel number 509203; L = 11184810), and R10 and S10 with period 6
// ({7, 11, 13, 37}; L = 1111110). The sanitizer build leaves out R2, whose full
// period the instrumented straightforward search would take half a minute over.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cinttypes>
#include <numeric>
#include <random>
#include <regex>

#include "e2e.h"
#include "rounds.h"
#include "factor_table.h"
#include "k_walk.h"

namespace {

constexpr int64_t kProgressStep = 1000000000;  // kdisp: one progress line per 10^9 k
constexpr int kRunsPerSignal = 40;

using e2e::kSanitized;

struct Setting {
  int32_t base, c, period, maxFact;
};

// One setting with its straightforward search over a full period of k.
class Oracle {
 public:
  explicit Oracle(const Setting& s) {
    params_.base = s.base, params_.c = s.c, params_.period = s.period, params_.maxFact = s.maxFact;
    table_ = buildFactorTable(params_);
    table_.periodOrderedList = regroupByPeriod(table_.factorPeriodList, s.period);
    period_ = s.base;
    for (const FactorPeriod& pair : table_.factorPeriodList) period_ = std::lcm(period_, int64_t(pair.factor));
    for (int32_t f : table_.baseMinusOneFactors) period_ = std::lcm(period_, int64_t(f));
    slots_ = makeExponentSlots(s.period);
    for (int64_t r = 1; r <= period_; ++r) {
      if (searchOneK(r, params_, table_, slots_)) covered_.push_back(r % period_);
    }
    std::sort(covered_.begin(), covered_.end());
  }

  int64_t period() const { return period_; }
  size_t coveredPerPeriod() const { return covered_.size(); }

  // Every covered k in [from, to), ascending.
  std::vector<int64_t> coveredBetween(int64_t from, int64_t to) const {
    std::vector<int64_t> ks;
    for (int64_t start = from - from % period_; start < to; start += period_) {
      for (int64_t r : covered_) {
        if (start + r >= from && start + r < to) ks.push_back(start + r);
      }
    }
    return ks;
  }

  // The straightforward line for k, or "" when k is not covered.
  std::string lineFor(int64_t k) {
    std::optional<CoverLine> line = searchOneK(k, params_, table_, slots_);
    return line ? formatCoverLine(*line) : "";
  }

 private:
  SearchParams params_;
  ExponentSlots slots_;
  CandidateTable table_;
  int64_t period_ = 1;
  std::vector<int64_t> covered_;  // residues modulo period_
};

std::string iniOf(const Setting& s, int64_t minK, const char* engine) {
  char text[512];
  std::snprintf(text, sizeof text,
                "base=%d\nmink=%" PRId64 "\nmaxk=1000000000000000000\nc=%d\nperiod=%d\nmaxfact=%d\nkdisp=%" PRId64
                "\nthreads=2\nengine=%s\n",
                s.base, minK, s.c, s.period, s.maxFact, kProgressStep, engine);
  return text;
}

std::string banner(const Setting& s, int64_t minK) {
  return "Covering sets for " + std::string(s.c == 1 ? "S" : "R") + std::to_string(s.base) + " k=" +
         std::to_string(minK) + " to 1000000000000000000 with factor<=" + std::to_string(s.maxFact) +
         " and period=" + std::to_string(s.period);
}

// The lines of covering.txt with their k; each must be complete (end in a newline).
// Their form is checked by the comparison with the straightforward search's lines.
std::vector<std::pair<int64_t, std::string>> splitLines(const std::string& text) {
  std::vector<std::pair<int64_t, std::string>> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "incomplete line: " << text.substr(at);
      break;
    }
    lines.emplace_back(std::strtoll(text.c_str() + at, nullptr, 10), text.substr(at, end + 1 - at));
    at = end + 1;
  }
  return lines;
}

// Checks one interrupted run; returns N, the k at which the walk ended.
int64_t checkRun(Oracle& oracle, const Setting& s, int64_t minK, const e2e::TempDir& dir, const e2e::RunResult& run,
                 int signal) {
  EXPECT_EQ(run.exitStatus, 128 + signal);
  EXPECT_EQ(run.termSignal, 0);
  const std::string out = e2e::maskStamps(run.out);
  const std::string head = "\n" + e2e::statusLine(banner(s, minK)) + "\n";
  const std::string progress = "Searching at k = \\d+\\. \\d+ covering sets? found\\. \b{65}";
  const std::string tail = out.substr(std::min(out.size(), head.size()));
  std::smatch match;
  if (out.substr(0, head.size()) != head ||
      !std::regex_match(tail, match,
                        std::regex("(" + progress + ")+\nCtrl-C accepted. (" + progress +
                                   ")*Ending k search at k=(\\d+)\\.\n"))) {
    ADD_FAILURE() << "console: " << out;
    return 0;
  }
  const int64_t next = std::stoll(match[3]);
  EXPECT_GT(next, minK);

  const auto lines = splitLines(dir.read("covering.txt"));
  std::vector<int64_t> written;
  for (const auto& [k, text] : lines) {
    written.push_back(k);
    EXPECT_EQ(text, oracle.lineFor(k));
  }
  EXPECT_EQ(written, oracle.coveredBetween(minK, next));

  // Each progress line counts the lines written below its k.
  static const std::regex shown("Searching at k = (\\d+)\\. (\\d+) covering set");
  for (auto at = std::sregex_iterator(out.begin(), out.end(), shown); at != std::sregex_iterator(); ++at) {
    const int64_t k = std::stoll((*at)[1]);
    EXPECT_EQ(k % kProgressStep, 0);
    EXPECT_LT(k, next);
    const auto below = std::lower_bound(written.begin(), written.end(), k) - written.begin();
    EXPECT_EQ(std::stoll((*at)[2]), below) << "at k=" << k;
  }
  EXPECT_EQ(dir.read("pelund.log").find("found for"), std::string::npos);
  EXPECT_NE(dir.read("pelund.log").find("Search interrupted by signal " + std::to_string(signal) + " at k=" + std::to_string(next) + "\n"),
            std::string::npos);
  return next;
}

// One process computes the oracles once and runs SIGINT, SIGTERM and SIGHUP, alternating them
// and the settings.
TEST(InterruptUnderLoad, EveryRunEndsCleanAtAPoll) {
  std::vector<Setting> settings = {{10, -1, 6, 1000}, {10, 1, 6, 1000}};
  if (!kSanitized) settings.push_back({2, -1, 24, 1000});
  std::vector<Oracle> oracles;
  for (const Setting& s : settings) {
    oracles.emplace_back(s);
    ASSERT_GT(oracles.back().coveredPerPeriod(), 0u) << "a setting without covered k checks too little";
  }
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  int64_t lines = 0, longest = 0;
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int run = 0; run < 3 * kRunsPerSignal && !HasFailure(); ++run) {
    const int signal = signals[run % 3];
    const size_t which = (run / 3) % settings.size();
    const Setting& s = settings[which];
    // A start anywhere up to 10^17, at a multiple of the progress step so that the
    // first progress line shows that the walk is under way.
    const int64_t minK = int64_t(1 + random() % 100000000) * kProgressStep;
    const auto delay = std::chrono::milliseconds(random() % 250);
    const char* engine = run % 2 == 0 ? "sieve" : "residue";
    SCOPED_TRACE(iniOf(s, minK, engine) + "signal " + std::to_string(signal) + " after " + std::to_string(delay.count()) + " ms");
    e2e::TempDir dir;
    dir.write("pelund.ini", iniOf(s, minK, engine));
    const e2e::RunResult result = e2e::run(dir, {signal, "Searching at k", delay}, "", std::chrono::seconds(30));
    const int64_t next = checkRun(oracles[which], s, minK, dir, result, signal);
    lines += static_cast<int64_t>(splitLines(dir.read("covering.txt")).size());
    longest = std::max(longest, next - minK);
  }
  std::cout << "[ figures  ] " << 3 * kRunsPerSignal << " runs, " << lines << " lines checked, longest walk "
            << longest << " k\n";
}

// A tree part of S7 holds millions of multiples of kdisp, shown when the part is done
// (the part from k = 71303169 holds 2.7 million of them, which take many seconds to
// write). A stop ends that burst at the next multiple: every multiple below the
// k named in "Ending k search" is shown with the count below it, none at or above,
// and the lines are exactly those below it. (The console is parsed by hand: it may
// hold megabytes of progress lines.)
TEST(InterruptUnderLoad, AStopEndsTheProgressLinesOfATreePart) {
  const std::string ini = "base=7\nmink=1\nmaxk=1120000000000\nc=1\nmaxfact=100000\nengine=residue\n";
  constexpr int64_t kdisp = 400;
  e2e::TempDir reference;
  reference.write("pelund.ini", ini);
  ASSERT_EQ(e2e::run(reference).exitStatus, 0);
  std::vector<int64_t> covered;
  for (const auto& [k, text] : splitLines(reference.read("covering.txt"))) covered.push_back(k);
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (int run = 0; run < 4 && !HasFailure(); ++run) {
    const auto delay = std::chrono::milliseconds(random() % 200);
    SCOPED_TRACE("SIGINT after " + std::to_string(delay.count()) + " ms");
    e2e::TempDir dir;
    dir.write("pelund.ini", ini + "kdisp=" + std::to_string(kdisp) + "\n");
    const e2e::RunResult result =
        e2e::run(dir, {SIGINT, "Searching at k = 71303200.", delay}, "", std::chrono::seconds(60));
    EXPECT_EQ(result.exitStatus, 130);
    EXPECT_LT(result.afterSignals.count(), 5000) << "the stop took effect this late";
    const std::string& out = result.out;
    const std::string ending = "Ending k search at k=";
    const size_t at = out.rfind(ending);
    ASSERT_NE(at, std::string::npos) << out.substr(out.size() - std::min<size_t>(out.size(), 300));
    const int64_t next = std::stoll(out.substr(at + ending.size()));
    EXPECT_EQ(out.substr(out.find('\n', at)), "\n");
    // The progress lines, in order, at every multiple of kdisp below `next`.
    std::string rest = out.substr(0, at);
    const size_t acknowledged = rest.find("\nCtrl-C accepted. ");
    ASSERT_NE(acknowledged, std::string::npos);
    rest.erase(acknowledged, 18);
    int64_t expected = kdisp;
    const std::string backspaces(65, '\b');
    for (size_t line = rest.find("Searching at k = "); line != std::string::npos;
         line = rest.find("Searching at k = ", line + 1), expected += kdisp) {
      const int64_t k = std::strtoll(rest.c_str() + line + 17, nullptr, 10);
      const int64_t below = std::lower_bound(covered.begin(), covered.end(), k) - covered.begin();
      const std::string shown = "Searching at k = " + std::to_string(expected) + ". " + std::to_string(below) +
                                " covering set" + (below == 1 ? "" : "s") + " found. " + backspaces;
      ASSERT_EQ(rest.compare(line, shown.size(), shown), 0) << rest.substr(line, 100);
    }
    EXPECT_GE(next, expected - kdisp + 1);
    EXPECT_LE(next, expected);
    std::string lines;
    for (const auto& [k, text] : splitLines(reference.read("covering.txt")))
      if (k < next) lines += text;
    EXPECT_TRUE(dir.read("covering.txt") == lines);
  }
}

}  // namespace
