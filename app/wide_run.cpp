// The wide run (see wide_run.h): its results and state, its table phase and its walk.
#include "wide_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include <pelund/pelund.hpp>

#include "config.h"
#include "console.h"
#include "cyclotomic.h"
#include "platform.h"
#include "reports.h"
#include "resume.h"
#include "run.h"
#include "u256.h"
#include "wide_search.h"
#include "wide_state.h"

using pelund::U256;

namespace {

// Candidates below this bound are found exhaustively; above it by factoring.
constexpr uint64_t kExhaustiveBelow = 1000000000;

// Every prime below `below` whose period divides P, as any search finds them.
std::optional<std::vector<pelund::FactorPeriod>> exhaustiveCandidates(uint32_t below, pelund::Observer& observer,
                                                                      uint32_t* stoppedAt) {
  pelund::SearchParams params;
  params.base = gi_base;
  params.c = gi_c;
  params.period = int32_t(g_wide.period);
  params.maxFact = int32_t(below);
  params.minK = params.maxK = 1;
  params.threads = gi_threads;
  std::optional<pelund::CandidateTable> table = pelund::candidates(params, observer, stopToken(), stoppedAt);
  if (!table) return std::nullopt;
  return std::move(table->factorPeriodList);
}

U256 wideValue(const std::string& decimal) {
  U256 value;
  if (!U256::parse(decimal, value)) error("%s is no k below 2^256", decimal.c_str());
  return value;
}

WideState identity() {
  WideState state;
  state.base = gi_base;
  state.c = gi_c;
  state.period = g_wide.period;
  state.maxFact = g_wide.maxFact;
  state.minK = state.nextK = g_wide.minK;
  return state;
}

// Prepares covering.txt and pelund.state as an ordinary run does, for a wide state.
WideState prepareWideResults(bool resume, bool& resumed) {
  const WideState fresh = identity();
  std::string text, cause;
  const ReadOutcome read =
      resume ? platformReadSmallFile(kStatePath, kLongestWideState, text, cause) : ReadOutcome::missing;
  if (read == ReadOutcome::failed) error("%s cannot be read: %s", kStatePath, cause.c_str());
  resumed = read == ReadOutcome::read;
  if (!resumed) {
    for (const char* path : {kCoveringPath, kStatePath})
      if (!platformRemoveFile(path, cause)) error("%s cannot be removed: %s", path, cause.c_str());
    return fresh;
  }
  WideState state;
  // A state of the same search within the caps goes on here as well: a wide run
  // extends it beyond them. Its tree part in progress, if any, is searched again from
  // its start, below which every line is written.
  bool wideState = true;
  if (SearchState ordinary; !parseWideState(text, state)) {
    wideState = false;
    if (!parseSearchState(text, ordinary)) error("%s is damaged or incomplete", kStatePath);
    if (ordinary.algebraic)
      error("%s belongs to another search (base=%d c=%d period=%d maxfact=%d mink=%lld algebraic=1)", kStatePath,
            ordinary.base, ordinary.c, ordinary.period, ordinary.maxFact, static_cast<long long>(ordinary.minK));
    state = wideStateOf(ordinary);
  }
  if (!state.sameSearch(fresh))
    error("%s belongs to another search (base=%d c=%d period=%u maxfact=%" PRIu64 " mink=%s%s)", kStatePath,
          state.base, state.c, state.period, state.maxFact, state.minK.c_str(), wideState ? " wide=1" : "");
  if (!decimalAtMost(state.nextK, decimalPlusOne(g_wide.maxK)))
    error("%s records a search done up to k=%s, beyond maxk=%s", kStatePath, decimalMinusOne(state.nextK).c_str(),
          g_wide.maxK.c_str());
  cutResults({state.length, state.found, state.minK, state.nextK});
  return state;
}

// The wide sink: lines to covering.txt, "Searching at k" lines at the multiples of
// kdisp, and the state about once a second.
class WideWriter : public pelund::wide::WideSink {
 public:
  WideWriter(const WideState& start, const char* statePath) : state_(start), statePath_(statePath) {}
  ~WideWriter() override { platformCloseFile(file_); }

  void partDone(const pelund::wide::WidePart& part) override {
    if (stopped_) return;
    state_.wanted = 0, state_.partTo.clear(), state_.covered.clear();
    size_t line = 0;
    if (gi_kDisp > 0) {
      const uint64_t step = uint64_t(gi_kDisp);
      const uint64_t rest = part.from.mod(step);
      U256 m = rest == 0 ? part.from : part.from + U256(step - rest);
      for (; m >= part.from && m <= part.to; m = m + U256(step)) {
        writeLines(part, line, &m);
        if (quitting()) {
          state_.nextK = m.toString();
          stopped_ = true;
          return;
        }
        flushLines();
        showSearchProgress(m.toString(), state_.found);
        if (part.to - m < U256(step)) break;  // no overflow next to 2^256
      }
    }
    writeLines(part, line, nullptr);
    state_.nextK = decimalPlusOne(part.to.toString());
    if (statePath_ != nullptr && std::chrono::steady_clock::now() - lastSave_ >= std::chrono::seconds(1)) saveState();
  }

  // A tree part in progress at the state's k: kept in the state, which is
  // saved about once a second (a part with too many k for a state stays at its start).
  void treeProgress(const pelund::wide::WideTreeProgress& progress) override {
    if (statePath_ == nullptr || stopped_ || progress.covered.size() > kMostWidePartKs ||
        progress.from.toString() != state_.nextK)
      return;
    state_.partTo = progress.to.toString();
    state_.wanted = progress.wanted, state_.list = progress.list, state_.done = progress.done;
    state_.covered.clear();
    for (const U256& k : progress.covered) state_.covered.push_back(k.toString());
    if (std::chrono::steady_clock::now() - lastSave_ >= std::chrono::seconds(1)) saveState();
  }

  void saveState() {
    flushLines();
    if (statePath_ == nullptr) return;
    std::string cause;
    if (file_ != kNoFile && !platformSyncFile(file_, cause)) error("%s cannot be written: %s", kCoveringPath, cause.c_str());
    if (!writeWideState(statePath_, state_, cause)) error("%s cannot be written: %s", statePath_, cause.c_str());
    lastSave_ = std::chrono::steady_clock::now();
  }

  const WideState& state() const { return state_; }
  bool stopped() const { return stopped_; }

 private:
  // Writes the lines from `line` whose k is below `below` (all: null).
  void writeLines(const pelund::wide::WidePart& part, size_t& line, const U256* below) {
    size_t last = line;
    while (last < part.ks.size() && (below == nullptr || part.ks[last] < *below)) ++last;
    if (last > line) {
      std::string cause;
      if (file_ == kNoFile && (file_ = platformOpenAppend(kCoveringPath, true, cause)) == kNoFile)
        error("%s cannot be opened for writing: %s", kCoveringPath, cause.c_str());
      const size_t begin = line == 0 ? 0 : part.ends[line - 1];
      const size_t size = part.ends[last - 1] - begin;
      if (!platformAppendLines(file_, part.text.data() + begin, size, cause))
        error("%s cannot be written: %s", kCoveringPath, cause.c_str());
      state_.length += int64_t(size);
      state_.found += uint64_t(last - line);
      line = last;
    }
  }

  void flushLines() {
    std::string cause;
    if (file_ != kNoFile && !platformFlushLines(file_, cause))
      error("%s cannot be written: %s", kCoveringPath, cause.c_str());
  }

  WideState state_;
  const char* statePath_;
  PlatformFile file_ = kNoFile;
  std::chrono::steady_clock::time_point lastSave_ = std::chrono::steady_clock::now();
  bool stopped_ = false;
};

void logStop(const char* where, const std::string& at) {
  logWithDateTime("Search interrupted by signal %d at %s=%s", int(gi_stopSignal), where, at.c_str());
}

std::string factorList(const std::vector<pelund::WidePrime>& primes) {
  std::string text = "factor and period list:\n";
  char line[48];
  for (const pelund::WidePrime& prime : primes) {
    std::snprintf(line, sizeof line, "%" PRIu64 "  %u\n", prime.prime, prime.period);
    text += line;
  }
  return text + "\n";
}

}  // namespace

int runWideSearch(bool resume) {
  bool resumed = false;
  const WideState start = prepareWideResults(resume, resumed);
  std::vector<std::string> banner{statusMessage("Covering sets for %c%d k=%s to %s with factor<=%" PRIu64
                                                " and period=%u", formLetter(gi_c), gi_base, g_wide.minK.c_str(),
                                                g_wide.maxK.c_str(), g_wide.maxFact, g_wide.period)};
  if (resumed)
    banner.push_back(statusMessage("Resuming %c%d at k=%s with %" PRIu64 " covering set%s found", formLetter(gi_c),
                                   gi_base, start.nextK.c_str(), start.found, start.found == 1 ? "" : "s"));
  showBanner(banner);

  // The candidates: every prime below min(maxfact, 1e9) of a period dividing P, then
  // the factors of Phi_d(b) up to maxfact.
  ConsoleObserver observer{uint32_t(gi_facDisp)};
  uint32_t stoppedAt = 0;
  const std::optional<std::vector<pelund::FactorPeriod>> exhaustive =
      exhaustiveCandidates(uint32_t(std::min<uint64_t>(g_wide.maxFact, kExhaustiveBelow)), observer, &stoppedAt);
  if (!exhaustive) {
    consoleWrite("Ending factor load at factor=%u.\n", stoppedAt);
    logWithDateTime("Search interrupted by signal %d at factor=%u", int(gi_stopSignal), stoppedAt);
    return interruptedStatus();
  }
  std::vector<CyclotomicFactors> factored;
  if (g_wide.maxFact > kExhaustiveBelow) {
    auto found = factorCyclotomics(gi_base, g_wide.period, double(g_wide.factorEffort), stopToken());
    if (!found) {
      consoleWrite("Ending factor load at factor=%u.\n", uint32_t(kExhaustiveBelow));
      logWithDateTime("Search interrupted by signal %d while factoring", int(gi_stopSignal));
      return interruptedStatus();
    }
    factored = std::move(*found);
  }
  const std::vector<pelund::WidePrime> table =
      wideCandidatePrimes(gi_base, g_wide.period, g_wide.maxFact, *exhaustive, factored);
  if (!table.empty()) platformAppendToLog(kLogPath, factorList(table));
  if (!factored.empty()) platformAppendToLog(kLogPath, describeCyclotomicFactors(gi_base, factored) + "\n");

  pelund::wide::WideParams params{gi_base, gi_c, g_wide.period, wideValue(g_wide.minK), wideValue(g_wide.maxK),
                                   gi_threads};
  const pelund::wide::WideSearch search(params, table);
  WideWriter writer(start, resume ? kStatePath : nullptr);
  writer.saveState();
  bool complete = true;
  const bool enough = gi_maxSets > 0 && start.found >= uint64_t(gi_maxSets);
  if (search.searchable() && decimalAtMost(start.nextK, g_wide.maxK) && !enough) {
    const uint64_t lines = gi_maxSets > 0 ? uint64_t(gi_maxSets) - start.found : 0;
    pelund::wide::WideTreeProgress part;
    if (start.wanted > 0) {
      part.from = wideValue(start.nextK), part.to = wideValue(start.partTo);
      part.wanted = start.wanted, part.list = start.list, part.done = start.done;
      for (const std::string& k : start.covered) part.covered.push_back(wideValue(k));
    }
    complete = search.walkLines(wideValue(start.nextK), params.maxK, lines, writer, stopToken(), {},
                                start.wanted > 0 ? &part : nullptr);
  }
  complete = complete && !writer.stopped();
  writer.saveState();
  if (!complete) {
    consoleWrite("Ending k search at k=%s.\n", writer.state().nextK.c_str());
    logStop("k", writer.state().nextK);
    return interruptedStatus();
  }
  ignoreLateStops();
  reportWithDateTime("%" PRIu64 " covering set%s found for %c%d", writer.state().found,
                     writer.state().found == 1 ? "" : "s", formLetter(gi_c), gi_base);
  bool partial = false;
  for (const CyclotomicFactors& d : factored) partial = partial || !d.complete;
  if (partial)
    reportWithDateTime("The search is exact for the candidate primes listed in pelund.log: some Phi_d(%d) are not "
                       "factored completely",
                       gi_base);
  return 0;
}
