// The pieces of a distributed search and the words the ranks exchange about them,
// kept free of MPI so that they can be tested (and reused) without it.
//
// A range is cut into pieces that start at kFirstPiece k (one block of the sieve) and
// grow by a quarter each (the residue engine's cost follows the covered k, not the
// width, so a sparse search over 10^18 needs wide pieces; about 135 such pieces reach
// 10^18), but beyond the
// start of the range never grow past half of what is left per worker, so that the
// tail is shared out evenly, unless that would be less than 1/kMaxPieces of the
// range. So no range makes more than about kMaxPieces + 135 pieces, for any number
// of ranks, and the first pieces, whose lines show up first, are small. Dense
// searches are the exception: there the pieces stay small enough to hold about
// kMostLines lines each (a few MB), since every rank holds a whole piece's lines
// and rank 0 a few pieces per rank.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pelund/pelund.hpp>

using PartResult = pelund::Part;

struct Piece {
  uint64_t index = 0;
  int64_t from = 0;
  int64_t to = 0;
};

class PiecePlan {
 public:
  static constexpr int64_t kFirstPiece = int64_t(1) << 18;
  static constexpr int64_t kMaxPieces = 2048;
  static constexpr size_t kMostLines = size_t(1) << 16;

  // Plans k = from..to (from <= to) for `workers` computing ranks.
  PiecePlan(int64_t from, int64_t to, int workers);

  // The next piece; false when the range is used up.
  bool next(Piece& piece);
  // A finished piece of `width` k held `lines` lines: later pieces are kept to about
  // kMostLines lines each, which bounds the memory for results in flight.
  void observe(int64_t width, size_t lines);
  uint64_t made() const { return made_; }
  bool exhausted() const { return done_; }

 private:
  int64_t to_;
  int workers_;
  int64_t floor_;
  int64_t nextK_;
  int64_t size_ = 0;
  int64_t densityCap_ = INT64_MAX;  // widest piece for the density of lines seen last
  uint64_t made_ = 0;
  bool done_ = false;
};

// Collects the parts that one engine hands over into one result for a whole piece.
class PieceCollector : public pelund::Sink {
 public:
  void partDone(const PartResult& part) override;
  // The collected piece; empty (from > to) when nothing was handed over.
  PartResult take();

 private:
  PartResult whole_{1, 0, {}, {}, {}};
};

// The lines of a part of the residue tree from the batches of its subtrees, each batch
// in ascending k: in ascending k, each k once (a k may lie in two subtrees). The
// batches are merged, so every batch is read in order.
PartResult mergeBatches(int64_t from, int64_t to, const std::vector<PartResult>& batches);

// ---- words between the ranks -------------------------------------------------------
// Every rank runs the same binary, so numbers travel in the host's byte order.

// The validated search rank 0 sends to the others: a fault flag first (1: the run
// ends with status 1 on every rank), then the parameters.
inline constexpr int kStartWords = 10;
// The first start word of a search that rank 0 runs alone (a wide search): the other
// ranks end at once, with status 0.
inline constexpr int64_t kStartAlone = 2;
void encodeStart(bool fault, const pelund::SearchParams& params, int64_t words[kStartWords]);
bool decodeStart(const int64_t words[kStartWords], pelund::SearchParams& params);  // false: fault

// What a worker tells rank 0: it is ready for work, hands back the lines of a finished
// job (a piece of the sieve, or a batch of subtrees of the residue tree), or stopped
// (on a signal, which it names).
// `hello` names a rank's process as soon as it starts, before its table is built, so
// that rank 0 can look at a rank that dies early.
enum class ReportKind : int64_t { ready = 1, finished = 2, stopped = 3, hello = 4 };

// Which process a rank is, so that rank 0 can tell a rank that has ended from one
// that is slow to answer by looking, not by waiting, when they share a machine (and a
// view of its process ids). `machine` is 0 when it could not be read.
struct ProcessIdentity {
  uint64_t machine = 0;  // a hash of the boot and the namespace of process ids
  int64_t pid = 0;
  uint64_t started = 0;  // the process's start time, in clock ticks since the boot
  bool operator==(const ProcessIdentity&) const = default;
};
// This process's identity, and that of process `pid` of this machine as seen from here.
ProcessIdentity ownIdentity();
ProcessIdentity identityOf(int64_t pid);
// Whether the process is alive, has ended (gone, a zombie, or its id now another
// process's), or cannot be told (another machine, or nothing to read).
enum class Liveness { alive, ended, unknown };
Liveness livenessOf(const ProcessIdentity& process);

struct Report {
  ReportKind kind = ReportKind::ready;
  uint64_t index = 0;   // the job, for `finished`
  int64_t signal = 0;   // the stop signal, for `stopped`
  PartResult part;      // for `finished`
  ProcessIdentity sender;  // the rank's process
};

std::string encodeReport(const Report& report);
// False when the bytes are not a whole, consistent report. The second form takes the
// text over from `bytes`.
bool decodeReport(const char* data, size_t size, Report& report);
bool decodeReport(std::string&& bytes, Report& report);

// What rank 0 tells a worker: a piece to search with the sieve, a batch of subtrees of
// the residue tree of [from, to] (tasks first .. first + count - 1 of the list of at
// least `wanted` that every rank makes alike), or the end with its exit status.
enum class OrderKind : int64_t { piece = 1, done = 2, tree = 3 };
struct Order {
  OrderKind kind = OrderKind::piece;
  int64_t word = 0;  // the piece or batch index, or the exit status
  int64_t from = 0, to = 0;
  int64_t first = 0, count = 0, wanted = 0;
};
inline constexpr int kOrderWords = 7;
void encodeOrder(const Order& order, int64_t words[kOrderWords]);
Order decodeOrder(const int64_t words[kOrderWords]);
