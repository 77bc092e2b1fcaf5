// The one writer of a search's results: covering.txt, the "Searching at k" progress
// lines and, for a resumable search, pelund.state. Engines (the block sieve on its
// threads, the residue tree, the ranks of a distributed run) never write: they hand
// finished parts of the range to a PartSink, in ascending k.
//
// covering.txt holds whole lines only: lines go out in raw writes that end at line
// ends, never through a buffer that may flush mid-line; a write that fails or falls
// short is cut back to the end of the last whole line before the run ends with an
// error naming the file and the cause; only lines on disk are counted.
// The state names only lines that were flushed to the device before it was replaced.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cover_set.h"
#include "platform.h"
#include "search_state.h"
#include "table.h"

// A finished part of the range: every k of [from, to] searched; the lines of the
// covered ones, formatted, in ascending k.
struct PartResult {
  int64_t from = 0;
  int64_t to = 0;
  std::string text;            // "k  P  [p, ...]\n" per line
  std::vector<int64_t> ks;     // k of each line
  std::vector<uint32_t> ends;  // end of each line in text

  void add(const CoverLine& line);
  void clear(int64_t first, int64_t last);
  // Appends the lines of `next`, the part that follows this one, and takes its end.
  void append(const PartResult& next);
  // Heap bytes held, for the bound on pending results.
  size_t bytes() const { return text.capacity() + ks.capacity() * sizeof(int64_t) + ends.capacity() * sizeof(uint32_t); }
};

// Where finished parts go, one after another in ascending k, with no gap.
class PartSink {
 public:
  virtual ~PartSink() = default;
  virtual void partDone(const PartResult& part) = 0;
};

class ResultsWriter : public PartSink {
 public:
  // `start` is where the search stands (a fresh search: minK, 0 sets, 0 bytes). With
  // a `statePath` the state is saved about once a second and at finish().
  ResultsWriter(const SearchParams& params, std::string coveringPath, const SearchState& start,
                const char* statePath = nullptr);
  ~ResultsWriter() override;
  ResultsWriter(const ResultsWriter&) = delete;
  ResultsWriter& operator=(const ResultsWriter&) = delete;

  // Writes the part's lines and the progress lines of the multiples of kDisp in it;
  // a stop seen between two progress lines ends the part there (and ignores the parts
  // after it). A file that cannot be written ends the run with an error.
  void partDone(const PartResult& part) override;
  // Waits until every line handed over is in the file, and saves the state of a
  // resumable search at the point reached.
  void saveState();

  int64_t nextK() const { return state_.nextK; }
  uint64_t found() const { return state_.found; }
  bool stopped() const { return stopped_; }

 private:
  void writeLines(const PartResult& part, size_t& line, int64_t below);
  void flushLines();  // waits until every line handed over is in the file

  const SearchParams params_;
  const std::string coveringPath_;
  const char* statePath_;
  SearchState state_;
  PlatformFile file_ = kNoFile;
  std::chrono::steady_clock::time_point lastSave_;
  bool stopped_ = false;  // a stop ended a part early; later parts are not written
};
