// The run of a CK table (see table.h): ck.txt checked against the parameters, the
// candidate tables of the bases still to do built together, their lines found side by
// side on the threads (or by a finder over other processes) and written in ascending
// base as soon as all before them are.
#include "table_run.h"

#include <pelund/pelund.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "console.h"
#include "first_line.h"
#include "joint_table.h"
#include "platform.h"
#include "progress.h"
#include "results_writer.h"
#include "run.h"
#include "sequence.h"
#include "worker_threads.h"

namespace {

constexpr const char* kCkPath = "ck.txt";

// A line of ck.txt as a message shows it: up to its line end, as it is; in double
// quotes with C escapes where it holds a byte that does not print or ends in a blank,
// so that what differs from the expected line can be seen.
std::string shownLine(const std::string& text) {
  const std::string line = text.substr(0, text.find('\n'));
  const bool hidden = std::any_of(line.begin(), line.end(), [](char c) { return uint8_t(c) < 0x20 || c == 0x7f; }) ||
                      line.ends_with(' ');
  if (!hidden) return line;
  std::string shown = "\"";
  for (const char c : line) {
    if (c == '\r') shown += "\\r";
    else if (c == '\t') shown += "\\t";
    else if (c == '"' || c == '\\') shown += std::string("\\") + c;
    else if (uint8_t(c) < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(uint8_t(c)));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown + "\"";
}


// Digits from `at` on, at least one and at most `longest`.
bool digitsAt(std::string_view text, size_t& at, size_t longest) {
  const size_t start = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  return at > start && at - start <= longest;
}

// Whether a line has the layout of a wide line, "k  P  [p, ...]\n", k up to 78
// digits and the primes up to 20.
bool wideLayout(std::string_view line) {
  size_t at = 0;
  if (!digitsAt(line, at, 78) || line.compare(at, 2, "  ") != 0) return false;
  at += 2;
  if (!digitsAt(line, at, 5) || line.compare(at, 3, "  [") != 0) return false;
  at += 3;
  while (digitsAt(line, at, 20)) {
    if (line.compare(at, 2, ", ") != 0) break;
    at += 2;
  }
  return line.substr(at) == "]\n";
}

// Cuts ck.txt to its first `length` bytes.
void cutTable(int64_t length) {
  bool missing = false;
  std::string cause;
  PlatformFile file = platformOpenExisting(kCkPath, missing, cause);
  if (file == kNoFile || !platformTruncate(file, length, cause)) error("%s cannot be written: %s", kCkPath, cause.c_str());
  platformCloseFile(file);
}

// Where a table in ck.txt stands: the lines written (after the heading) and the bytes
// that hold them.
struct TableStart {
  bool headed = false;
  size_t done = 0;
  int64_t length = 0;
};

// Checks ck.txt against the parameters and the lines they give: a file of other
// parameters, or with a line of another name or layout, is refused with nothing
// touched. A line cut off at its end (a killed run) is cut from the file, and a heading
// cut off leaves none.
TableStart readTable(const std::string& heading, const std::vector<CkItem>& items, bool wide) {
  std::string text, cause;
  const ReadOutcome outcome = platformReadSmallFile(kCkPath, size_t(1) << 31, text, cause);
  if (outcome == ReadOutcome::failed) error("%s cannot be read: %s", kCkPath, cause.c_str());
  TableStart start;
  if (outcome == ReadOutcome::missing || text.empty()) return start;
  size_t at = text.find('\n');
  if (at == std::string::npos && heading.compare(0, text.size(), text) == 0) {
    // A heading cut off before its line end (a disk that filled as it was written):
    // the table starts anew.
    cutTable(0);
    return start;
  }
  if (at == std::string::npos || text.compare(0, at + 1, heading) != 0)
    error("%s holds a table of other parameters: %s", kCkPath, shownLine(text).c_str());
  start.headed = true;
  for (at += 1; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // cut off by a kill: searched again
    const std::string line = text.substr(at, end + 1 - at);
    const std::string name = start.done < items.size() ? items[start.done].name() + "  " : std::string();
    bool whole = !name.empty() && line.compare(0, name.size(), name) == 0;
    if (whole && line.compare(name.size(), std::string::npos, "none\n") != 0) {
      try {
        pelund::parseLine(std::string_view(line).substr(name.size()));
      } catch (const pelund::Error&) {
        whole = wide && wideLayout(std::string_view(line).substr(name.size()));
      }
    }
    if (!whole)
      error("%s does not match its parameters at line %" PRIu64 ": %s", kCkPath, uint64_t(start.done + 2),
            shownLine(line).c_str());
    ++start.done;
    at = end + 1;
  }
  start.length = int64_t(at);
  if (size_t(start.length) < text.size()) cutTable(start.length);
  return start;
}

// The lines of the items from `first` on, found side by side on the threads and
// written in order as soon as all before them are. False when stopped.
class TableRun {
 public:
  TableRun(const CkWork& work, ResultsWriter& writer)
      : work_(work), options_(work.options), items_(work.items), first_(work.first), writer_(writer),
        lines_(items_.size() - first_), written_(first_) {}

  // The lines found by `finder` instead of this process's threads.
  bool run(CkFinder& finder) {
    finder.find(work_, [this](size_t i, const std::optional<std::string>& line, const std::string& unfactored) {
      finish(i, line, unfactored);
    });
    return written_ == items_.size();
  }

  // Every line from the first to be done on: side by side on the threads, each search
  // on one, as long as it takes at most kShortSearch; the longer ones then one after
  // the other on all threads, going on where they stood.
  bool run(int threads) {
    const size_t count = items_.size() - first_;
    std::vector<int64_t> from(count, options_.minK);
    std::vector<char> isLong(count, 0);
    std::vector<Budget> budgets(size_t(std::max(threads, 1)));
    std::atomic<bool> ended{false};
    // A watch that the system refuses (a limit on processes) leaves every search on its
    // thread to the end, as the only one there is.
    std::thread watch;
    try {
      watch = std::thread([&] { watchBudgets(budgets, ended); });
    } catch (const std::system_error&) {
    }
    std::atomic<size_t> taken{first_};
    try {
      runOnThreads(threads, [&](int t) {
        Budget& budget = budgets[size_t(t)];
        const pelund::StopToken quit = stopToken();
        const pelund::StopToken stop(budget.over, quit);
        for (size_t i = taken++; i < items_.size() && !quitting(); i = taken++) {
          budget.over = false;
          budget.deadline = nowNanoseconds() + kShortSearch;
          std::optional<std::string> line;
          const bool done = !options_.ordinary ||
                            firstLine(paramsOf(items_[i], 1), tableOf(items_[i]), stop, line, from[i - first_]);
          budget.deadline = INT64_MAX;
          if (done && (line || !options_.beyond)) finish(i, line);
          else if (quitting()) return;
          else isLong[i - first_] = done ? 2 : 1;
        }
      });
    } catch (...) {
      ended = true;
      if (watch.joinable()) watch.join();
      throw;
    }
    ended = true;
    if (watch.joinable()) watch.join();
    // The long searches; with --wide beyond the 64-bit caps, those that the ordinary
    // engines end without a line go on with the wide engine (isLong 2).
    for (size_t i = first_; i < items_.size() && !quitting(); ++i) {
      if (!isLong[i - first_]) continue;
      std::optional<std::string> line;
      std::string unfactored;
      if (!work_.lineOf(items_[i], threads, stopToken(), line, unfactored, from[i - first_], isLong[i - first_] == 2))
        break;
      finish(i, line, unfactored);
    }
    return written_ == items_.size();
  }
  size_t written() const { return written_; }
  // The items whose lines are exact only for the primes found (see finish).
  const std::vector<size_t>& partial() const { return partial_; }

 private:
  // A search of one thread that runs over its time ends, and is taken up again later.
  struct Budget {
    std::atomic<int64_t> deadline{INT64_MAX};  // steady clock, nanoseconds
    std::atomic<bool> over{false};
  };
  static constexpr int64_t kShortSearch = 200000000;  // 0.2 s

  static int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  static void watchBudgets(std::vector<Budget>& budgets, const std::atomic<bool>& ended) {
    while (!ended) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const int64_t now = nowNanoseconds();
      for (Budget& budget : budgets)
        if (now > budget.deadline) budget.over = true;
    }
  }

  pelund::SearchParams paramsOf(const CkItem& item, int threads) const { return work_.paramsOf(item, threads); }
  const pelund::CandidateTable& tableOf(const CkItem& item) const { return work_.tableOf(item); }

  // The item's line is known: it is written with those before it that are known. When
  // some Phi_d(b) of its wide search were not factored completely, pelund.log lists
  // them under its name once the line is written, in the table's order.
  void finish(size_t i, const std::optional<std::string>& found, const std::string& unfactored = {}) {
    std::lock_guard lock(mutex_);
    lines_[i - first_] = items_[i].name() + "  " + (found ? *found : std::string("none\n"));
    if (!unfactored.empty())
      notes_[i] = unfactored.back() == '\n' ? unfactored.substr(0, unfactored.size() - 1) : unfactored;
    pelund::Part part;
    part.clear(int64_t(written_), int64_t(written_));
    while (written_ < items_.size() && lines_[written_ - first_]) {
      part.add(int64_t(written_), *lines_[written_ - first_]);
      lines_[written_ - first_].reset();
      ++written_;
    }
    // A line done while an earlier one is still searched is shown in the progress too,
    // so that a slow first line does not leave the terminal without it.
    if (part.ks.empty()) return ckprogress::update(written_, items_[written_].name());
    ckprogress::erase();
    part.to = int64_t(written_ - 1);
    writer_.partDone(part);
    for (auto note = notes_.begin(); note != notes_.end() && note->first < written_; note = notes_.erase(note)) {
      partial_.push_back(note->first);
      logWithDateTime("%s: the line is exact for the candidate primes found; not factored completely:\n%s",
                      items_[note->first].name().c_str(), note->second.c_str());
    }
    if (written_ < items_.size()) ckprogress::update(written_, items_[written_].name());
  }

  const CkWork& work_;
  const CkOptions& options_;
  const std::vector<CkItem>& items_;
  const size_t first_;
  ResultsWriter& writer_;
  std::mutex mutex_;
  std::vector<std::optional<std::string>> lines_;
  size_t written_;
  std::map<size_t, std::string> notes_;  // the unfactored Phi_d(b) of items found and not yet written
  std::vector<size_t> partial_;          // the items written with such a note, ascending
};

}  // namespace

const pelund::CandidateTable& CkWork::tableOf(const CkItem& item) const {
  // tables holds those of options.bases from firstTable on.
  const auto at = std::lower_bound(options.bases.begin(), options.bases.end(), item.base);
  return tables[size_t(at - options.bases.begin()) - firstTable];
}

pelund::SearchParams CkWork::paramsOf(const CkItem& item, int threadCount) const {
  return pelund::makeParams(item.base, item.c, options.minK, options.maxK, options.period, options.maxFact,
                            threadCount, pelund::Engine::automatic, options.algebraic);
}

bool CkWork::lineOf(const CkItem& item, int threadCount, const pelund::StopToken& stop,
                    std::optional<std::string>& line, std::string& unfactored, int64_t& from,
                    bool ordinaryDone) const {
  if (options.ordinary && !ordinaryDone && !firstLine(paramsOf(item, threadCount), tableOf(item), stop, line, from))
    return false;
  if (line || !options.beyond) return true;
  std::string wideFrom = options.wideFrom;
  return wideFirstLine(item.base, item.c, uint32_t(options.period), std::stoull(options.maxFactText), options.maxKText,
                       threadCount, double(options.factorEffort), stop, line, wideFrom, unfactored);
}

void ckStopRequested(int signal) {
  ckprogress::eraseFromSignal();
  setQuitting(signal);
}

int runCkTable(const CkOptions& options, CkFinder* finder) {
  platformGuardStandardStreams();
  platformIgnoreFileSizeSignal();
  // Standard output whose reader has gone stops the table as it stops pelund: silently,
  // with the log's line and the table resumable from there.
  claimRunDirectory(StopHandlers{ckStopRequested, interruptHandlers().outputClosed});
  const std::vector<CkItem> items = ckItems(options);
  const std::string heading = ckHeading(options);
  const TableStart start = readTable(heading, items, options.wide);
  if (finder != nullptr) finder->starting(start.done);

  const char* forms = options.sierpinski && options.riesel ? "S and R" : options.sierpinski ? "S" : "R";
  std::vector<std::string> banner{
      options.wide ? statusMessage("CK table of %s for bases %s with factor<=%s and period=%" PRId64 ", k=%s to %s",
                                   forms, basesText(options.bases).c_str(), options.maxFactText.c_str(),
                                   options.period, options.minKText.c_str(), options.maxKText.c_str())
                   : statusMessage("CK table of %s for bases %s with factor<=%" PRId64 " and period=%" PRId64
                                   ", k=%" PRId64 " to %" PRId64,
                                   forms, basesText(options.bases).c_str(), options.maxFact, options.period,
                                   options.minK, options.maxK)};
  if (start.done > 0)
    banner.push_back(statusMessage("Resuming the CK table at %s with %" PRIu64 " of %" PRIu64 " lines written",
                                   start.done < items.size() ? items[start.done].name().c_str() : "its end",
                                   uint64_t(start.done), uint64_t(items.size())));
  showBanner(banner);

  SearchState state;
  state.nextK = int64_t(start.done);
  state.length = start.length;
  ResultsWriter writer(0, kCkPath, state);
  if (!start.headed) {
    pelund::Part part;
    part.clear(-1, -1);
    part.add(-1, heading);
    writer.partDone(part);
  }
  bool complete = true;
  size_t written = start.done;
  std::vector<size_t> partial;
  if (start.done < items.size()) {
    // The tables of the bases still to do, built together.
    const auto firstBase = std::lower_bound(options.bases.begin(), options.bases.end(), items[start.done].base);
    const std::vector<int32_t> bases(firstBase, options.bases.end());
    // A search wide from its start has no ordinary part, and no tables.
    const std::optional<std::vector<pelund::CandidateTable>> tables =
        options.ordinary ? jointCandidateTables(bases, int32_t(options.period), int32_t(options.maxFact), stopToken())
                         : std::optional<std::vector<pelund::CandidateTable>>(std::in_place);
    if (tables) {
      ckprogress::start(start.done, items.size());
      const unsigned hardware = std::thread::hardware_concurrency();
      const int threads = options.threads > 0 ? int(options.threads) : int(hardware > 0 ? hardware : 1);
      const CkWork work{options, items, start.done, *tables, size_t(firstBase - options.bases.begin()), threads};
      TableRun run(work, writer);
      complete = finder != nullptr ? run.run(*finder) : run.run(threads);
      written = run.written();
      partial = run.partial();
    } else {
      complete = false;
    }
  }
  writer.saveState();
  ckprogress::erase();
  if (!complete) {
    consoleWrite("Ending the CK table at %s.\n", items[written].name().c_str());
    logWithDateTime("CK table interrupted by signal %d at %s", int(gi_stopSignal), items[written].name().c_str());
    return interruptedStatus();
  }
  ignoreLateStops();
  reportWithDateTime("CK table complete: %" PRIu64 " line%s in %s", uint64_t(items.size()),
                     items.size() == 1 ? "" : "s", kCkPath);
  if (!partial.empty()) {
    // The first few by name, in table order.
    constexpr size_t kNamed = 8;
    std::string names;
    for (size_t i = 0; i < std::min(partial.size(), kNamed); ++i)
      names += (i > 0 ? ", " : "") + items[partial[i]].name();
    if (partial.size() > kNamed) names += " and " + std::to_string(partial.size() - kNamed) + " more";
    reportWithDateTime("The lines of %s are exact for the candidate primes listed in pelund.log: some Phi_d(b) are "
                       "not factored completely",
                       names.c_str());
  }
  return 0;
}
