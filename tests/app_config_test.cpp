// The configuration reader on in-memory files: values, defaults, the order of the
// checks and the 99-character pieces of long lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config.h"

namespace {

const char* load(const std::string& text) {
  std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (text.empty()) file = std::fopen("/dev/null", "r");
  const char* fault = loadInputs(file);
  std::fclose(file);
  return fault;
}

std::string withRequired(const std::string& extra) { return "base=10\nmink=1\nmaxk=100\nc=-1\n" + extra; }

struct FaultCase {
  std::string file;
  const char* message;
};

TEST(ConfigTest, FirstFaultIsReported) {
  const FaultCase cases[] = {
      {"", "base must be specified in pelund.ini"},
      {"# nothing here\n\n", "base must be specified in pelund.ini"},
      {"base =10\nBASE=10\n base=10\nmink=1\nmaxk=2\nc=1\n", "base must be specified in pelund.ini"},
      {"base=-999\nmink=1\nmaxk=2\nc=1\n", "base must be specified in pelund.ini"},
      {"base=10\nmaxk=2\nc=1\n", "mink must be specified in pelund.ini"},
      {"base=10\nmink=1\nc=1\n", "maxk must be specified in pelund.ini"},
      {"base=1\nmink=1\nmaxk=2\n", "c must be specified in pelund.ini"},
      {"base=abc\nmink=1\nmaxk=2\nc=1\n", "base cannot be less than 2"},
      {"base=\nmink=1\nmaxk=2\nc=1\n", "base cannot be less than 2"},
      {"base=1000000001\nmink=1\nmaxk=2\nc=1\n", "base cannot be greater than 1e9"},
      {"base=99999999999999999999999\nmink=1\nmaxk=2\nc=1\n", "base cannot be greater than 1e9"},
      {"base=-99999999999999999999999\nmink=1\nmaxk=2\nc=1\n", "base cannot be less than 2"},
      {"base=10\nmink=5\nmaxk=3\nc=1\n", "mink cannot be greater than maxk"},
      {"base=10\nmink=0\nmaxk=-1\nc=1\n", "mink cannot be greater than maxk"},
      {"base=10\nmink=0\nmaxk=0\nc=1\n", "mink cannot be less than 1"},
      {"base=10\nmink=1\nmaxk=1000000000000000001\nc=1\n", "maxk cannot be greater than 1e18"},
      {"base=10\nmink=1\nmaxk=99999999999999999999999\nc=1\n", "maxk cannot be greater than 1e18"},
      {"base=10\nmink=1\nmaxk=2\nc=0\n", "c must be -1 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=\n", "c must be -1 or 1"},
      {"base=10\nmink=1\nmaxk=2\nc=2\n", "c must be -1 or 1"},
      {withRequired("period=1\n"), "period cannot be less than 2"},
      {withRequired("period=-5\n"), "period cannot be less than 2"},
      {withRequired("period=5041\n"), "period cannot be greater than 5040"},
      {withRequired("period=4294967440\n"), "period cannot be greater than 5040"},
      {withRequired("maxfact=1e9\n"), "maxfact cannot be less than 5"},
      {withRequired("maxfact=4\n"), "maxfact cannot be less than 5"},
      {withRequired("maxfact=1000000001\n"), "maxfact cannot be greater than 1e9"},
      {withRequired("facdisp=-1\n"), "facdisp cannot be negative"},
      {withRequired("facdisp=1000000001\n"), "facdisp cannot be greater than 1e9"},
      {withRequired("kdisp=-1\n"), "kdisp cannot be negative"},
      {withRequired("kdisp=1000000001\n"), "kdisp cannot be greater than 1e9"},
      {withRequired("threads=-1\n"), "threads cannot be negative"},
      {withRequired("threads=1025\n"), "threads cannot be greater than 1024"},
  };
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(file);
    const char* fault = load(file);
    ASSERT_NE(fault, nullptr);
    EXPECT_STREQ(fault, message);
  }
}

TEST(ConfigTest, ValuesDefaultsAndConversions) {
  ASSERT_EQ(load("base=10\nmink=1\nmaxk=1000000\nc=-1\n"), nullptr);
  EXPECT_EQ(gi_base, 10);
  EXPECT_EQ(gi_minK, 1);
  EXPECT_EQ(gi_maxK, 1000000);
  EXPECT_EQ(gi_c, -1);
  EXPECT_EQ(gi_period, 144);
  EXPECT_EQ(gi_maxFact, 1000000);
  EXPECT_EQ(gi_facDisp, 0);
  EXPECT_EQ(gi_kDisp, 0);
  EXPECT_EQ(gi_threads, 0);

  // Trailing text, a blank after '=', '+' signs, CR LF line ends, zero defaults.
  ASSERT_EQ(load("base=10xyz\r\nmink= 7\r\nmaxk=+1000000000000000000\r\nc=+1\r\nperiod=0\r\nmaxfact=0\r\n"
                 "facdisp=0\r\nkdisp=0\r\nthreads=2\r\n"),
            nullptr);
  EXPECT_EQ(gi_base, 10);
  EXPECT_EQ(gi_minK, 7);
  EXPECT_EQ(gi_maxK, 1000000000000000000);
  EXPECT_EQ(gi_c, 1);
  EXPECT_EQ(gi_period, 144);
  EXPECT_EQ(gi_maxFact, 1000000);
  EXPECT_EQ(gi_threads, 2);

  // Bounds that are valid, and the last of two lines winning.
  ASSERT_EQ(load("base=1000000000\nmink=5\nmaxk=5\nc=1\nperiod=5040\nmaxfact=1000000000\nfacdisp=1000000000\n"
                 "kdisp=1000000000\nbase=2\nperiod=36\n"),
            nullptr);
  EXPECT_EQ(gi_base, 2);
  EXPECT_EQ(gi_period, 36);
  EXPECT_EQ(gi_maxFact, 1000000000);
  EXPECT_EQ(gi_facDisp, 1000000000);
  EXPECT_EQ(gi_kDisp, 1000000000);
}

TEST(ConfigTest, LongLinesAreReadIn99CharacterPieces) {
  // The 100th character of a long line starts a piece of its own, matched as a line.
  std::string filler(99, 'x');
  ASSERT_EQ(load(withRequired(filler + "kdisp=5\n")), nullptr);
  EXPECT_EQ(gi_kDisp, 5);
  // One character less and the key stands inside the first piece: not a setting.
  ASSERT_EQ(load(withRequired(filler.substr(1) + "kdisp=5\n")), nullptr);
  EXPECT_EQ(gi_kDisp, 0);
  // A 10,000-character line is read without harm.
  ASSERT_EQ(load(withRequired(std::string(10000, '9') + "\n")), nullptr);
}

// With wide=1 the range is read at full width and checked in the same order against
// the wide caps; within the 64-bit caps it stays an ordinary search, its faults the
// ordinary ones.
TEST(ConfigTest, WideRangesAreCheckedInOrderAtFullWidth) {
  const std::string k256 = "115792089237316195423570985008687907853269984665640564039457584007913129639935";
  const std::string wide = "wide=1\nbase=10\nc=1\n";
  const FaultCase cases[] = {
      {wide + "mink=1\nmaxk=" + k256 + "\nbase=1\n", "base cannot be less than 2"},
      {wide + "mink=10000000000000000000000\nmaxk=9999999999999999999999\n", "mink cannot be greater than maxk"},
      {wide + "mink=-10000000000000000000000\nmaxk=-20000000000000000000000\n", "mink cannot be greater than maxk"},
      {wide + "mink=-5\nmaxk=10000000000000000000000\n", "mink cannot be less than 1"},
      {wide + "mink=0000\nmaxk=1\n", "mink cannot be less than 1"},
      {wide + "mink=1\nmaxk=" + k256.substr(0, 77) + "6\n", "maxk cannot be greater than 2^256-1"},
      {wide + "mink=1\nmaxk=1" + k256 + "\n", "maxk cannot be greater than 2^256-1"},
      {wide + "mink=1\nmaxk=" + k256 + "\nbase=1000000001\n", "base cannot be greater than 1e9"},
      {wide + "mink=1\nmaxk=2\nc=3\n", "c must be -1 or 1"},
      {wide + "mink=1\nmaxk=2\nperiod=1\nmaxfact=4\n", "period cannot be less than 2"},
      {wide + "mink=1\nmaxk=2\nperiod=65521\n", "period cannot be greater than 65520"},
      {wide + "mink=1\nmaxk=2\nmaxfact=-1\n", "maxfact cannot be less than 5"},
      {wide + "mink=1\nmaxk=2\nmaxfact=18446744073709551616\n", "maxfact cannot be greater than 2^64-1"},
      // Within the caps, the ordinary checks and words.
      {wide + "mink=1\nmaxk=2\nfacdisp=-1\n", "facdisp cannot be negative"},
      {wide + "mink=1\nmaxk=1000000000000000000\nperiod=5040\nthreads=2000\n", "threads cannot be greater than 1024"},
      {wide + "mink=1\nmaxk=1000000000000000001\nalgebraic=1\n",
       "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040"},
      {wide + "mink=1\nmaxk=5\nperiod=5041\nengine=sieve\n",
       "engine=sieve needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040"},
      {withRequired("wide=2\n"), "wide must be 0 or 1"},
      {withRequired("wide=1\nfactoreffort=-1\n"), "factoreffort cannot be negative"},
      {withRequired("factoreffort=86401\n"), "factoreffort cannot be greater than 86400"},
      // Without wide=1 nothing changes.
      {withRequired("maxk=1000000000000000001\n"), "maxk cannot be greater than 1e18"},
      {withRequired("period=5041\n"), "period cannot be greater than 5040"},
  };
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(file);
    const char* fault = load(file);
    ASSERT_NE(fault, nullptr);
    EXPECT_STREQ(fault, message);
  }

  struct Beyond {
    std::string extra;
    bool beyond;
  };
  const Beyond ranges[] = {
      {"mink=1\nmaxk=1000000000000000000\nperiod=5040\nmaxfact=1000000000\n", false},
      {"mink=1\nmaxk=1000000000000000001\n", true},
      {"mink=1\nmaxk=5\nmaxfact=1000000001\n", true},
      {"mink=1\nmaxk=5\nperiod=5041\n", true},
  };
  for (const auto& [extra, beyond] : ranges) {
    SCOPED_TRACE(extra);
    // A build without the factoring library refuses maxfact above 1e9 with the rest of
    // the configuration, before anything is touched.
    const bool refused = !PELUND_FACTORING_BUILT && extra.find("maxfact=1000000001") != std::string::npos;
    ASSERT_STREQ(load(wide + extra), refused ? "primes above 1e9 need pelund built with FLINT" : nullptr);
    if (refused) continue;
    EXPECT_EQ(g_wide.beyond, beyond);
    EXPECT_EQ(gi_wide, 1);
    if (!beyond) {
      EXPECT_EQ(gi_maxK, std::stoll(extra.substr(extra.find("maxk=") + 5)));
    }
  }

  const std::string maxFact = PELUND_FACTORING_BUILT ? "18446744073709551615" : "5";  // 5: needs no factoring
  ASSERT_EQ(load(wide + "mink= +000123\nmaxk=" + k256 + "xyz\nmaxfact=" + maxFact + "\nperiod=65520\nfactoreffort=0\n"),
            nullptr);
  EXPECT_TRUE(g_wide.beyond);
  EXPECT_EQ(g_wide.minK, "123");
  EXPECT_EQ(g_wide.maxK, k256);
  EXPECT_EQ(g_wide.maxFact, std::stoull(maxFact));
  EXPECT_EQ(g_wide.period, 65520u);
  EXPECT_EQ(g_wide.factorEffort, 0);
  ASSERT_EQ(load(withRequired("")), nullptr);
  EXPECT_FALSE(g_wide.beyond);
  EXPECT_EQ(gi_wide, 0);
}

TEST(ConfigTest, LoadingResetsEarlierSettings) {
  ASSERT_EQ(load(withRequired("kdisp=7\n")), nullptr);
  EXPECT_STREQ(load("mink=1\nmaxk=2\nc=1\n"), "base must be specified in pelund.ini");
}

}  // namespace
