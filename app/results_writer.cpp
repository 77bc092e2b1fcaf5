// The writer of covering.txt, the progress lines and the state (see results_writer.h).
#include "results_writer.h"

#include <cinttypes>
#include <cstdio>

#include "console.h"
#include "reports.h"
#include "run.h"
#include "status_line.h"

namespace {

constexpr auto kStateInterval = std::chrono::seconds(1);
// A state that holds many covered k of a tree part in progress takes a while to write:
// it is saved no more often than every kSaveShare times what the last save took.
constexpr double kSaveShare = 20;

}  // namespace

ResultsWriter::ResultsWriter(int64_t kDisp, std::string coveringPath, const SearchState& start, const char* statePath)
    : kDisp_(kDisp),
      coveringPath_(std::move(coveringPath)),
      statePath_(statePath),
      state_(start),
      lastSave_(std::chrono::steady_clock::now()) {}

ResultsWriter::~ResultsWriter() { platformCloseFile(file_); }

// Writes the lines of `part` from index `line` whose k is below `below`, whole even
// when the process is killed meanwhile (see platformAppendLines).
void ResultsWriter::writeLines(const PartResult& part, size_t& line, int64_t below) {
  size_t last = line;
  while (last < part.ks.size() && part.ks[last] < below) ++last;
  if (last == line) return;
  std::string cause;
  if (file_ == kNoFile) {
    file_ = platformOpenAppend(coveringPath_.c_str(), true, cause);
    if (file_ == kNoFile) error("%s cannot be opened for writing: %s", coveringPath_.c_str(), cause.c_str());
  }
  const size_t begin = line == 0 ? 0 : part.ends[line - 1];
  const size_t size = part.ends[last - 1] - begin;
  if (!platformAppendLines(file_, part.text.data() + begin, size, cause))
    error("%s cannot be written: %s", coveringPath_.c_str(), cause.c_str());
  state_.length += int64_t(size);
  state_.found += uint64_t(last - line);
  line = last;
}

// A stop ends the part at the next multiple of kDisp to be shown: a tree part may hold
// millions of them. The lines below it are written and the search stands there.
void ResultsWriter::partDone(const PartResult& part) {
  if (stopped_) return;
  state_.part = pelund::TreeProgress{};
  size_t line = 0;
  if (kDisp_ > 0) {
    const int64_t first = (part.from + kDisp_ - 1) / kDisp_ * kDisp_;
    for (int64_t m = first; m <= part.to; m += kDisp_) {
      writeLines(part, line, m);
      if (quitting()) {
        state_.nextK = m;
        stopped_ = true;
        return;
      }
      flushLines();  // a count shown is of lines in the file
      showSearchProgress(m, state_.found);
      if (part.to - m < kDisp_) break;  // no overflow next to INT64_MAX
    }
  }
  writeLines(part, line, INT64_MAX);
  state_.nextK = part.to + 1;
  statusline::update(state_.nextK, state_.found);
  if (saveDue()) saveState();
}

void ResultsWriter::treeProgress(const pelund::TreeProgress& progress) {
  if (statePath_ == nullptr || stopped_ || progress.from != state_.nextK || progress.covered.size() > kMostPartKs) return;
  state_.part = progress;
  if (saveDue()) saveState();
}

bool ResultsWriter::saveDue() const {
  if (statePath_ == nullptr) return false;
  const auto since = std::chrono::steady_clock::now() - lastSave_;
  return since >= kStateInterval && std::chrono::duration<double>(since).count() >= kSaveShare * saveSeconds_;
}

// The lines first reach the file and the device, then the state that names them
// replaces the old.
void ResultsWriter::flushLines() {
  std::string cause;
  if (file_ != kNoFile && !platformFlushLines(file_, cause))
    error("%s cannot be written: %s", coveringPath_.c_str(), cause.c_str());
}

void ResultsWriter::saveState() {
  flushLines();
  if (statePath_ == nullptr) return;
  std::string cause;
  if (file_ != kNoFile && !platformSyncFile(file_, cause))
    error("%s cannot be written: %s", coveringPath_.c_str(), cause.c_str());
  const auto begin = std::chrono::steady_clock::now();
  if (!writeSearchState(statePath_, state_, cause)) error("%s cannot be written: %s", statePath_, cause.c_str());
  lastSave_ = std::chrono::steady_clock::now();
  saveSeconds_ = std::chrono::duration<double>(lastSave_ - begin).count();
}
