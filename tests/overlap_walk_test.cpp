// A runner that overlaps tree parts (as pelund-mpi's ranks do): the walk hands it each
// tree part after its first before the lines of the one before reach the sink, and
// settles before a sieve part and at its end. Over generated searches, its sink gets exactly the lines
// of the plain walk, in ascending parts with no gap, from a thread of the runner's; the
// count of covered k it hands back is the part before's; a stop at any part leaves a
// prefix of the lines in whole parts.
#include <gtest/gtest.h>

#include <pelund/pelund.hpp>

#include <future>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

struct Collect : pelund::Sink {
  std::string text;
  std::vector<std::pair<int64_t, int64_t>> parts;
  void partDone(const pelund::Part& part) override {
    text += part.text;
    parts.emplace_back(part.from, part.to);
  }
};

// Searches each tree part on the spot and hands it over only when the next one comes
// (or the walk settles), on a thread of its own; stops at tree part `stopAt` (0: never).
class Deferring : public pelund::Runner {
 public:
  explicit Deferring(int stopAt = 0) : stopAt_(stopAt) {}
  bool sieve(const pelund::Search& search, int64_t from, int64_t to, pelund::Sink& sink,
             const pelund::StopToken& stop) override {
    EXPECT_FALSE(held_.has_value()) << "a sieve part while a tree part is in flight";
    return search.sieve(from, to, sink, stop);
  }
  // The first tree part of the walk goes whole, so that its lines size the next.
  bool tree(const pelund::Search& search, int64_t from, int64_t to, pelund::Part& lines,
            const pelund::StopToken& stop) override {
    EXPECT_FALSE(held_.has_value()) << "a whole tree part while another is in flight";
    ++whole_;
    std::vector<int64_t> covered;
    return search.tree(from, to, covered, stop) && search.linesOf(from, to, covered, lines, stop);
  }
  bool overlaps() const override { return true; }
  bool treeAhead(const pelund::Search& search, int64_t from, int64_t to, pelund::Sink& sink,
                 const pelund::StopToken& stop, size_t& before) override {
    if (held_) {
      EXPECT_EQ(from, held_->part.to + 1);
    }
    if (++trees_ == stopAt_) return settle(sink, stop) && false;
    Held next;
    std::vector<int64_t> covered;
    EXPECT_TRUE(search.tree(from, to, covered, stop) && search.linesOf(from, to, covered, next.part, stop));
    next.covered = covered.size();
    before = held_ ? held_->covered : 0;
    handOver(sink);
    held_ = std::move(next);
    return true;
  }
  bool settle(pelund::Sink& sink, const pelund::StopToken&) override {
    handOver(sink);
    return true;
  }
  int trees() const { return trees_; }  // the parts that went ahead
  int whole() const { return whole_; }

 private:
  struct Held {
    pelund::Part part;
    size_t covered = 0;
  };
  void handOver(pelund::Sink& sink) {
    if (!held_) return;
    std::async(std::launch::async, [&] { sink.partDone(held_->part); }).get();
    held_.reset();
  }
  const int stopAt_;
  int trees_ = 0, whole_ = 0;
  std::optional<Held> held_;
};

TEST(OverlappedWalk, GivesThePlainWalksLinesForGeneratedSearches) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  const int32_t bases[] = {2, 3, 5, 6, 7, 10, 12};
  const pelund::Engine engines[] = {pelund::Engine::automatic, pelund::Engine::residue};
  int overlapped = 0;
  for (int run = 0; run < 16; ++run) {
    const int32_t base = bases[random() % std::size(bases)];
    const int32_t c = random() % 2 ? 1 : -1;
    const int64_t from = 1 + int64_t(random() % 1000000) * int64_t(random() % 1000000 + 1);
    const int64_t to = from + int64_t(random() % 400000000 + 1000);
    const pelund::Engine engine = engines[run % 2];
    const bool algebraic = run % 3 == 2;
    SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " " + std::to_string(from) + ".." +
                 std::to_string(to) + " engine " + std::to_string(int(engine)) + (algebraic ? " algebraic" : ""));
    const pelund::SearchParams params = pelund::makeParams(base, c, 1, to, 144, 5000, 1, engine, algebraic);
    const pelund::Search search(params, pelund::candidates(params));
    Collect plain, ahead;
    ASSERT_TRUE(search.walk(from, to, plain, pelund::StopToken{}));
    Deferring runner;
    ASSERT_TRUE(search.walk(from, to, ahead, pelund::StopToken{}, nullptr, &runner));
    EXPECT_EQ(ahead.text, plain.text);
    int64_t next = from;
    for (const auto& [first, last] : ahead.parts) {
      ASSERT_EQ(first, next);
      next = last + 1;
    }
    EXPECT_EQ(next, to + 1);
    EXPECT_LE(runner.whole(), 1);
    overlapped += runner.trees() > 1;
  }
  EXPECT_GT(overlapped, 3);  // runs with consecutive tree parts
}

// A stop at the n-th tree part that went ahead ends the walk (false) with the parts
// before it handed over whole: the plain walk's lines up to the end of the last of them.
TEST(OverlappedWalk, AStopAtAnyTreePartLeavesWholePartsOfThePlainLines) {
  const pelund::SearchParams params = pelund::makeParams(7, 1, 1, 100000000000000, 144, 100000, 1,
                                                         pelund::Engine::residue, false);
  const pelund::Search search(params, pelund::candidates(params));
  Collect plain;
  ASSERT_TRUE(search.walk(1, params.maxK, plain, pelund::StopToken{}));
  Deferring counting;
  Collect all;
  ASSERT_TRUE(search.walk(1, params.maxK, all, pelund::StopToken{}, nullptr, &counting));
  ASSERT_GT(counting.trees(), 4);
  for (int stopAt = 1; stopAt <= counting.trees(); ++stopAt) {
    SCOPED_TRACE("stopped at tree part " + std::to_string(stopAt));
    Deferring runner(stopAt);
    Collect sink;
    EXPECT_FALSE(search.walk(1, params.maxK, sink, pelund::StopToken{}, nullptr, &runner));
    EXPECT_EQ(sink.parts.size(), size_t(runner.whole() + stopAt - 1));
    EXPECT_EQ(plain.text.compare(0, sink.text.size(), sink.text), 0);
    if (!sink.parts.empty()) {
      const int64_t end = sink.parts.back().second;
      size_t below = 0;
      while (below < plain.text.size() && std::stoll(plain.text.substr(below, 20)) <= end)
        below = plain.text.find('\n', below) + 1;
      EXPECT_EQ(sink.text.size(), below);
    }
  }
}

}  // namespace
