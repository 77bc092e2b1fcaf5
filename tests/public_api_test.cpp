// The public API's inputs: ranges, lists of covered k, candidate tables and bases that
// do not belong to a search are refused with pelund::Error (never a wrong line or a
// crash); what a caller's sink throws reaches the caller as it was; the observer hears
// of every part whatever the engine; verify() counts a listed prime once, bounds its
// work and stops; a single candidate prime still proves k together with algebraic
// factors (compared with the straightforward oracle).
#include <gtest/gtest.h>

#include <pelund/pelund.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "algebraic_oracle.h"
#include "search_helpers.h"

namespace {

pelund::Search searchOf(int64_t base, int64_t c, int64_t maxK, int64_t period = 144, int64_t maxFact = 1000000,
                        pelund::Engine engine = pelund::Engine::automatic, bool algebraic = false) {
  const pelund::SearchParams params = pelund::makeParams(base, c, 1, maxK, period, maxFact, 2, engine, algebraic);
  return pelund::Search(params, pelund::candidates(params));
}

// The text of the Error that `call` throws ("" when it throws none).
std::string errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const pelund::Error& error) {
    return error.what();
  }
  return "";
}

struct Collect : pelund::Sink {
  std::string text;
  std::vector<std::pair<int64_t, int64_t>> parts;
  void partDone(const pelund::Part& part) override {
    text += part.text;
    parts.emplace_back(part.from, part.to);
  }
};

TEST(PublicApi, RangesOutsideOneToTheLimitOrReversedAreRefusedByEveryEngine) {
  const pelund::Search search = searchOf(7, 1, 1000);
  const pelund::StopToken never;
  // (from, to, message)
  const struct {
    int64_t from, to;
    const char* message;
  } ranges[] = {{100, 5, "from cannot be greater than to"},
                {0, 5, "from cannot be less than 1"},
                {-9, -2, "from cannot be less than 1"},
                {1, 1000000000000000001, "to cannot be greater than 1e18"}};
  for (const auto& range : ranges) {
    SCOPED_TRACE(std::to_string(range.from) + ".." + std::to_string(range.to));
    std::vector<int64_t> covered;
    pelund::Part part;
    Collect sink;
    const std::function<void()> calls[] = {
        [&] { search.tree(range.from, range.to, covered, never); },
        [&] { search.treeCost(range.from, range.to); },
        [&] { search.treeTasks(range.from, range.to, 4); },
        [&] { search.searchTreeTasks(range.from, range.to, {}, 0, 0, covered, never); },
        [&] { search.sieve(range.from, range.to, sink, never); },
        [&] { search.linesOf(range.from, range.to, {}, part, never); },
    };
    for (const auto& call : calls) EXPECT_EQ(errorOf(call), range.message);
    EXPECT_TRUE(covered.empty());
    if (range.from <= range.to) {
      EXPECT_EQ(errorOf([&] { search.walk(range.from, range.to, sink, never); }), range.message);
    }
  }
  // A walk of nothing hands over nothing.
  Collect sink;
  EXPECT_TRUE(search.walk(100, 5, sink, never));
  EXPECT_TRUE(sink.parts.empty());
}

TEST(PublicApi, LinesOfGivesALineExactlyForTheKTheTreeFinds) {
  // Dense ranges of both signs: every k on its own either is among those the tree
  // finds, and gets a line that the independent checker accepts, or is refused.
  for (const int64_t c : {1, -1}) {
    SCOPED_TRACE(c);
    const pelund::Search search = searchOf(14, c, 6000, 4);
    std::vector<int64_t> found;
    ASSERT_TRUE(search.tree(1, 6000, found, pelund::StopToken{}));
    ASSERT_GT(found.size(), 20u);
    const std::set<int64_t> covered(found.begin(), found.end());
    for (int64_t k = 1; k <= 6000; ++k) {
      pelund::Part part;
      const std::string fault = errorOf([&] { search.linesOf(1, 6000, {k}, part, pelund::StopToken{}); });
      if (covered.count(k) == 0) {
        ASSERT_EQ(fault, "k=" + std::to_string(k) + " is not covered by the candidate primes");
        continue;
      }
      ASSERT_EQ(fault, "") << k;
      ASSERT_EQ(part.ks, std::vector<int64_t>{k});
      ASSERT_EQ(pelund::verifyLine(part.text, 14, int32_t(c)).fault, "") << part.text;
    }
  }
}

TEST(PublicApi, LinesOfRefusesListsThatNoEngineGives) {
  const pelund::Search search = searchOf(7, 1, 20000);
  const struct {
    std::vector<int64_t> ks;
    const char* message;
  } lists[] = {
      {{3}, "k=3 is not covered by the candidate primes"},
      {{5}, "k=5 is not covered by the candidate primes"},
      {{10176}, "k=10176 is not covered by the candidate primes"},
      {{7, 3}, "covered k are not ascending, each once"},
      {{3, 3}, "covered k are not ascending, each once"},
      {{-4}, "covered k=-4 is outside the range"},
      {{20001}, "covered k=20001 is outside the range"},
      {{0, 5}, "covered k=0 is outside the range"},
  };
  for (const auto& list : lists) {
    pelund::Part part;
    EXPECT_EQ(errorOf([&] { search.linesOf(1, 20000, list.ks, part, pelund::StopToken{}); }), list.message);
  }
}

TEST(PublicApi, TablesThatDoNotBelongToTheSearchAreRefused) {
  const pelund::SearchParams params = pelund::makeParams(10, -1, 1, 100000, 144, 1000);
  const pelund::CandidateTable good = pelund::candidates(params);
  ASSERT_GT(good.factorPeriodList.size(), 4u);
  const std::string prefix = "the candidate table does not belong to the search: ";
  using Change = std::function<void(pelund::CandidateTable&)>;
  const struct {
    Change change;
    std::string message;
  } cases[] = {
      {[](auto& t) { t.factorPeriodList.insert(t.factorPeriodList.begin(), {0, 0}); }, "0 is not prime"},
      {[](auto& t) { t.periodOrderedList.insert(t.periodOrderedList.begin(), {0, 0}); }, "0 is not prime"},
      {[](auto& t) { t.factorPeriodList[0] = {9, 6}; }, "9 is not prime"},
      {[](auto& t) { t.factorPeriodList.push_back({1009, 252}); }, "1009 is not below maxfact 1000"},
      {[](auto& t) { t.factorPeriodList[0] = {3, 1}; }, "3 divides b or b-1"},
      {[](auto& t) { t.periodOrderedList[0].period *= 2; }, "the period of 11 is not 4 or does not divide 144"},
      {[](auto& t) { t.periodOrderedList.back() = {757, 27}; }, "the period of 757 is not 27 or does not divide 144"},
      {[](auto& t) { std::swap(t.factorPeriodList[0], t.factorPeriodList[1]); }, "factorPeriodList is not ascending"},
      {[](auto& t) { t.periodOrderedList.push_back(t.periodOrderedList.back()); },
       "periodOrderedList is not ascending in the period"},
      {[](auto& t) { t.baseMinusOneFactors = {0}; }, "baseMinusOneFactors are not the prime factors of 9"},
      {[](auto& t) { t.baseMinusOneFactors = {}; }, "baseMinusOneFactors are not the prime factors of 9"},
  };
  for (const auto& item : cases) {
    pelund::CandidateTable table = good;
    item.change(table);
    EXPECT_EQ(errorOf([&] { pelund::Search(params, table); }), prefix + item.message);
  }
  // Another base's table, and parameters that makeParams refuses.
  const pelund::CandidateTable base2 = pelund::candidates(pelund::makeParams(2, -1, 1, 100000, 144, 1000));
  EXPECT_EQ(errorOf([&] { pelund::Search(params, base2); }).rfind(prefix, 0), 0u);
  pelund::SearchParams wrong = params;
  wrong.base = 1;
  EXPECT_EQ(errorOf([&] { pelund::Search(wrong, good); }), "base cannot be less than 2");
  wrong = params;
  wrong.period = 0;
  EXPECT_EQ(errorOf([&] { pelund::Search(wrong, good); }), "period cannot be less than 2");
  // The table itself, a part of it and an empty one are taken.
  pelund::CandidateTable part = good;
  part.factorPeriodList.resize(2);
  part.periodOrderedList.erase(part.periodOrderedList.begin());
  for (const pelund::CandidateTable* table : {&good, static_cast<const pelund::CandidateTable*>(&part)})
    EXPECT_EQ(errorOf([&] { pelund::Search(params, *table); }), "");
}

TEST(PublicApi, VerifyLineRefusesBasesAndSignsOutsideTheirRanges) {
  const struct {
    int64_t base;
    int32_t c;
    const char* message;
  } cases[] = {{1, 1, "base cannot be less than 2"},        {0, 1, "base cannot be less than 2"},
               {-10, -1, "base cannot be less than 2"},     {1000000001, 1, "base cannot be greater than 1e9"},
               {10, 0, "c must be -1 or 1"},                {10, 3, "c must be -1 or 1"}};
  for (const auto& item : cases) {
    for (const char* line : {"2  1  [3]\n", "10176  12  [7, 11, 13, 37]\n"}) {
      const pelund::LineVerdict verdict = pelund::verifyLine(line, item.base, item.c);
      EXPECT_EQ(verdict.fault, item.message) << item.base << " " << line;
    }
  }
  EXPECT_EQ(pelund::verifyLine("10176  12  [7, 11, 13, 37]\n", 10, -1).fault, "");
}

// A sink that throws `T` at its second part.
template <class T>
struct Throwing : pelund::Sink {
  int parts = 0;
  void partDone(const pelund::Part&) override {
    if (++parts == 2) throw T();
  }
};
struct Own {};

TEST(PublicApi, WhatTheCallersSinkThrowsReachesTheCallerAsItWas) {
  for (const pelund::Engine engine : {pelund::Engine::sieve, pelund::Engine::residue}) {
    for (const bool algebraic : {false, true}) {
      SCOPED_TRACE(int(engine) * 2 + algebraic);
      const pelund::Search search = searchOf(14, 1, 1000000000, 4, 1000000, engine, algebraic);
      Throwing<std::bad_alloc> memory;
      EXPECT_THROW(search.walk(1, 1000000000, memory, pelund::StopToken{}), std::bad_alloc);
      Throwing<Own> own;
      EXPECT_THROW(search.walk(1, 1000000000, own, pelund::StopToken{}), Own);
      if (engine == pelund::Engine::sieve && !algebraic) {
        Throwing<std::bad_alloc> direct;
        EXPECT_THROW(search.sieve(1, 1000000000, direct, pelund::StopToken{}), std::bad_alloc);
      }
    }
  }
}

// The parts cover from..to in order, with no gap.
void expectJoined(const std::vector<std::pair<int64_t, int64_t>>& parts, int64_t from, int64_t to) {
  ASSERT_FALSE(parts.empty());
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].first, i == 0 ? from : parts[i - 1].second + 1);
    EXPECT_LE(parts[i].first, parts[i].second);
  }
  EXPECT_EQ(parts.back().second, to);
}

struct Parts : pelund::Observer {
  std::vector<std::pair<int64_t, int64_t>> parts;
  void walking(int64_t from, int64_t to) override { parts.emplace_back(from, to); }
};

TEST(PublicApi, TheObserverHearsOfPartsThatCoverTheRangeWithEveryEngine) {
  for (const pelund::Engine engine : {pelund::Engine::automatic, pelund::Engine::sieve, pelund::Engine::residue}) {
    SCOPED_TRACE(int(engine));
    const pelund::Search search = searchOf(10, -1, 300000000, 144, 1000000, engine);
    Parts observer;
    Collect sink;
    ASSERT_TRUE(search.walk(5, 300000000, sink, pelund::StopToken{}, &observer));
    expectJoined(observer.parts, 5, 300000000);
  }
}

// A sparse range searched whole, whose tree costs grow far more slowly than its width,
// may end in one part over its rest (up to 256 next parts wide); a walk that stops at
// a count of lines, here never reached, keeps each part at most 16 times the one
// before. The lines are the same, and the parts join up, either way. No covered k lies
// below 2^37 in these searches, so no measured time chooses their parts.
TEST(PublicApi, ASparseRangeSearchedWholeMayEndInOnePartOverItsRest) {
  std::mt19937_64 random(1618);
  // The largest ratio of a part's width to the one before's, the parts checked to join up.
  const auto growth = [](const std::vector<std::pair<int64_t, int64_t>>& parts, int64_t from, int64_t to) {
    expectJoined(parts, from, to);
    double most = 0;
    for (size_t i = 1; i < parts.size(); ++i)
      most = std::max(most, double(parts[i].second - parts[i].first + 1) / double(parts[i].first - parts[i - 1].first));
    return most;
  };
  int merged = 0;
  for (int round = 0; round < 12; ++round) {
    const int64_t base = round % 2 == 0 ? 7 : 3, c = round % 4 < 2 ? 1 : -1;
    const int64_t from = int64_t(random() % 1000000) + 1, to = from + (int64_t(1) << (random() % 7 + 30));
    SCOPED_TRACE(::testing::Message() << "b=" << base << " c=" << c << " k=" << from << ".." << to);
    const pelund::Search search = searchOf(base, c, to, 144, 100000, pelund::Engine::residue);
    Parts wholeParts, limitedParts;
    Collect whole, limited;
    ASSERT_TRUE(search.walk(from, to, whole, pelund::StopToken{}, &wholeParts));
    ASSERT_TRUE(search.walkLines(from, to, uint64_t(1) << 40, limited, pelund::StopToken{}, &limitedParts));
    EXPECT_EQ(whole.text, limited.text);
    EXPECT_LE(growth(limitedParts.parts, from, to), 16.0);
    const double most = growth(wholeParts.parts, from, to);
    EXPECT_LE(most, 256.0 * 17);
    merged += most > 16;
  }
  EXPECT_GT(merged, 9);
}

TEST(PublicApi, VerifyCountsAListedPrimeOnceBoundsItsWorkAndStops) {
  // Primes listed many times: the same verdict as listed once, for covers and non-covers.
  for (const int64_t k : {10176, 10177, 1, 3}) {
    const std::vector<uint32_t> once = {7, 11, 13, 37, 300007};
    std::vector<uint32_t> repeated = once;
    repeated.resize(30000, 300007);
    repeated[4000] = 13;
    EXPECT_EQ(pelund::verify(10, -1, k, repeated), pelund::verify(10, -1, k, once)) << k;
    EXPECT_EQ(pelund::verify(10, -1, k, once), k == 10176) << k;
  }
  // The primes below 2*10^6 whose order for base 10 divides 997920, 7, 11, 13 and 37
  // among them: 130 of them are a cover of 10176 within the work allowed, all of them
  // too much work.
  std::vector<uint32_t> ofOrder;
  for (uint32_t p : helpers::sievePrimes(2000000))
    if (p > 5 && helpers::powMod(10, 997920, p) == 1) ofOrder.push_back(p);
  ASSERT_GT(ofOrder.size(), 180u);
  const std::vector<uint32_t> allowed(ofOrder.begin(), ofOrder.begin() + 130);
  EXPECT_EQ(errorOf([&] { EXPECT_TRUE(pelund::verify(10, -1, 10176, allowed)); }), "");
  EXPECT_EQ(errorOf([&] { pelund::verify(10, -1, 10176, ofOrder); }),
            "the primes' pattern of hits times their number is above 2^27");
  // A stop asked is heeded (the pattern of 300007 is 100002 exponents long).
  std::atomic<bool> stop{true};
  const std::vector<uint32_t> once = {7, 11, 13, 37, 300007};
  EXPECT_FALSE(pelund::verify(10, -1, 10176, once, pelund::StopToken(stop)));
  EXPECT_FALSE(pelund::verify(10, -1, 10176, allowed, pelund::StopToken(stop)));
}

// Fewer than two candidate primes cover no k (nor does the sieve over 2^22 k, the oracle,
// find one): the walk hands the range over at once, where sieving it to 10^18 took years.
// The stop after a minute ends only a walk that does not end by itself.
std::chrono::steady_clock::time_point walkDeadline;
bool pastDeadline() { return std::chrono::steady_clock::now() > walkDeadline; }

TEST(PublicApi, ASearchWithFewerThanTwoCandidatesWalksItsRangeAtOnce) {
  std::mt19937_64 random(2718);
  for (int round = 0, cases = 0; cases < 24; ++round) {
    ASSERT_LT(round, 400);
    const pelund::SearchParams params =
        pelund::makeParams(int64_t(random() % 1000000) + 2, round % 2 == 0 ? 1 : -1, 1, 1000000000000000000,
                           int64_t(random() % 5039) + 2, int64_t(random() % 40) + 5, 2, pelund::Engine(round % 3));
    const pelund::Search search(params, pelund::candidates(params));
    if (search.searchable()) continue;
    ++cases;
    SCOPED_TRACE(::testing::Message() << params.base << " " << params.c << " " << params.period << " " << params.maxFact);
    const int64_t from = int64_t(random() % 1000000000) + 1;
    walkDeadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    Collect sieved, whole, first;
    ASSERT_TRUE(search.sieve(1, int64_t(1) << 22, sieved, pelund::StopToken{}));
    ASSERT_TRUE(search.walk(from, params.maxK, whole, pelund::StopToken(pastDeadline)));
    ASSERT_TRUE(search.walkLines(from, params.maxK, 1, first, pelund::StopToken(pastDeadline)));
    EXPECT_EQ(sieved.text + whole.text + first.text, "");
    expectJoined(whole.parts, from, params.maxK);
    expectJoined(first.parts, from, params.maxK);
  }
}

TEST(PublicApi, OneCandidatePrimeProvesKWithAlgebraicFactors) {
  // R243 with period 2 has the one candidate 61; the oracle decides every k.
  const oracle::Case cs{243, -1, 2, 100, 30000};
  const pelund::SearchParams params = pelund::makeParams(cs.b, cs.c, 1, cs.maxK, cs.P, cs.maxFact, 2,
                                                         pelund::Engine::automatic, true);
  const pelund::CandidateTable table = pelund::candidates(params);
  ASSERT_EQ(table.factorPeriodList.size(), 1u);
  Collect sink;
  ASSERT_TRUE(pelund::Search(params, table).walk(1, cs.maxK, sink, pelund::StopToken{}));
  std::set<int64_t> found;
  for (size_t at = 0; at < sink.text.size();) {
    const size_t end = sink.text.find('\n', at) + 1;
    const std::string line = sink.text.substr(at, end - at);
    EXPECT_EQ(pelund::verifyLine(line, cs.b, cs.c).fault, "") << line;
    found.insert(std::stoll(line));
    at = end;
  }
  EXPECT_NE(sink.text.find("2500  2  [61]  + n=0 (mod 2): y^2-1\n"), std::string::npos) << sink.text;
  std::set<int64_t> proved;
  for (int64_t k = 1; k <= cs.maxK; ++k)
    if (oracle::proved(k, cs, table)) proved.insert(k);
  EXPECT_EQ(found, proved);
}

}  // namespace
