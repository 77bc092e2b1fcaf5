// How lines are cut into writes that stay within one page of the file, and appends of
// whole lines through the platform layer (on POSIX, through the writing helper), and
// small files read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "e2e.h"
#include "line_pieces.h"
#include "platform.h"

namespace {

// Lines of the given lengths (newline included), each filled with one letter.
std::string linesOf(std::initializer_list<size_t> lengths) {
  std::string text;
  char letter = 'a';
  for (size_t length : lengths) text += std::string(length - 1, letter++) + "\n";
  return text;
}

TEST(LinePiecesTest, WritesStayWithinAPageExceptALineThatStraddlesIt) {
  struct Case {
    const char* name;
    std::string text;
    int64_t length;  // of the file before the write
    std::vector<size_t> ends;
  };
  const Case cases[] = {
      {"all fit", linesOf({10, 20, 30}), 0, {60}},
      {"up to the page end exactly", linesOf({4000, 96, 5}), 0, {4096, 4101}},
      {"the straddling line alone", linesOf({10, 20}), 4090, {10, 30}},
      {"page end crossed after two lines", linesOf({30, 30, 30}), 4096 - 70, {60, 90}},
      {"a line longer than a page", linesOf({9000, 10}), 100, {9000, 9010}},
      {"no newline at the end", "abc\ndef", 4094, {4, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<size_t> ends;
    int64_t length = c.length;
    for (size_t begin = 0; begin < c.text.size();) {
      const size_t end = nextPieceEnd(c.text.data(), begin, c.text.size(), length);
      ASSERT_GT(end, begin);
      ends.push_back(end);
      length += int64_t(end - begin);
      begin = end;
    }
    EXPECT_EQ(ends, c.ends);
  }
}

// Appends of up to 1.5 MB of lines, through one open file and then another, read back
// whole and in order; a failed write gives its cause.
TEST(PlatformTest, AppendedLinesReadBackWhole) {
  e2e::TempDir dir;
  std::string expected;
  for (const char* name : {"first.txt", "second.txt"}) {
    std::string cause;
    const PlatformFile file = platformOpenAppend(dir.file(name).c_str(), true, cause);
    ASSERT_NE(file, kNoFile) << cause;
    expected.clear();
    for (int batch = 0; batch < 40; ++batch) {
      std::string lines;
      for (int line = 0; line < 50 + batch * 2000; ++line) lines += std::to_string(batch * 100000 + line) + "  6  [7, 13]\n";
      ASSERT_TRUE(platformAppendLines(file, lines.data(), lines.size(), cause)) << cause;
      expected += lines;
      if (batch % 8 == 0) {
        ASSERT_TRUE(platformFlushLines(file, cause)) << cause;
        ASSERT_EQ(platformFileLength(file), int64_t(expected.size()));
      }
    }
    platformCloseFile(file);
    EXPECT_EQ(dir.read(name), expected);
  }
  std::string cause;
  const PlatformFile full = platformOpenAppend("/dev/full", false, cause);
  ASSERT_NE(full, kNoFile) << cause;
  EXPECT_FALSE(platformAppendLines(full, "1  2  [3, 5]\n", 13, cause) && platformFlushLines(full, cause));
  EXPECT_EQ(cause, "No space left on device");
  platformCloseFile(full);
}

// A cut the system refuses (a descriptor open for reading only) is false with the
// system's cause, which the callers' messages end with, and leaves the file whole.
TEST(PlatformTest, ACutThatFailsNamesItsCause) {
  e2e::TempDir dir;
  dir.write("lines.txt", "1  2  [3, 5]\n");
  const int reading = open(dir.file("lines.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reading, 0);
  std::string cause;
  EXPECT_FALSE(platformTruncate(reading, 0, cause));
  EXPECT_EQ(cause, "Invalid argument");
  close(reading);
  EXPECT_EQ(dir.read("lines.txt"), "1  2  [3, 5]\n");
}

// A small file is read whole; a larger one as its first limit+1 bytes, which tell the
// caller that it passes the limit; a missing one is missing. Sizes around the steps
// in which the buffer grows, limits far above and at the size.
TEST(PlatformTest, SmallFilesReadBackWholeOrOneBytePastTheLimit) {
  e2e::TempDir dir;
  std::mt19937_64 random(444);
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, 8192, 8193, 70000, 300001};
  for (size_t size : sizes) {
    std::string content(size, '\0');
    for (char& byte : content) byte = char('a' + random() % 26);
    dir.write("file.txt", content);
    for (size_t limit : {size_t(1) << 31, size + 1, size, size > 0 ? size - 1 : 0, size / 3, size_t(5000)}) {
      SCOPED_TRACE(std::to_string(size) + " bytes, limit " + std::to_string(limit));
      std::string text = "left over", cause;
      ASSERT_EQ(platformReadSmallFile(dir.file("file.txt").c_str(), limit, text, cause), ReadOutcome::read) << cause;
      EXPECT_EQ(text, content.substr(0, limit + 1));
    }
  }
  std::string text, cause;
  EXPECT_EQ(platformReadSmallFile(dir.file("missing.txt").c_str(), 100, text, cause), ReadOutcome::missing);
}

}  // namespace
