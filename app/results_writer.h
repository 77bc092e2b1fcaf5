// The one writer of a search's results: covering.txt, the "Searching at k" progress
// lines and, for a resumable search, pelund.state. The library's engines (the block
// sieve on its threads, the residue tree, the ranks of a distributed run) never write:
// they hand finished parts of the range to this sink, in ascending k.
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

#include <pelund/pelund.hpp>

#include "platform.h"
#include "search_state.h"

using PartResult = pelund::Part;

class ResultsWriter : public pelund::Sink {
 public:
  // `start` is where the search stands (a fresh search: minK, 0 sets, 0 bytes). With
  // a `statePath` the state is saved about once a second and at finish().
  ResultsWriter(int64_t kDisp, std::string coveringPath, const SearchState& start, const char* statePath = nullptr);
  ~ResultsWriter() override;
  ResultsWriter(const ResultsWriter&) = delete;
  ResultsWriter& operator=(const ResultsWriter&) = delete;

  // Writes the part's lines and the progress lines of the multiples of kDisp in it;
  // a stop seen between two progress lines ends the part there (and ignores the parts
  // after it). A file that cannot be written ends the run with an error.
  void partDone(const PartResult& part) override;
  // A tree part in progress at the next k: the state names it from now on, and is saved
  // as it is about once a second.
  void treeProgress(const pelund::TreeProgress& progress) override;
  // Waits until every line handed over is in the file, and saves the state of a
  // resumable search at the point reached.
  void saveState();

  int64_t nextK() const { return state_.nextK; }
  uint64_t found() const { return state_.found; }
  bool stopped() const { return stopped_; }

 private:
  void writeLines(const PartResult& part, size_t& line, int64_t below);
  void flushLines();  // waits until every line handed over is in the file
  bool saveDue() const;

  const int64_t kDisp_;
  const std::string coveringPath_;
  const char* statePath_;
  SearchState state_;
  PlatformFile file_ = kNoFile;
  std::chrono::steady_clock::time_point lastSave_;
  double saveSeconds_ = 0;  // what the last save took
  bool stopped_ = false;  // a stop ended a part early; later parts are not written
};
