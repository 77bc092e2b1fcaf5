// Reading and reporting a covering.txt for pelund-verify (see verify_stream.h).
#include "verify_stream.h"

#include <cinttypes>
#include <string>

namespace verify {

namespace {

// What a bad line looks like in the report: without its newline, control bytes as
// \xNN, and cut at 200 characters.
std::string shownText(std::string_view text) {
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

// The loop of both checks: each line judged by `judge` (a verdict with fault, parsed
// and kText), then the k order across lines, then handed to `each`. The k compare as
// decimal texts, which hold every k a line may have.
template <class Verdict, class Judge, class Each>
Tally eachLine(std::FILE* in, const Judge& judge, const Each& each) {
  Tally tally;
  std::string text;
  bool tooLong = false;
  bool haveK = false;
  std::string lastK;
  uint64_t lastKLine = 0;
  while (readLine(in, text, tooLong)) {
    ++tally.checked;
    Verdict verdict;
    if (tooLong) verdict.fault = "line longer than " + std::to_string(kMaxLineLength) + " characters";
    else verdict = judge(text);
    if (verdict.fault.empty() && haveK && !decimalAbove(verdict.kText, lastK)) {
      verdict.fault = "k is not above the k of line " + std::to_string(lastKLine) + " (" + lastK + ")";
    }
    if (verdict.parsed) {
      haveK = true;
      lastK = verdict.kText;
      lastKLine = tally.checked;
    }
    if (!verdict.fault.empty()) ++tally.bad;
    each(tally.checked, text, verdict);
  }
  tally.readFailed = std::ferror(in) != 0;
  return tally;
}

}  // namespace

std::string shownLine(std::string_view text) { return shownText(text); }

Tally checkStream(std::FILE* in, int64_t base, int32_t c, std::FILE* report) {
  return eachLine<LineVerdict>(
      in, [&](std::string_view text) { return checkLine(text, base, c); },
      [&](uint64_t number, std::string_view text, const LineVerdict& verdict) {
        if (verdict.fault.empty()) return;
        std::fprintf(report, "line %" PRIu64 ": %s : %s\n", number, verdict.fault.c_str(), shownText(text).c_str());
      });
}

Tally explainStream(std::FILE* in, int64_t base, int32_t c, const ExplainedLine& each) {
  return eachLine<pelund::Explanation>(
      in, [&](std::string_view text) { return pelund::explainLine(text, base, c); }, each);
}

namespace {

std::string signedOne(int32_t c) { return c > 0 ? "+1" : "-1"; }

std::string classText(uint32_t residue, uint32_t modulus) {
  return "n=" + std::to_string(residue) + " (mod " + std::to_string(modulus) + ")";
}

}  // namespace

void writeExplanation(std::FILE* out, uint64_t number, std::string_view text, const pelund::Explanation& explanation) {
  const pelund::Explanation& e = explanation;
  const std::string power = e.kText + "*" + std::to_string(e.base) + "^n", term = power + signedOne(e.c);
  std::fprintf(out, "line %" PRIu64 ": %s : %s\n", number, e.fault.empty() ? term.c_str() : e.fault.c_str(),
               shownText(text).c_str());
  if (!e.classesKnown) return;
  for (const pelund::PrimeClass& prime : e.primes) {
    if (prime.residues.empty()) std::fprintf(out, "  no n: %" PRIu64 " (divides no term)\n", prime.prime);
    for (uint32_t residue : prime.residues)
      std::fprintf(out, "  %s: %" PRIu64 "\n", classText(residue, prime.period).c_str(), prime.prime);
  }
  for (const pelund::AlgebraicClass& claim : e.classes) {
    const std::string shape = claim.form.substr(0, claim.form.size() - 2);  // "y^2" of "y^2-1"
    std::fprintf(out, "  %s: %s = %s, so %s = %s = %s; at n=%" PRIu32 ", y=%" PRIu64 " and %s = %s\n",
                 classText(claim.residue, claim.modulus).c_str(), power.c_str(), shape.c_str(), term.c_str(),
                 claim.form.c_str(), claim.factorisation.c_str(), claim.n, claim.y, claim.factor.c_str(),
                 claim.factorValue.c_str());
  }
  if (e.fault.empty()) {
    std::fprintf(out, "  the classes cover every n from 1 to %" PRIu32 " and repeat every %" PRIu32
                 ": every term is composite\n", e.span, e.span);
  }
}

}  // namespace verify
