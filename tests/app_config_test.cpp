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

TEST(ConfigTest, LoadingResetsEarlierSettings) {
  ASSERT_EQ(load(withRequired("kdisp=7\n")), nullptr);
  EXPECT_STREQ(load("mink=1\nmaxk=2\nc=1\n"), "base must be specified in pelund.ini");
}

}  // namespace
