// The walk that ends after its first N lines, against the whole walk: on generated
// searches (both engines, with and without algebraic factors), the parts handed over
// hold exactly the whole walk's first N lines, without a gap, the last ending at the
// k of the N-th line; a walk with fewer lines than N is the whole walk.
#include <gtest/gtest.h>

#include <random>

#include <pelund/pelund.hpp>

namespace {

struct Collected : pelund::Sink {
  std::string text;
  std::vector<int64_t> ks;
  int64_t from = 0, to = 0;
  bool gap = false, any = false;
  void partDone(const pelund::Part& part) override {
    if (!any) from = part.from;
    else gap = gap || part.from != to + 1;
    any = true;
    to = part.to;
    text += part.text;
    ks.insert(ks.end(), part.ks.begin(), part.ks.end());
  }
};

std::string firstLines(const std::string& text, size_t n) {
  size_t at = 0;
  for (size_t i = 0; i < n && at < text.size(); ++i) at = text.find('\n', at) + 1;
  return text.substr(0, at);
}

TEST(WalkLines, TheFirstLinesOfGeneratedSearchesAreThoseOfTheWholeWalk) {
  std::mt19937_64 random(25);
  const int32_t periods[] = {12, 24, 36, 48, 144};
  size_t linesSeen = 0;
  for (int round = 0; round < 40; ++round) {
    const int32_t base = int32_t(2 + random() % 60), c = random() % 2 == 0 ? 1 : -1;
    const int64_t minK = int64_t(1 + random() % 5000), maxK = minK + int64_t(random() % 3000000);
    const pelund::Engine engine = random() % 2 == 0 ? pelund::Engine::sieve : pelund::Engine::residue;
    const bool algebraic = random() % 3 == 0;
    const pelund::SearchParams params = pelund::makeParams(base, c, minK, maxK, periods[random() % 5],
                                                           int64_t(100 + random() % 100000), 2, engine, algebraic);
    const pelund::Search search(params, pelund::candidates(params));
    Collected whole;
    ASSERT_TRUE(search.walk(minK, maxK, whole, pelund::StopToken{}));
    linesSeen += whole.ks.size();
    for (uint64_t n : {uint64_t(1), uint64_t(2), uint64_t(1 + random() % 50), uint64_t(whole.ks.size() + 1)}) {
      SCOPED_TRACE("b=" + std::to_string(base) + " c=" + std::to_string(c) + " k=" + std::to_string(minK) + ".." +
                   std::to_string(maxK) + " lines " + std::to_string(n) + " of " + std::to_string(whole.ks.size()));
      Collected first;
      ASSERT_TRUE(search.walkLines(minK, maxK, n, first, pelund::StopToken{}));
      const size_t expected = std::min<size_t>(n, whole.ks.size());
      EXPECT_EQ(first.text, firstLines(whole.text, expected));
      EXPECT_EQ(first.ks.size(), expected);
      EXPECT_FALSE(first.gap);
      EXPECT_EQ(first.from, minK);
      EXPECT_EQ(first.to, n <= whole.ks.size() ? whole.ks[n - 1] : maxK);
    }
  }
  EXPECT_GT(linesSeen, 400u);  // the generated searches have lines to cut
}

TEST(WalkLines, AStopRequestEndsTheWalkUnfinished) {
  const pelund::SearchParams params = pelund::makeParams(7, 1, 1, 1000000000000000000, 144);
  const pelund::Search search(params, pelund::candidates(params));
  std::atomic<bool> stop{true};
  Collected none;
  EXPECT_FALSE(search.walkLines(1, params.maxK, 1, none, pelund::StopToken(stop)));
  EXPECT_TRUE(none.ks.empty());
}

}  // namespace
