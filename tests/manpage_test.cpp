// The manual pages: roff made from a help text keeps every word literal (backslashes,
// minus signs, a line that would read as a request), puts each paragraph under its
// section in the order man pages use, and refuses a text it cannot read; and the pages
// the build made say what each program's --help says.
#include "roff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e.h"

namespace {

const manpage::PageInfo kInfo{"1.2.3", {}};

TEST(ManPageText, EscapesWhatRoffWouldReadOtherwise) {
  const struct {
    std::string line, roff;
  } cases[] = {
      {"plain words", "plain words"},
      {"--period P", "\\-\\-period P"},
      {"a\\b", "a\\eb"},
      {".ini files", "\\&.ini files"},
      {"'quoted' at the start", "\\&'quoted' at the start"},
      {"in 'quotes' and .dots", "in 'quotes' and .dots"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(manpage::roffText(c.line), c.roff);
  }
}

// Sections in man order whatever the help's order; the synopsis keeps one form a line,
// the other paragraphs are filled by roff and separated by .PP.
TEST(ManPageText, SectionsFromParagraphs) {
  const std::string help =
      "tool: does things.\n"
      "\n"
      "First paragraph,\n"
      "  on two lines.\n"
      "\n"
      "Usage: tool FILE\n"
      "       tool [--help]\n"
      "\n"
      "Exit status: 0 done;\n"
      "1 not.\n"
      "\n"
      "Options: -x (1).\n"
      "\n"
      "\n"
      ".Second paragraph.\n";
  EXPECT_EQ(manpage::pageOfHelp(help, {"1.2.3", {"other", "third-one"}}),
            ".TH TOOL 1 \"\" \"pelund 1.2.3\" \"User Commands\"\n"
            ".nh\n"
            ".SH NAME\n"
            "tool \\- does things\n"
            ".SH SYNOPSIS\n.nf\ntool FILE\ntool [\\-\\-help]\n.fi\n"
            ".SH DESCRIPTION\nFirst paragraph,\non two lines.\n.PP\n\\&.Second paragraph.\n"
            ".SH OPTIONS\n\\-x (1).\n"
            ".SH \"EXIT STATUS\"\n0 done;\n1 not.\n"
            ".SH \"SEE ALSO\"\n.BR other (1),\n.BR third\\-one (1)\n");
}

// Labels on a line of their own, CR LF line ends, no trailing newline, and sections
// that the help leaves out.
TEST(ManPageText, LabelsAloneAndLineEnds) {
  const std::string page = manpage::pageOfHelp("t: x\r\n\r\nUsage:\r\n  t\r\n\r\nOptions:\r\n  -a", kInfo);
  EXPECT_EQ(page, ".TH T 1 \"\" \"pelund 1.2.3\" \"User Commands\"\n.nh\n.SH NAME\nt \\- x\n"
                  ".SH SYNOPSIS\n.nf\nt\n.fi\n.SH OPTIONS\n\\-a\n");
}

TEST(ManPageText, RefusesHelpWithoutNameOrUsage) {
  for (const char* help : {"", "no name line here\n\nUsage: x\n", ": empty name\n\nUsage: x\n",
                           "tool: no usage\n\nJust words.\n", "tool: usage not at the start\n\nSee Usage: x\n"}) {
    SCOPED_TRACE(help);
    EXPECT_THROW(manpage::pageOfHelp(help, kInfo), std::invalid_argument);
  }
}

// ---- The pages the build made, against the programs' own --help.

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every line of the help, its words as roff writes them, stands in the page.
TEST(ManPageFiles, HoldEveryLineOfTheHelp) {
  const std::vector<std::string> programs = {PELUND_BINARY, PELUND_VERIFY_BINARY, PELUND_CK_BINARY};
  for (const std::string& program : programs) {
    const std::string name = program.substr(program.rfind('/') + 1);
    SCOPED_TRACE(name);
    const std::string page = fileText(std::string(PELUND_MAN_DIR) + "/" + name + ".1");
    ASSERT_FALSE(page.empty());
    std::string title = name;
    for (char& c : title) c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(page.find(".TH " + manpage::roffText(title) + " 1 "), 0u);
    e2e::TempDir dir;
    const e2e::RunResult help = e2e::run(dir, {}, "--help", std::chrono::seconds(60), program);
    ASSERT_EQ(help.exitStatus, 0);
    std::istringstream lines(help.out);
    std::string line;
    std::getline(lines, line);  // the name line, as NAME
    while (std::getline(lines, line)) {
      for (const std::string label : {"Usage:", "Options:", "Exit status:"}) {
        if (line.rfind(label, 0) == 0) line = line.substr(label.size());
      }
      line = line.substr(std::min(line.size(), line.find_first_not_of(' ')));
      if (!line.empty()) {
        EXPECT_NE(page.find("\n" + manpage::roffText(line) + "\n"), std::string::npos) << line;
      }
    }
  }
}

}  // namespace
