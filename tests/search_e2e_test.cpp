// The search through the real binary: console bytes (stamps masked), pelund.log,
// covering.txt and the exit status for the worked examples and edge cases of the
// table phase, the k walk and the written lines, and real SIGINT/SIGTERM sent to the
// running process during the factor load and during the k walk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "e2e.h"
#include "rounds.h"
#include "search_helpers.h"

namespace {

using e2e::statusLine;

struct Settings {
  int32_t b, c, P, M;
  int64_t minK, maxK;
  int32_t facDisp = 0;
  int64_t kDisp = 0;
};

std::string iniOf(const Settings& s) {
  return "base=" + std::to_string(s.b) + "\nmink=" + std::to_string(s.minK) + "\nmaxk=" + std::to_string(s.maxK) +
         "\nc=" + std::to_string(s.c) + "\nperiod=" + std::to_string(s.P) + "\nmaxfact=" + std::to_string(s.M) +
         "\nfacdisp=" + std::to_string(s.facDisp) + "\nkdisp=" + std::to_string(s.kDisp) + "\n";
}

std::string form(const Settings& s) { return (s.c == 1 ? "S" : "R") + std::to_string(s.b); }

std::string banner(const Settings& s) {
  return "Covering sets for " + form(s) + " k=" + std::to_string(s.minK) + " to " + std::to_string(s.maxK) +
         " with factor<=" + std::to_string(s.M) + " and period=" + std::to_string(s.P);
}

std::string closing(uint32_t found, const Settings& s) {
  return std::to_string(found) + " covering set" + (found == 1 ? "" : "s") + " found for " + form(s);
}

// Console of a run that ends normally: banner, progress text, closing report.
std::string console(const Settings& s, const std::string& progress, uint32_t found) {
  return "\n" + statusLine(banner(s)) + "\n" + progress + statusLine(closing(found, s));
}

std::string logEntry(const std::string& message) { return "Status (STAMP):  " + message + "\n\n"; }

std::string factorList(const std::vector<FactorPeriod>& pairs) {
  if (pairs.empty()) return "";
  std::string text = "factor and period list:\n";
  for (const FactorPeriod& p : pairs) text += std::to_string(p.factor) + "  " + std::to_string(p.period) + "\n";
  return text + "\n";
}

struct Run {
  e2e::TempDir dir;
  e2e::RunResult result;
  std::string out, log;
};

std::unique_ptr<Run> runOnce(const Settings& s, const e2e::Interrupt& interrupt, const std::string& extra) {
  auto run = std::make_unique<Run>();
  run->dir.write("pelund.ini", iniOf(s) + extra);
  run->result = e2e::run(run->dir, interrupt);
  run->out = e2e::maskStamps(run->result.out);
  run->log = e2e::maskStamps(run->dir.read("pelund.log"));
  return run;
}

// Runs pelund with the default engine; a run that ends by itself is repeated with the
// residue engine, which must print, log and write exactly the same.
std::unique_ptr<Run> runPelund(const Settings& s, const e2e::Interrupt& interrupt = {}) {
  auto run = runOnce(s, interrupt, "");
  if (interrupt.signal != 0) return run;
  const auto residue = runOnce(s, interrupt, "engine=residue\n");
  EXPECT_EQ(residue->out, run->out) << "engine=residue";
  EXPECT_EQ(residue->log, run->log) << "engine=residue";
  EXPECT_EQ(residue->dir.read("covering.txt"), run->dir.read("covering.txt")) << "engine=residue";
  EXPECT_EQ(residue->result.exitStatus, run->result.exitStatus) << "engine=residue";
  return run;
}

// The covered k of a range by direct arithmetic: not skipped and every exponent
// 1..2P divided by some candidate (at least two candidates are needed).
std::vector<int64_t> coverableK(const Settings& s) {
  const CandidateTable table = helpers::bruteTable(s.b, s.P, s.M);
  const std::vector<uint32_t> candidates = helpers::primesOf(table.factorPeriodList);
  std::vector<int64_t> covered;
  if (candidates.size() < 2) return covered;
  for (int64_t k = s.minK; k <= s.maxK; ++k) {
    bool skipped = k % s.b == 0;
    for (int32_t f : table.baseMinusOneFactors) skipped |= (k + s.c) % f == 0;
    if (!skipped && helpers::uncoveredExponents(k, s.b, s.c, s.P, candidates).empty()) covered.push_back(k);
  }
  return covered;
}

struct Line {
  int64_t k;
  std::vector<uint32_t> primes;
};

// Parses covering.txt, requiring every line to be complete and well formed.
std::vector<Line> parseLines(const std::string& text) {
  static const std::regex shape(R"((\d+)  (\d+)  \[(\d+(, \d+)*)\]\n)");
  std::vector<Line> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    at += line.size();
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, shape)) << "incomplete or malformed line: " << line;
    if (match.empty()) continue;
    Line parsed{std::stoll(match[1]), {}};
    std::string primes = match[3];
    for (std::size_t at = 0; at < primes.size();) {
      std::size_t used = 0;
      parsed.primes.push_back(static_cast<uint32_t>(std::stoul(primes.substr(at), &used)));
      at += used + 2;
    }
    lines.push_back(parsed);
  }
  return lines;
}

void expectLinesCover(const std::vector<Line>& lines, const Settings& s) {
  for (const Line& line : lines)
    EXPECT_TRUE(helpers::uncoveredExponents(line.k, s.b, s.c, s.P, line.primes).empty()) << line.k;
}

TEST(SearchEndToEnd, FactorAndPeriodListInTheLog) {
  const Settings s{10, -1, 144, 1000, 1, 3000};
  const auto run = runPelund(s);
  const uint32_t found = static_cast<uint32_t>(coverableK(s).size());
  EXPECT_EQ(run->out, console(s, "", found));
  EXPECT_EQ(run->log, logEntry(banner(s)) +
                          "factor and period list:\n7  6\n11  2\n13  6\n17  16\n19  18\n37  3\n73  8\n101  4\n137  8\n\n" +
                          logEntry(closing(found, s)));
  EXPECT_EQ(run->result.exitStatus, 0);
}

TEST(SearchEndToEnd, TooFewCandidatesEndWithoutAWalk) {
  struct Case { Settings s; std::vector<FactorPeriod> list; };
  const std::vector<Case> cases = {
      {{2, -1, 2, 1000, 1, 1000000000}, {{3, 2}}},
      {{2, 1, 2, 1000, 1, 1000000000}, {{3, 2}}},
      {{3, -1, 2, 1000, 1, 1000000000}, {}},
      {{3, 1, 2, 1000, 1, 1000000000}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(banner(c.s));
    const auto run = runPelund(c.s);
    EXPECT_EQ(run->out, console(c.s, "", 0));
    EXPECT_EQ(run->log, logEntry(banner(c.s)) + factorList(c.list) + logEntry(closing(0, c.s)));
    EXPECT_FALSE(run->dir.exists("covering.txt"));
    EXPECT_EQ(run->result.exitStatus, 0);
  }
}

// Two candidates of period 2 cover every term between them: base 14 with c = +1 (3
// and 5) and base 34 with c = -1 (5 and 7). Every line is re-proved by pelund-verify.
TEST(SearchEndToEnd, TwoCandidatesMakeCoveringSets) {
  struct Case { Settings s; std::vector<FactorPeriod> list; uint32_t found; std::string first; };
  const std::vector<Case> cases = {
      {{14, 1, 2, 1000000, 1, 3000}, {{3, 2}, {5, 2}}, 342, "4  2  [3, 5]\n"},
      {{34, -1, 2, 1000, 1, 3000}, {{5, 2}, {7, 2}}, 102, "6  2  [5, 7]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(banner(c.s));
    const auto run = runPelund(c.s);
    EXPECT_EQ(run->out, console(c.s, "", c.found));
    EXPECT_EQ(run->log, logEntry(banner(c.s)) + factorList(c.list) + logEntry(closing(c.found, c.s)));
    const std::vector<Line> lines = parseLines(run->dir.read("covering.txt"));
    ASSERT_EQ(lines.size(), c.found);
    EXPECT_EQ(run->dir.read("covering.txt").substr(0, c.first.size()), c.first);
    EXPECT_EQ(lines.size(), coverableK(c.s).size());
    const e2e::RunResult verified = e2e::verifyResults(run->dir);
    EXPECT_EQ(verified.exitStatus, 0) << verified.out;
  }
}

TEST(SearchEndToEnd, Sierpinski78557IsTheOnlyLineBelow200000) {
  const Settings s{2, 1, 36, 100, 1, 199999};
  const auto run = runPelund(s);
  EXPECT_EQ(run->dir.read("covering.txt"), "78557  36  [3, 5, 7, 13, 19, 37, 73]\n");
  EXPECT_EQ(run->out, console(s, "", 1));
  EXPECT_EQ(run->result.exitStatus, 0);
}

TEST(SearchEndToEnd, OneKThatShrinks) {
  const Settings s{10, -1, 144, 100000, 93435, 93435};
  const auto run = runPelund(s);
  EXPECT_EQ(run->dir.read("covering.txt"), "93435  6  [7, 11, 13, 37]\n");
  EXPECT_EQ(run->out, console(s, "", 1));
  EXPECT_EQ(run->log, logEntry(banner(s)) +
                          factorList({{7, 6}, {11, 2}, {13, 6}, {17, 16}, {19, 18}, {37, 3}, {73, 8}, {101, 4},
                                      {137, 8}, {3169, 72}, {8929, 144}, {9901, 12}, {52579, 18}, {98641, 72}}) +
                          logEntry(closing(1, s)));
}

TEST(SearchEndToEnd, SeveralSetsInAscendingKWithThePluralReport) {
  const Settings s{10, -1, 144, 100000, 10000, 20000};
  const auto run = runPelund(s);
  const std::vector<Line> lines = parseLines(run->dir.read("covering.txt"));
  std::vector<int64_t> written;
  for (const Line& line : lines) written.push_back(line.k);
  const std::vector<int64_t> expected = coverableK(s);
  ASSERT_GT(expected.size(), 1u);
  EXPECT_EQ(written, expected);
  expectLinesCover(lines, s);
  EXPECT_EQ(run->out, console(s, "", static_cast<uint32_t>(expected.size())));
}

TEST(SearchEndToEnd, ProgressLinesWithTheirBackspaces) {
  const Settings s{10, -1, 144, 100000, 93430, 93440, 25000, 5};
  const auto run = runPelund(s);
  const std::string loading(35, '\b'), searching(65, '\b');
  std::string progress;
  for (const char* n : {"25000", "50000", "75000", "100000"}) progress += "Loading at factor = " + std::string(n) + "." + loading;
  // 93430 is skipped (a multiple of 10) but still shown; 93435 is shown before it is searched.
  progress += "Searching at k = 93430. 0 covering sets found. " + searching;
  progress += "Searching at k = 93435. 0 covering sets found. " + searching;
  progress += "Searching at k = 93440. 1 covering set found. " + searching;
  EXPECT_EQ(run->out, console(s, progress, 1));
  EXPECT_EQ(run->dir.read("covering.txt"), "93435  6  [7, 11, 13, 37]\n");
}

// A directory named covering.txt is neither deleted nor written into.
TEST(SearchEndToEnd, DirectoryNamedLikeTheResultsIsAnError) {
  const Settings s{10, -1, 144, 100000, 93435, 93435};
  for (bool empty : {true, false}) {
    e2e::TempDir dir;
    dir.write("pelund.ini", iniOf(s));
    std::filesystem::create_directory(dir.file("covering.txt"));
    if (!empty) dir.write("covering.txt/keep", "x");
    const e2e::RunResult result = e2e::run(dir);
    EXPECT_EQ(e2e::maskStamps(result.out), e2e::errorLine("covering.txt cannot be removed: Is a directory"));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("covering.txt")));
    EXPECT_FALSE(dir.exists("pelund.log"));
  }
}

// The prime buffer for the largest factor bound needs about 222 MB; with the address
// space limited to 150 MB it cannot be had.
// The table phase streams its primes: the largest factor bound runs in a small,
// limited address space (the buffered table would need about 222 MB for it).
TEST(SearchEndToEnd, LargestFactorBoundRunsInLimitedMemory) {
  if (e2e::kSanitized) GTEST_SKIP() << "the address sanitizer needs more address space than the limit allows";
  const Settings s{10, -1, 144, 1000000000, 93430, 93440};
  e2e::TempDir dir;
  dir.write("pelund.ini", iniOf(s) + "threads=2\n");
  dir.write("limited.sh", std::string("ulimit -v 100000\nexec '") + PELUND_BINARY + "'\n");
  const e2e::RunResult result = e2e::run(dir, {}, dir.file("limited.sh"), std::chrono::seconds(120), "/bin/sh");
  EXPECT_EQ(result.exitStatus, 0);
  const std::string console = e2e::maskStamps(result.out);
  EXPECT_EQ(console.substr(0, 2 + statusLine(banner(s)).size()), "\n" + statusLine(banner(s)) + "\n");
  EXPECT_NE(console.find("covering set"), std::string::npos) << console;
  EXPECT_NE(dir.read("pelund.log").find("factor and period list:\n7  6\n11  2\n"), std::string::npos);
  EXPECT_EQ(e2e::verifyResults(dir).exitStatus, 0);
}

// A long walk, interrupted once it is under way; nothing is printed between the
// banner and the acknowledgement, so the closing line must follow it directly.
TEST(SearchEndToEnd, SignalDuringTheKWalk) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const Settings s{10, -1, 144, 1000, 1, 1000000000000};
    const auto run = runPelund(s, {signal, "Covering sets for", std::chrono::milliseconds(400)});
    const std::string head = "\n" + statusLine(banner(s)) + "\n";
    ASSERT_EQ(run->out.substr(0, head.size()), head);
    std::smatch match;
    const std::string tail = run->out.substr(head.size());
    ASSERT_TRUE(std::regex_match(tail, match, std::regex("\nCtrl-C accepted. Ending k search at k=(\\d+)\\.\n"))) << tail;
    const int64_t next = std::stoll(match[1]);
    EXPECT_GT(next, 1);
    EXPECT_EQ(run->result.exitStatus, 128 + signal);
    EXPECT_EQ(run->log, logEntry(banner(s)) + factorList(helpers::bruteTable(10, 144, 1000).factorPeriodList) +
                            logEntry("Search interrupted by signal " + std::to_string(signal) + " at k=" +
                                     std::to_string(next)));
    const std::vector<Line> lines = parseLines(run->dir.read("covering.txt"));
    for (const Line& line : lines) EXPECT_LT(line.k, next);
    expectLinesCover(lines, s);
  }
}

// A stop sent as soon as the banner shows, in each program that shows one: the banner
// and the blank line after it go out in one piece, so the acknowledgement and the
// closing line follow them whole, wherever the stop lands (the table phase or the walk).
TEST(SearchEndToEnd, AStopAsTheBannerShowsComesAfterItsBlankLine) {
  struct Program {
    std::string ini, arguments, binary;
  };
  const std::string sparse = "base=7\nc=1\nperiod=144\nmaxfact=100000\nmink=1\nmaxk=1000000000000000000\nthreads=2\n";
  const Program programs[] = {{sparse, "", PELUND_BINARY},
                              {sparse + "wide=1\n", "", PELUND_BINARY},
                              {"", "SR 2-400 --period 144 --maxk 1000000000000 --threads 2", PELUND_CK_BINARY}};
  const std::regex shape("\n\033\\[32mStatus \\([^)]*\\):  [^\n]*\n\033\\[0m\n\nCtrl-C accepted\\. Ending [^\n]*\\.\n");
  for (const Program& program : programs)
    for (int run = 0; run < 10; ++run) {
      SCOPED_TRACE(program.ini + program.arguments);
      e2e::TempDir dir;
      if (!program.ini.empty()) dir.write("pelund.ini", program.ini);
      const e2e::RunResult result =
          e2e::run(dir, {SIGINT, "Status"}, program.arguments, std::chrono::seconds(60), program.binary);
      EXPECT_EQ(result.exitStatus, 130);
      EXPECT_TRUE(std::regex_match(result.out, shape)) << result.out;
    }
}

TEST(SearchEndToEnd, SignalDuringTheFactorLoad) {
  const Settings s{10, -1, 144, 1000000000, 1, 1000, 1000000, 0};
  const auto run = runPelund(s, {SIGINT, "Loading at factor", std::chrono::milliseconds(50)});
  const std::string head = "\n" + statusLine(banner(s)) + "\n";
  ASSERT_EQ(run->out.substr(0, head.size()), head);
  // Progress lines, the acknowledgement, at most one more progress line written
  // before the poll, then the closing line with the prime about to be examined.
  const std::string progress = "(Loading at factor = \\d+000000\\.\b{35})";
  std::smatch match;
  const std::string tail = run->out.substr(head.size());
  ASSERT_TRUE(std::regex_match(tail, match,
                               std::regex(progress + "+\nCtrl-C accepted. " + progress + "?Ending factor load at factor=(\\d+)\\.\n")))
      << tail;
  const uint32_t prime = static_cast<uint32_t>(std::stoul(match[3]));
  EXPECT_EQ(helpers::distinctPrimeFactors(prime), std::vector<int32_t>{static_cast<int32_t>(prime)});
  EXPECT_EQ(run->log, logEntry(banner(s)) + logEntry("Search interrupted by signal 2 at factor=" + std::to_string(prime)));
  EXPECT_FALSE(run->dir.exists("covering.txt"));
  EXPECT_EQ(run->result.exitStatus, 130);
}

// The bundled examples for base 2: the smallest Sierpinski number 78557, and the
// Riesel numbers 509203, 762701 and 992077, which share the covering set
// {3, 5, 7, 13, 17, 241}.
TEST(SearchEndToEnd, BundledBase2Examples) {
  const std::filesystem::path examples = std::filesystem::path(__FILE__).parent_path().parent_path() / "examples";
  struct Case { std::string name, covering, report; };
  for (const Case& c : {Case{"sierpinski2-p36", "78557  36  [3, 5, 7, 13, 19, 37, 73]\n", "1 covering set found for S2"},
                        Case{"riesel2-p24",
                             "509203  24  [3, 5, 7, 13, 17, 241]\n762701  24  [3, 5, 7, 13, 17, 241]\n"
                             "992077  24  [3, 5, 7, 13, 17, 241]\n",
                             "3 covering sets found for R2"}}) {
    SCOPED_TRACE(c.name);
    e2e::TempDir dir;
    std::filesystem::copy_file(examples / c.name / "pelund.ini", dir.file("pelund.ini"));
    const e2e::RunResult result = e2e::run(dir);
    EXPECT_EQ(dir.read("covering.txt"), c.covering);
    const std::string out = e2e::maskStamps(result.out);
    EXPECT_EQ(out.substr(out.size() - statusLine(c.report).size()), statusLine(c.report));
    EXPECT_EQ(result.exitStatus, 0);
  }
}

}  // namespace
