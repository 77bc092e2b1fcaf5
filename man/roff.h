// The manual page of a program, made from the text of its --help: one source for
// both, so that the page never says other than the program.
#pragma once

#include <string>
#include <vector>

namespace manpage {

// What the page needs beside the help text: the version it documents and the other
// pages it refers to (names of section 1).
struct PageInfo {
  std::string version;
  std::vector<std::string> seeAlso;
};

// The page in roff (man macros) for a help text laid out as pelund's programs write
// theirs: a first line "NAME: summary.", then paragraphs separated by empty lines.
// The paragraph that starts "Usage:" becomes SYNOPSIS (one form per line), one that
// starts "Options:" OPTIONS, one that starts "Exit status:" EXIT STATUS; the others
// make DESCRIPTION, in their order. Throws std::invalid_argument for a text without
// such a first line or without a Usage paragraph.
std::string pageOfHelp(const std::string& help, const PageInfo& info);

// A line of text as roff shows it literally: backslashes and minus signs escaped, and
// a line that would start with a control character ('.' or '\'') guarded.
std::string roffText(const std::string& line);

}  // namespace manpage
