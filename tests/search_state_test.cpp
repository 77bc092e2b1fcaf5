// pelund.state text: what formatSearchState writes reads back the same, with LF or
// CR LF line ends, and any damage to it is refused.
#include "search_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string withCrLf(const std::string& text) {
  std::string out;
  for (char ch : text) out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  return out;
}

bool same(const SearchState& a, const SearchState& b) {
  return a.sameSearch(b) && a.nextK == b.nextK && a.found == b.found && a.length == b.length;
}

TEST(SearchStateTest, FormattedStateReadsBackWithEitherLineEnd) {
  const SearchState states[] = {
      {10, -1, 144, 1000000, 1, 1, 0, 0},
      {2, 1, 36, 1000000000, 78000, 1000000000000000001, 4294967295u, INT64_MAX},
      {1000000000, -1, 5040, 5, 1000000000000000000, 1000000000000000000, 7, 12345},
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
  const std::string text = formatSearchState({10, -1, 144, 1000000, 1, 500, 3, 120});
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

}  // namespace
