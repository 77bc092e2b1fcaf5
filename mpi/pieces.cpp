// The piece plan, the piece collector and the message encoding (see pieces.h).
#include "pieces.h"

#include "platform.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>
#include <utility>

PiecePlan::PiecePlan(int64_t from, int64_t to, int workers)
    : to_(to),
      workers_(std::max(1, workers)),
      floor_(std::max(kFirstPiece, (to - from) / kMaxPieces + 1)),
      nextK_(from),
      done_(from > to) {}

bool PiecePlan::next(Piece& piece) {
  if (done_) return false;
  const int64_t left = to_ - nextK_;  // k left after the first one
  const int64_t grown = size_ == 0 ? kFirstPiece : size_ + size_ / 4;
  const int64_t shared = left / (2 * int64_t(workers_)) + 1;
  size_ = std::min({grown, std::max(floor_, shared), densityCap_});
  piece.index = made_++;
  piece.from = nextK_;
  if (size_ > left) {
    piece.to = to_;
    done_ = true;
  } else {
    piece.to = nextK_ + size_ - 1;
    nextK_ = piece.to + 1;
  }
  return true;
}

void PiecePlan::observe(int64_t width, size_t lines) {
  if (lines == 0) return;
  const double cap = double(width) * double(kMostLines) / double(lines);
  densityCap_ = cap >= double(INT64_MAX) ? INT64_MAX : std::max<int64_t>(kFirstPiece, int64_t(cap));
}

void PieceCollector::partDone(const PartResult& part) {
  if (whole_.from > whole_.to) {
    whole_ = part;
    return;
  }
  whole_.append(part);
}

PartResult PieceCollector::take() {
  PartResult piece = std::move(whole_);
  whole_ = PartResult{1, 0, {}, {}, {}};
  return piece;
}

PartResult mergeBatches(int64_t from, int64_t to, const std::vector<PartResult>& batches) {
  PartResult part;
  part.clear(from, to);
  size_t bytes = 0, count = 0;
  for (const PartResult& batch : batches) bytes += batch.text.size(), count += batch.ks.size();
  // Every line's k and place, in ascending k (then batch). The k of the batches
  // interleave evenly over the part, so the lines go first into buckets of a few lines
  // each by their k's leading bits, and each bucket is sorted on its own: two passes
  // over the lines, where a merge by a heap of the many batches takes a dozen steps a
  // line. A part whose k crowd into few buckets is still sorted, only slower.
  struct Place {
    int64_t k;
    uint32_t batch, line;
  };
  const uint64_t span = uint64_t(to) - uint64_t(from);  // below 2^63
  int shift = 0;
  while ((span >> shift) >= std::max<uint64_t>(count / 4, 1)) ++shift;
  const size_t buckets = size_t(span >> shift) + 1;
  std::vector<uint32_t> starts(buckets + 1, 0);
  // (A k outside the part, which no search reports, goes last and stays inside.)
  const auto bucketOf = [&](int64_t k) {
    return std::min(size_t((uint64_t(k) - uint64_t(from)) >> shift), buckets - 1);
  };
  for (const PartResult& batch : batches)
    for (const int64_t k : batch.ks) ++starts[bucketOf(k) + 1];
  for (size_t b = 0; b < buckets; ++b) starts[b + 1] += starts[b];
  std::vector<Place> places(count);
  std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
  for (size_t b = 0; b < batches.size(); ++b)
    for (size_t i = 0; i < batches[b].ks.size(); ++i) {
      const int64_t k = batches[b].ks[i];
      places[next[bucketOf(k)]++] = Place{k, uint32_t(b), uint32_t(i)};
    }
  const auto before = [](const Place& x, const Place& y) { return x.k != y.k ? x.k < y.k : x.batch < y.batch; };
  for (size_t b = 0; b < buckets; ++b) std::sort(places.begin() + starts[b], places.begin() + starts[b + 1], before);
  part.text.reserve(bytes);
  part.ks.reserve(count);
  part.ends.reserve(count);
  for (const Place& place : places)
    if (part.ks.empty() || part.ks.back() != place.k) part.add(place.k, batches[place.batch].line(place.line));
  return part;
}

void encodeStart(bool fault, const pelund::SearchParams& p, int64_t words[kStartWords]) {
  const int64_t values[kStartWords] = {fault ? 1 : 0, p.base,  p.c,       p.period, p.maxFact,
                                       p.minK,        p.maxK, p.threads, static_cast<int64_t>(p.engine),
                                       p.algebraic ? 1 : 0};
  std::copy(values, values + kStartWords, words);
}

bool decodeStart(const int64_t words[kStartWords], pelund::SearchParams& p) {
  if (words[0] != 0) return false;
  p.base = int32_t(words[1]);
  p.c = int32_t(words[2]);
  p.period = int32_t(words[3]);
  p.maxFact = int32_t(words[4]);
  p.minK = words[5];
  p.maxK = words[6];
  p.threads = int32_t(words[7]);
  p.engine = static_cast<pelund::Engine>(words[8]);
  p.algebraic = words[9] != 0;
  return true;
}

void encodeOrder(const Order& o, int64_t words[kOrderWords]) {
  const int64_t values[kOrderWords] = {static_cast<int64_t>(o.kind), o.word, o.from, o.to, o.first, o.count, o.wanted};
  std::copy(values, values + kOrderWords, words);
}

Order decodeOrder(const int64_t words[kOrderWords]) {
  return Order{static_cast<OrderKind>(words[0]), words[1], words[2], words[3], words[4], words[5], words[6]};
}

namespace {

// A report: kind, index, signal, from, to, line count, text length, the sender's
// machine, pid and start time; then the k of each line and the text.
constexpr size_t kHeadWords = 10;

// FNV-1a: the same text gives the same hash on every process.
uint64_t hashOf(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3u;
  return hash;
}

uint64_t machineHash() {
  const std::string name = platformMachineName();
  return name.empty() ? 0 : hashOf(name) | 1;  // never 0
}

}  // namespace

ProcessIdentity ownIdentity() { return identityOf(platformProcessId()); }

ProcessIdentity identityOf(int64_t pid) {
  ProcessIdentity identity;
  char state = 0;
  bool gone = false;
  if (!platformProcessStat(pid, state, identity.started, gone)) return identity;
  identity.machine = machineHash();
  identity.pid = pid;
  return identity;
}

Liveness livenessOf(const ProcessIdentity& process) {
  static const uint64_t here = machineHash();
  if (process.machine == 0 || process.machine != here || process.pid <= 0) return Liveness::unknown;
  char state = 0;
  uint64_t started = 0;
  bool gone = false;
  if (!platformProcessStat(process.pid, state, started, gone)) return gone ? Liveness::ended : Liveness::unknown;
  if (state == 'Z' || state == 'X' || started != process.started) return Liveness::ended;
  return Liveness::alive;
}

std::string encodeReport(const Report& r) {
  const int64_t head[kHeadWords] = {static_cast<int64_t>(r.kind),    int64_t(r.index),
                                    r.signal,
                                    r.part.from,
                                    r.part.to,
                                    int64_t(r.part.ks.size()),
                                    int64_t(r.part.text.size()),
                                    int64_t(r.sender.machine),
                                    r.sender.pid,
                                    int64_t(r.sender.started)};
  std::string bytes(sizeof head + r.part.ks.size() * sizeof(int64_t), '\0');
  std::memcpy(bytes.data(), head, sizeof head);
  if (!r.part.ks.empty()) std::memcpy(bytes.data() + sizeof head, r.part.ks.data(), r.part.ks.size() * sizeof(int64_t));
  bytes += r.part.text;
  return bytes;
}

bool decodeReport(const char* data, size_t size, Report& r) { return decodeReport(std::string(data, size), r); }

bool decodeReport(std::string&& bytes, Report& r) {
  const char* const data = bytes.data();
  const size_t size = bytes.size();
  int64_t head[kHeadWords];
  if (size < sizeof head) return false;
  std::memcpy(head, data, sizeof head);
  const int64_t lines = head[5], length = head[6];
  if (head[0] < 1 || head[0] > 4 || lines < 0 || length < 0 || length > int64_t(UINT32_MAX) ||
      uint64_t(lines) > (size - sizeof head) / sizeof(int64_t) ||
      sizeof head + uint64_t(lines) * sizeof(int64_t) + uint64_t(length) != size)
    return false;
  r.kind = static_cast<ReportKind>(head[0]);
  r.index = uint64_t(head[1]);
  r.signal = head[2];
  r.sender = ProcessIdentity{uint64_t(head[7]), head[8], uint64_t(head[9])};
  r.part.clear(head[3], head[4]);
  r.part.ks.resize(size_t(lines));
  if (lines > 0) std::memcpy(r.part.ks.data(), data + sizeof head, size_t(lines) * sizeof(int64_t));
  // The text is the report's end: it keeps the report's bytes, without a second copy.
  bytes.erase(0, sizeof head + size_t(lines) * sizeof(int64_t));
  r.part.text = std::move(bytes);
  // Every line ends in a newline; the ends follow from the text.
  r.part.ends.reserve(size_t(lines));
  const char* const text = r.part.text.data();
  const char* const end = text + r.part.text.size();
  for (const char* at = text; (at = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)))) != nullptr;)
    r.part.ends.push_back(uint32_t(++at - text));
  return r.part.ends.size() == r.part.ks.size() && (r.part.text.empty() || r.part.text.back() == '\n');
}
