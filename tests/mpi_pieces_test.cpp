// The pieces of a distributed search: the plan cuts any range into contiguous pieces
// that start small and stay few; the collector joins an engine's parts into one
// piece; the batches of a tree part merge into its lines; the messages between the
// ranks carry parameters and pieces unchanged and refuse damaged bytes; a rank's
// process is told alive or ended by looking at it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "pieces.h"

namespace {

constexpr int64_t kTop = 1000000000000000000;

PartResult linesOf(int64_t from, int64_t to, const std::vector<int64_t>& ks) {
  PartResult part;
  part.clear(from, to);
  for (int64_t k : ks) {
    part.text += std::to_string(k) + "  6  [7, 11, 13, 37]\n";
    part.ks.push_back(k);
    part.ends.push_back(uint32_t(part.text.size()));
  }
  return part;
}

void expectSame(const PartResult& a, const PartResult& b) {
  EXPECT_EQ(std::tie(a.from, a.to, a.text, a.ks, a.ends), std::tie(b.from, b.to, b.text, b.ks, b.ends));
}

TEST(PiecePlan, CoversEveryRangeContiguouslyInFewPieces) {
  std::mt19937_64 random(7);
  const int64_t widths[] = {0, 1, PiecePlan::kFirstPiece - 1, PiecePlan::kFirstPiece, 3 * PiecePlan::kFirstPiece + 5,
                            int64_t(1) << 40, kTop / 3, kTop - 1};
  for (int64_t width : widths) {
    for (int workers : {1, 2, 3, 64, 1000}) {
      const int64_t from = 1 + int64_t(random() % uint64_t(kTop - width));
      SCOPED_TRACE("from " + std::to_string(from) + " width " + std::to_string(width) + " workers " +
                   std::to_string(workers));
      PiecePlan plan(from, from + width, workers);
      Piece piece;
      int64_t next = from;
      uint64_t count = 0;
      while (plan.next(piece)) {
        ASSERT_EQ(piece.index, count++);
        ASSERT_EQ(piece.from, next);
        ASSERT_LE(piece.from, piece.to);
        if (count == 1) {
          EXPECT_LE(piece.to - piece.from + 1, PiecePlan::kFirstPiece);
        }
        next = piece.to + 1;
      }
      EXPECT_EQ(next, from + width + 1);
      EXPECT_EQ(plan.made(), count);
      EXPECT_TRUE(plan.exhausted());
      EXPECT_LE(count, uint64_t(PiecePlan::kMaxPieces) + 120);
      // Enough pieces for every worker where the range allows it.
      if (width / PiecePlan::kFirstPiece >= 4 * workers && workers <= 64) {
        EXPECT_GE(count, uint64_t(2 * workers));
      }
    }
  }
}

// Dense pieces stay near kMostLines lines: a density seen in one piece caps the next.
TEST(PiecePlan, DensityOfLinesCapsTheWidth) {
  for (double density : {1e-9, 1e-4, 0.1}) {
    SCOPED_TRACE(density);
    PiecePlan plan(1, kTop, 2);
    Piece piece;
    for (int i = 0; i < 200 && plan.next(piece); ++i) {
      const int64_t width = piece.to - piece.from + 1;
      const double lines = double(width) * density;
      if (i > 0) {
        EXPECT_LE(lines, 1.01 * double(PiecePlan::kMostLines) + 1) << "piece " << i;
      }
      plan.observe(width, size_t(lines));
    }
  }
}

TEST(PieceCollector, JoinsPartsIntoOnePiece) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 50; ++round) {
    std::vector<int64_t> ks;
    for (int64_t k = 1000; k < 2000; ++k) {
      if (random() % 7 == 0) ks.push_back(k);
    }
    PieceCollector collector;
    int64_t from = 1000;
    while (from < 2000) {
      const int64_t to = std::min<int64_t>(1999, from + int64_t(random() % 300));
      std::vector<int64_t> inside;
      for (int64_t k : ks) {
        if (k >= from && k <= to) inside.push_back(k);
      }
      collector.partDone(linesOf(from, to, inside));
      from = to + 1;
    }
    expectSame(collector.take(), linesOf(1000, 1999, ks));
    EXPECT_GT(collector.take().from, collector.take().to);  // taken: empty again
  }
}

// The subtrees of a tree part come back as batches in ascending k, some empty, some
// sharing a k: merged, they are the part's lines in ascending k with each k once, as
// sorting all of them and dropping repeats gives. The k spread over a narrow part, over
// one as wide as the range, or crowd into a few k of a wide part.
TEST(MergeBatches, AscendingLinesEachOnceLikeSortingThemAll) {
  std::mt19937_64 random(720);
  for (int round = 0; round < 300; ++round) {
    const int shape = round % 3;
    const int64_t from =
        int64_t(random() % 1000) + (shape == 1 || round % 2 == 0 ? 1 : kTop - 100000);
    const int64_t width = shape == 1 ? kTop - from + 1 : 1 + int64_t(random() % 50000);
    const int64_t crowd = from + int64_t(random() % uint64_t(width));
    const int64_t crowdWidth = std::min<int64_t>(width - (crowd - from), 20);
    std::vector<PartResult> batches(random() % 40);
    std::vector<int64_t> all;
    for (PartResult& batch : batches) {
      std::vector<int64_t> ks(random() % 300);
      for (int64_t& k : ks)
        k = shape == 2 ? crowd + int64_t(random() % uint64_t(crowdWidth)) : from + int64_t(random() % uint64_t(width));
      if (!all.empty() && !ks.empty() && random() % 2 == 0) ks[0] = all[random() % all.size()];  // a shared k
      std::sort(ks.begin(), ks.end());
      ks.erase(std::unique(ks.begin(), ks.end()), ks.end());
      batch = linesOf(from, from + width - 1, ks);
      all.insert(all.end(), ks.begin(), ks.end());
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    expectSame(mergeBatches(from, from + width - 1, batches), linesOf(from, from + width - 1, all));
  }
}

TEST(RankMessages, StartAndReportsTravelUnchangedAndDamageIsRefused) {
  pelund::SearchParams params;
  params.base = 1000000000, params.c = -1, params.period = 5040, params.maxFact = 999999937;
  params.minK = 123, params.maxK = kTop, params.threads = 3, params.engine = pelund::Engine::residue;
  params.algebraic = true;
  int64_t words[kStartWords];
  encodeStart(false, params, words);
  pelund::SearchParams back;
  ASSERT_TRUE(decodeStart(words, back));
  int64_t again[kStartWords];  // every field came back: the same words again
  encodeStart(false, back, again);
  EXPECT_TRUE(std::equal(words, words + kStartWords, again));
  encodeStart(true, params, words);
  EXPECT_FALSE(decodeStart(words, back));
  const Order order{OrderKind::tree, 41, kTop - 100, kTop, 17, 5, 256};
  int64_t orderWords[kOrderWords];
  encodeOrder(order, orderWords);
  const Order orderBack = decodeOrder(orderWords);
  EXPECT_EQ(std::tie(orderBack.kind, orderBack.word, orderBack.from, orderBack.to, orderBack.first, orderBack.count,
                     orderBack.wanted),
            std::tie(order.kind, order.word, order.from, order.to, order.first, order.count, order.wanted));

  // Reports of no line, one, three, and some hundreds generated.
  std::vector<std::vector<int64_t>> lists = {{}, {kTop - 5}, {kTop - 90, kTop - 50, kTop - 2}, {}, {}, {}};
  std::mt19937_64 random(5040);
  for (size_t l = 3; l < lists.size(); ++l)
    for (int64_t k = kTop - 100000 + int64_t(random() % 500); k <= kTop; k += 1 + int64_t(random() % 500))
      lists[l].push_back(k);
  for (const std::vector<int64_t>& ks : lists) {
    Report report;
    report.kind = ks.empty() ? ReportKind::stopped : ReportKind::finished;
    report.index = 2047, report.signal = 15;
    report.part = linesOf(kTop - 100000, kTop, ks);
    report.sender = ProcessIdentity{0xfedcba9876543210u, 4194303, 123456789012u};
    const std::string bytes = encodeReport(report);
    Report got;
    ASSERT_TRUE(decodeReport(bytes.data(), bytes.size(), got));
    EXPECT_EQ(got.kind, report.kind);
    EXPECT_EQ(got.index, report.index);
    EXPECT_EQ(got.signal, report.signal);
    EXPECT_EQ(got.sender, report.sender);
    expectSame(got.part, report.part);
    // Every cut-off copy, and a newline lost or one too many anywhere, is refused.
    for (size_t size = 0; size < bytes.size(); ++size) EXPECT_FALSE(decodeReport(bytes.data(), size, got)) << size;
    if (ks.empty()) continue;
    const size_t newline = bytes.size() - report.part.text.size() + report.part.ends[random() % ks.size()] - 1;
    std::string broken = bytes;
    broken[newline] = ']';
    EXPECT_FALSE(decodeReport(std::string(broken), got));
    broken[newline] = '\n', broken[newline - 1] = '\n';
    EXPECT_FALSE(decodeReport(std::move(broken), got));
  }
}

// A process is alive while it runs or is stopped, ended once it is a zombie or gone,
// and ended too when its id names another process (another start time); one of
// another machine, or unknown, cannot be told. A child with a parenthesis and blanks
// in its name checks the reading of /proc.
TEST(ProcessLiveness, AliveEndedOrUnknownByLookingAtTheProcess) {
  const ProcessIdentity self = ownIdentity();
  ASSERT_NE(self.machine, 0u);
  EXPECT_EQ(self.pid, int64_t(getpid()));
  EXPECT_EQ(livenessOf(self), Liveness::alive);
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sl) eep (x", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  usleep(100000);  // the exec done: the start time stays what it was at fork
  const ProcessIdentity running = identityOf(child);
  EXPECT_EQ(running.machine, self.machine);
  EXPECT_EQ(running.pid, int64_t(child));
  EXPECT_GE(running.started, self.started);
  struct Case {
    const char* state;
    int signal;  // sent to the child first (0: none)
    bool reap;
    ProcessIdentity identity;
    Liveness expected;
  };
  ProcessIdentity otherStart = running, otherMachine = running, unread = running;
  otherStart.started += 1;
  otherMachine.machine ^= 2;
  unread.machine = 0;
  const std::vector<Case> cases = {
      {"running", 0, false, running, Liveness::alive},
      {"its id with another start time", 0, false, otherStart, Liveness::ended},
      {"on another machine", 0, false, otherMachine, Liveness::unknown},
      {"not read", 0, false, unread, Liveness::unknown},
      {"stopped", SIGSTOP, false, running, Liveness::alive},
      {"a zombie", SIGKILL, false, running, Liveness::ended},
      {"reaped", 0, true, running, Liveness::ended},
      {"reaped, on another machine", 0, false, otherMachine, Liveness::unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    if (c.signal != 0) {
      kill(child, c.signal);
      // Until the signal has taken effect (the child is left unreaped).
      siginfo_t info{};
      ASSERT_EQ(waitid(P_PID, id_t(child), &info, (c.signal == SIGSTOP ? WSTOPPED : WEXITED) | WNOWAIT), 0);
    }
    if (c.reap) waitpid(child, nullptr, 0);
    EXPECT_EQ(livenessOf(c.identity), c.expected);
  }
}

}  // namespace
