// Reading and reporting a covering.txt for pelund-verify (see verify_stream.h).
#include "verify_stream.h"

#include <cinttypes>
#include <string>

namespace verify {

namespace {

// What a bad line looks like in the report: without its newline, control bytes as
// \xNN, and cut at 200 characters.
std::string shown(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  std::string out;
  for (size_t i = 0; i < text.size() && i < 200; ++i) {
    unsigned char ch = static_cast<unsigned char>(text[i]);
    if (ch < 0x20 || ch == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", ch);
      out += escaped;
    } else {
      out += static_cast<char>(ch);
    }
  }
  if (text.size() > 200) out += "...";
  return out;
}

constexpr size_t kMaxLineLength = 65536;

// One line including its '\n' (none at the end of a file that lacks it); false at the
// end of the stream. Of a line longer than kMaxLineLength characters only the first
// kMaxLineLength are kept.
bool readLine(std::FILE* in, std::string& text, bool& tooLong) {
  text.clear();
  tooLong = false;
  int ch = 0;
  bool any = false;
  while ((ch = std::getc(in)) != EOF) {
    any = true;
    if (ch != '\n' && text.size() >= kMaxLineLength)
      tooLong = true;  // the rest is consumed unkept
    else
      text += static_cast<char>(ch);
    if (ch == '\n') break;
  }
  return any;
}

}  // namespace

Tally checkStream(std::FILE* in, int64_t base, int32_t c, std::FILE* report) {
  Tally tally;
  std::string text;
  bool tooLong = false;
  bool haveK = false;
  int64_t lastK = 0;
  uint64_t lastKLine = 0;
  while (readLine(in, text, tooLong)) {
    ++tally.checked;
    LineVerdict verdict = tooLong ? LineVerdict{"line longer than " + std::to_string(kMaxLineLength) + " characters"}
                                  : checkLine(text, base, c);
    if (verdict.fault.empty() && haveK && verdict.k <= lastK) {
      verdict.fault = "k is not above the k of line " + std::to_string(lastKLine) + " (" + std::to_string(lastK) + ")";
    }
    if (verdict.parsed) {
      haveK = true;
      lastK = verdict.k;
      lastKLine = tally.checked;
    }
    if (verdict.fault.empty()) continue;
    ++tally.bad;
    std::fprintf(report, "line %" PRIu64 ": %s : %s\n", tally.checked, verdict.fault.c_str(), shown(text).c_str());
  }
  tally.readFailed = std::ferror(in) != 0;
  return tally;
}

}  // namespace verify
