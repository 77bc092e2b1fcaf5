// Help text to roff. The help is written for an 80-column terminal; roff fills the
// lines of a paragraph again, so the page keeps its words and loses the line breaks,
// except in SYNOPSIS, where each form of the command stays on a line of its own.
#include "roff.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace manpage {

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Paragraphs: runs of non-empty lines, each line trimmed.
std::vector<std::vector<std::string>> paragraphsOf(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> paragraphs(1);
  for (const std::string& line : lines) {
    const std::string text = trimmed(line);
    if (!text.empty()) paragraphs.back().push_back(text);
    else if (!paragraphs.back().empty()) paragraphs.emplace_back();
  }
  if (paragraphs.back().empty()) paragraphs.pop_back();
  return paragraphs;
}

// The paragraph with `label` taken off its first line, or nothing when it does not
// start with the label.
bool takeLabel(std::vector<std::string>& paragraph, const std::string& label) {
  if (paragraph.front().rfind(label, 0) != 0) return false;
  paragraph.front() = trimmed(paragraph.front().substr(label.size()));
  if (paragraph.front().empty()) paragraph.erase(paragraph.begin());
  return true;
}

std::string filled(const std::vector<std::string>& paragraph) {
  std::string text;
  for (const std::string& line : paragraph) text += roffText(line) + "\n";
  return text;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
  return text;
}

}  // namespace

std::string roffText(const std::string& line) {
  std::string text;
  for (const char c : line) {
    if (c == '\\') text += "\\e";
    else if (c == '-') text += "\\-";
    else text += c;
  }
  if (!text.empty() && (text[0] == '.' || text[0] == '\'')) text.insert(0, "\\&");
  return text;
}

std::string pageOfHelp(const std::string& help, const PageInfo& info) {
  std::vector<std::string> lines = linesOf(help);
  const size_t colon = lines.empty() ? std::string::npos : lines[0].find(": ");
  if (colon == std::string::npos || colon == 0 || lines[0].find(' ') < colon)
    throw std::invalid_argument("the help does not start with \"NAME: summary\"");
  const std::string name = lines[0].substr(0, colon);
  std::string summary = trimmed(lines[0].substr(colon + 2));
  if (!summary.empty() && summary.back() == '.') summary.pop_back();
  lines.erase(lines.begin());

  std::string synopsis, description, options, exitStatus;
  for (std::vector<std::string> paragraph : paragraphsOf(lines)) {
    if (takeLabel(paragraph, "Usage:")) {
      for (const std::string& form : paragraph) synopsis += roffText(form) + "\n";
    } else if (takeLabel(paragraph, "Options:")) {
      options += (options.empty() ? "" : ".PP\n") + filled(paragraph);
    } else if (takeLabel(paragraph, "Exit status:")) {
      exitStatus += (exitStatus.empty() ? "" : ".PP\n") + filled(paragraph);
    } else {
      description += (description.empty() ? "" : ".PP\n") + filled(paragraph);
    }
  }
  if (synopsis.empty()) throw std::invalid_argument("the help of " + name + " has no \"Usage:\" paragraph");

  std::string page = ".TH " + roffText(upper(name)) + " 1 \"\" \"pelund " + roffText(info.version) +
                     "\" \"User Commands\"\n";
  page += ".nh\n";  // names of files and options are not to be broken across lines
  page += ".SH NAME\n" + roffText(name) + " \\- " + roffText(summary) + "\n";
  page += ".SH SYNOPSIS\n.nf\n" + synopsis + ".fi\n";
  if (!description.empty()) page += ".SH DESCRIPTION\n" + description;
  if (!options.empty()) page += ".SH OPTIONS\n" + options;
  if (!exitStatus.empty()) page += ".SH \"EXIT STATUS\"\n" + exitStatus;
  if (!info.seeAlso.empty()) {
    page += ".SH \"SEE ALSO\"\n";
    for (size_t i = 0; i < info.seeAlso.size(); ++i)
      page += ".BR " + roffText(info.seeAlso[i]) + " (1)" + (i + 1 < info.seeAlso.size() ? "," : "") + "\n";
  }
  return page;
}

}  // namespace manpage
