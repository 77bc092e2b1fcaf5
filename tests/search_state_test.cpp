// pelund.state text: what formatSearchState writes reads back the same, with LF or
// CR LF line ends, and any damage to it is refused; a state without a tree part in
// progress is written as it always was, and one written so reads as before.
#include "search_state.h"
#include "wide_state.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

std::string withCrLf(const std::string& text) {
  std::string out;
  for (char ch : text) out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  return out;
}

bool same(const SearchState& a, const SearchState& b) {
  return a.sameSearch(b) && a.nextK == b.nextK && a.found == b.found && a.length == b.length &&
         a.part.from == b.part.from && a.part.to == b.part.to && a.part.wanted == b.part.wanted &&
         a.part.list == b.part.list && a.part.done == b.part.done && a.part.covered == b.part.covered;
}

// A state at k=500 with a tree part in progress up to `to`.
SearchState withPart(int64_t to, uint64_t wanted, uint64_t done, std::vector<int64_t> covered) {
  SearchState state{10, -1, 144, 1000000, 1, 500, 3, 120};
  state.part = pelund::TreeProgress{500, to, wanted, 0x7edcba9876543210u % (to + 1), done, std::move(covered)};
  return state;
}

TEST(SearchStateTest, FormattedStateReadsBackWithEitherLineEnd) {
  const SearchState states[] = {
      {10, -1, 144, 1000000, 1, 1, 0, 0},
      {2, 1, 36, 1000000000, 78000, 1000000000000000001, 4294967295u, INT64_MAX},
      {1000000000, -1, 5040, 5, 1000000000000000000, 1000000000000000000, 7, 12345},
      withPart(500, 1, 0, {}),
      withPart(1000000000000000000, 16777216, 16777216, {500, 501, 999999999999999999, 1000000000000000000}),
      withPart(70000, 2048, 17, {500, 64123}),
  };
  for (const SearchState& state : states) {
    const std::string text = formatSearchState(state);
    SCOPED_TRACE(text);
    for (const std::string& form : {text, withCrLf(text)}) {
      SearchState read;
      ASSERT_TRUE(parseSearchState(form, read));
      EXPECT_TRUE(same(read, state));
    }
  }
}

TEST(SearchStateTest, DamagedStatesAreRefused) {
  for (const std::string& text : {formatSearchState({10, -1, 144, 1000000, 1, 500, 3, 120}),
                                  formatSearchState(withPart(90000, 512, 3, {500, 777, 89999}))}) {
  SCOPED_TRACE(text);
  SearchState read;
  ASSERT_TRUE(parseSearchState(text, read));
  // Every proper prefix, of both line-end forms, is incomplete.
  for (const std::string& form : {text, withCrLf(text)})
    for (size_t length = 0; length < form.size(); ++length)
      EXPECT_FALSE(parseSearchState(form.substr(0, length), read)) << length;
  // A CR anywhere but before a LF is damage.
  for (size_t at = 0; at < text.size(); ++at) {
    std::string damaged = text;
    damaged.insert(at, "\r");
    const bool beforeLf = text[at] == '\n';
    EXPECT_EQ(parseSearchState(damaged, read), beforeLf) << at;
  }
  }
}

// The text a state had before parts in progress were recorded reads the same, with no
// part, and is written again byte for byte.
TEST(SearchStateTest, AStateWithoutAPartInProgressKeepsItsFormat) {
  for (const std::string& old : {std::string("pelund search state\nbase=10\nc=-1\nperiod=144\nmaxfact=1000000\nmink=1\n"
                                             "nextk=52428800001\nfound=10215331\nlength=287442101\nend\n"),
                                 std::string("pelund search state\nbase=12\nc=-1\nperiod=144\nmaxfact=1000000\nmink=1\n"
                                             "nextk=4194305\nfound=7\nlength=180\nalgebraic=1\nend\n")}) {
    SearchState read;
    ASSERT_TRUE(parseSearchState(old, read)) << old;
    EXPECT_EQ(read.part.wanted, 0u);
    EXPECT_EQ(formatSearchState(read), old);
  }
}

// A part in progress is refused unless it lies within 1e18 from nextk on, its subtrees
// done are no more than any list (the list made for `subtrees` may be longer), and its
// covered k ascend strictly within the part, as many as it says.
TEST(SearchStateTest, APartInProgressThatCannotBeIsRefused) {
  const std::string head = "pelund search state\nbase=10\nc=-1\nperiod=144\nmaxfact=1000000\nmink=1\nnextk=500\n"
                           "found=3\nlength=120\n";
  struct Case {
    const char* part;
    bool valid;
  };
  const Case cases[] = {
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=2\n500\n900\n", true},
      {"partto=499\nsubtrees=64\nlist=12345\ndone=2\ncovered=0\n", false},                   // ends before nextk
      {"partto=1000000000000000001\nsubtrees=64\nlist=12345\ndone=2\ncovered=0\n", false},  // beyond 1e18
      {"partto=900\nsubtrees=0\nlist=12345\ndone=0\ncovered=0\n", false},                    // no list
      {"partto=900\nsubtrees=16777217\nlist=12345\ndone=0\ncovered=0\n", false},             // a list too long
      {"partto=900\nsubtrees=64\nlist=12345\ndone=65\ncovered=0\n", true},   // a list longer than asked for
      {"partto=900\nsubtrees=64\nlist=12345\ndone=1099511627777\ncovered=0\n", false},  // more done than any list
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=2\n600\n600\n", false},         // a k twice
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=2\n700\n600\n", false},         // descending
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=1\n499\n", false},              // below the part
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=1\n901\n", false},              // above it
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=2\n600\n", false},              // fewer than said
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=1\n600\n700\n", false},         // more than said
      {"partto=900\nsubtrees=64\nlist=12345\ndone=2\ncovered=401\n", false},                  // more than the part holds
      {"partto=9000000000\nsubtrees=64\nlist=12345\ndone=2\ncovered=2097153\n", false},     // more than a state records
      {"partto=900\nsubtrees=64\nlist=12345\ncovered=0\n", false},                // a key missing
      {"partto=900\nsubtrees=64\ndone=2\ncovered=0\n", false},                   // no hash of the list
      {"partto=900\nsubtrees=64\nlist=9223372036854775808\ndone=2\ncovered=0\n", false},  // a hash too large
      {"subtrees=64\nlist=12345\ndone=2\ncovered=0\n", false},                                // no end of the part
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    SearchState read;
    EXPECT_EQ(parseSearchState(head + c.part + "end\n", read), c.valid);
  }
}

}  // namespace

// The state of a wide search: k of any width up to 2^256 read back exactly; every
// one-character damage of its text refused; an ordinary state is no wide one, nor the
// reverse.
TEST(WideStateTest, ReadsBackAndRefusesDamage) {
  const std::string k256 = "115792089237316195423570985008687907853269984665640564039457584007913129639936";
  const auto wide = [](int32_t base, int32_t c, uint32_t period, uint64_t maxFact, std::string minK, std::string nextK,
                        uint64_t found, int64_t length) {
    WideState state;
    state.base = base, state.c = c, state.period = period, state.maxFact = maxFact;
    state.minK = std::move(minK), state.nextK = std::move(nextK), state.found = found, state.length = length;
    return state;
  };
  // A part in progress: its end, list and covered k (the last one at the end itself).
  WideState inPart = wide(3, -1, 20160, 30000, "7", "123456789012345678901234567891", 5, 99);
  inPart.partTo = "123456789012345678901234599999", inPart.wanted = 512, inPart.list = 8765432109876543210u;
  inPart.done = 17, inPart.covered = {"123456789012345678901234567891", "123456789012345678901234570000",
                                      "123456789012345678901234599999"};
  const WideState states[] = {
      wide(32400, 1, 11, 18446744073709551615u, "1", "1", 0, 0),
      wide(999999937, -1, 65520, 5, "1000000000000000001", k256, 4294967296u, INT64_MAX),
      wide(2, 1, 720, 1000000000, "123456789012345678901234567890", "123456789012345678901234567891", 3, 77),
      inPart,
  };
  for (const WideState& state : states) {
    const std::string text = formatWideState(state);
    SCOPED_TRACE(text);
    for (const std::string& copy : {text, withCrLf(text)}) {
      WideState read;
      ASSERT_TRUE(parseWideState(copy, read));
      EXPECT_TRUE(read.sameSearch(state));
      EXPECT_EQ(read.nextK, state.nextK);
      EXPECT_EQ(read.found, state.found);
      EXPECT_EQ(read.length, state.length);
      EXPECT_EQ(read.c, state.c);
      EXPECT_EQ(read.partTo, state.partTo);
      EXPECT_EQ(read.wanted, state.wanted);
      EXPECT_EQ(read.list, state.list);
      EXPECT_EQ(read.done, state.done);
      EXPECT_EQ(read.covered, state.covered);
    }
    SearchState ordinary;
    EXPECT_FALSE(parseSearchState(text, ordinary));
    // Every digit changed to a letter, every line end dropped, every cut: refused.
    for (size_t at = 0; at < text.size(); ++at) {
      WideState read;
      std::string damaged = text;
      if (text[at] >= '0' && text[at] <= '9') {
        damaged[at] = 'x';
        EXPECT_FALSE(parseWideState(damaged, read)) << at;
      }
      if (text[at] == '\n') {
        EXPECT_FALSE(parseWideState(text.substr(0, at) + text.substr(at + 1), read)) << at;
      }
      EXPECT_FALSE(parseWideState(text.substr(0, at), read)) << at;
    }
  }
  WideState read;
  EXPECT_FALSE(parseWideState(formatSearchState({10, -1, 144, 1000000, 1, 1, 0, 0}), read));
  // A part that ends before nextk or at 2^256, a covered k outside it or out of order,
  // more covered k than a state holds; nextk past 2^256, below mink, a leading zero, c=0.
  const std::string part = "partto=123456789012345678901234599999\n";
  using Damage = std::tuple<const WideState*, std::string, std::string>;
  for (const auto& [state, from, to] :
       {Damage{&inPart, part, "partto=123456789012345678901234567890\n"},
        {&inPart, part, "partto=" + k256 + "\n"},
        {&inPart, "\n123456789012345678901234599999\n", "\n123456789012345678901234600000\n"},
        {&inPart, "\n123456789012345678901234570000\n", "\n123456789012345678901234567891\n"},
        {&inPart, "covered=3\n", "covered=65537\n"},
        {&states[0], "nextk=1\n", "nextk=" + k256.substr(0, 77) + "7\n"},
        {&states[0], "mink=1\nnextk=1\n", "mink=2\nnextk=1\n"},
        {&states[0], "nextk=1\n", "nextk=01\n"},
        {&states[0], "c=1\n", "c=0\n"}}) {
    std::string text = formatWideState(*state);
    text.replace(text.find(from), from.size(), to);
    EXPECT_FALSE(parseWideState(text, read)) << to;
  }
}

TEST(WideStateTest, DecimalStepsAgreeWithIntegers) {
  for (uint64_t value : {1ull, 9ull, 10ull, 99ull, 100ull, 1099ull, 999999999999999999ull, 18446744073709551614ull}) {
    const std::string text = std::to_string(value);
    EXPECT_EQ(decimalPlusOne(text), std::to_string(value + 1));
    EXPECT_EQ(decimalMinusOne(text), std::to_string(value - 1));
    for (uint64_t other : {value - 1, value, value + 1, value * 10})
      EXPECT_EQ(decimalAtMost(text, std::to_string(other)), value <= other) << value << " " << other;
  }
  EXPECT_EQ(decimalPlusOne("18446744073709551615"), "18446744073709551616");
  EXPECT_EQ(decimalMinusOne("18446744073709551616"), "18446744073709551615");
}
