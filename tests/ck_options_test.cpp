// The bases of pelund-ck's command line: whatever the order, overlaps and repeats of the
// pieces, the table holds each base once, in ascending order, and the limit of 10^6 bases
// counts distinct bases; compared with a set built base by base from the same pieces.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "options.h"

namespace {

constexpr const char* kTooMany = "a table cannot have more than 1000000 bases";

struct Piece {
  int64_t low, high;
};

std::string listOf(const std::vector<Piece>& pieces) {
  std::string text;
  for (const Piece& piece : pieces) {
    if (!text.empty()) text += ',';
    text += std::to_string(piece.low);
    if (piece.high != piece.low) text += '-' + std::to_string(piece.high);
  }
  return text;
}

// Parses the pieces and compares the bases, or the refusal, with the set of them.
void expectBasesOf(const std::vector<Piece>& pieces) {
  const std::string list = listOf(pieces);
  SCOPED_TRACE(list.size() < 200 ? list : list.substr(0, 200) + "...");
  std::set<int32_t> expected;
  for (const Piece& piece : pieces)
    for (int64_t b = piece.low; b <= piece.high; ++b) expected.insert(int32_t(b));
  CkOptions options;
  const char* fault = parseCkOptions({"S", list}, options);
  if (expected.size() > 1000000) {
    EXPECT_STREQ(fault, kTooMany);
    return;
  }
  ASSERT_EQ(fault, nullptr) << fault;
  EXPECT_EQ(options.bases, std::vector<int32_t>(expected.begin(), expected.end()));
}

TEST(CkOptions, BasesAreTheDistinctOnesOfTheListInAscendingOrder) {
  std::mt19937_64 random(20261209);
  for (int trial = 0; trial < 500; ++trial) {
    std::vector<Piece> pieces(1 + random() % 6);
    for (Piece& piece : pieces) {
      piece.low = 2 + int64_t(random() % 200);
      piece.high = random() % 3 == 0 ? piece.low : piece.low + int64_t(random() % 60);
    }
    expectBasesOf(pieces);
  }
}

TEST(CkOptions, TheLimitCountsDistinctBases) {
  const std::vector<std::vector<Piece>> cases = {
      {{2, 1000001}, {2, 1000001}},                  // 10^6 bases, each listed twice
      {{2, 600000}, {300000, 1000001}},              // overlapping ranges, 10^6 in all
      {{500002, 1000001}, {2, 500001}, {7, 7}},      // adjacent, unsorted, one repeated
      {{2, 600000}, {300000, 1000002}},              // 10^6 + 1
      {{2, 500000}, {500002, 1000002}},              // 10^6 + 1 with a gap
  };
  for (const std::vector<Piece>& pieces : cases) expectBasesOf(pieces);
  // Far past the limit, repeated: refused before any base is listed.
  CkOptions options;
  EXPECT_STREQ(parseCkOptions({"S", "2-1000000000,2-1000000000,2-3"}, options), kTooMany);
  EXPECT_TRUE(options.bases.empty());
}

}  // namespace
