// The live status line on an interactive terminal, through the real binary run as a
// shell runs a job: what stays on the screen (the model of a terminal in
// tests/support) must be what the same run leaves without the line (progress=0),
// whatever the width, the engine and what the user does meanwhile: Ctrl-C, whose echo
// lands after the line; Ctrl-Z and the job continued; the window narrowed under it,
// on a terminal that cuts its rows and on one that rewraps them.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e.h"
#include "terminal.h"

namespace {

// Two threads whatever the machine: on two cores the tree takes about 25 s over this
// range, and the keys come within the first two; more cores must not end it sooner.
const std::string kIni = "base=2\nmink=1\nmaxk=1000000000000\nc=1\nperiod=720\nthreads=2\n";

// What differs between two runs of the same search: the stamps (also where a narrowed
// window cut one short: two runs a minute apart differ there), the k where it was
// stopped, and the terminal's echo of the control keys (which the line takes with it
// when it is erased).
std::string masked(const std::string& screen) {
  static const std::regex cutStamp(R"(Status \([0-9 :-]+)"), stop("at k=[0-9]+"), echo(R"(\^[CZ])");
  const std::string stamps = std::regex_replace(e2e::maskStamps(screen), cutStamp, "Status (STAMP");
  return std::regex_replace(std::regex_replace(stamps, stop, "at k=N"), echo, "");
}

enum class Doing { ctrlC, ctrlZ, narrow };

// The steps of a run: with the line, each step waits until it is drawn (after the
// step before); without it, a moment after the step before, or after the candidates
// are in the log (the k search has begun).
std::vector<e2e::TerminalStep> stepsOf(Doing doing, int narrowTo, bool shown) {
  const auto wait = [shown](const std::string& otherwise) {
    e2e::TerminalStep step;
    step.trigger = shown ? "\rSearching: " : otherwise;
    step.delay = std::chrono::milliseconds(shown ? 0 : 300);
    return step;
  };
  e2e::TerminalStep first = wait("");
  if (!shown) first.logTrigger = "factor and period list";
  std::vector<e2e::TerminalStep> steps;
  if (doing == Doing::ctrlZ) {
    first.keys = "\x1a";
    e2e::TerminalStep continued;
    continued.trigger = "[continued]\n";
    steps = {first, continued};
    e2e::TerminalStep after = wait("");
    after.keys = "\x03";
    steps.push_back(after);
  } else if (doing == Doing::narrow) {
    first.columns = narrowTo;
    e2e::TerminalStep after = wait("");
    after.delay += std::chrono::milliseconds(600);  // a few redraws at the new width
    after.keys = "\x03";
    steps = {first, after};
  } else {
    first.keys = "\x03";
    steps = {first};
  }
  return steps;
}

TEST(TerminalTest, WhatStaysOnTheScreenIsWhatTheRunShowsWithoutTheLine) {
  const struct {
    const char* name;
    Doing doing;
    std::string engine;
    int columns, narrowTo;
    bool rewraps = false;  // a terminal that rewraps its lines when resized
  } cases[] = {
      {"Ctrl-C, 20 columns, sieve", Doing::ctrlC, "sieve", 20, 0},
      {"Ctrl-C, 47 columns, sieve", Doing::ctrlC, "sieve", 47, 0},
      {"Ctrl-C, 80 columns, sieve", Doing::ctrlC, "sieve", 80, 0},
      {"Ctrl-C, 20 columns, tree", Doing::ctrlC, "residue", 20, 0},
      {"Ctrl-C, 61 columns, tree", Doing::ctrlC, "residue", 61, 0},
      {"Ctrl-C, 80 columns, tree", Doing::ctrlC, "residue", 80, 0},
      {"Ctrl-Z, then Ctrl-C, 33 columns, sieve", Doing::ctrlZ, "sieve", 33, 0},
      {"Ctrl-Z, then Ctrl-C, 80 columns, tree", Doing::ctrlZ, "residue", 80, 0},
      {"80 columns narrowed to 40, sieve", Doing::narrow, "sieve", 80, 40},
      {"100 columns narrowed to 25, tree", Doing::narrow, "residue", 100, 25},
      {"80 columns narrowed to 40, rewrapped, sieve", Doing::narrow, "sieve", 80, 40, true},
      {"120 columns narrowed to 30, rewrapped, tree", Doing::narrow, "residue", 120, 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::TempDir with, without;
    with.write("pelund.ini", kIni + "engine=" + c.engine + "\n");
    without.write("pelund.ini", kIni + "engine=" + c.engine + "\nprogress=0\n");
    const e2e::TerminalRun shown = e2e::runInteractive(with, c.columns, stepsOf(c.doing, c.narrowTo, true), c.rewraps);
    const e2e::TerminalRun plain = e2e::runInteractive(without, c.columns, stepsOf(c.doing, c.narrowTo, false), c.rewraps);
    EXPECT_EQ(shown.result.exitStatus, 130);
    EXPECT_EQ(plain.result.exitStatus, 130);
    EXPECT_NE(shown.result.out.find("\rSearching: "), std::string::npos);
    EXPECT_EQ(plain.result.out.find("\rSearching: "), std::string::npos);
    EXPECT_NE(masked(plain.screen).find("Ctrl-C accepted. Ending k search at k=N.\n"), std::string::npos)
        << plain.screen;
    EXPECT_EQ(masked(shown.screen), masked(plain.screen)) << shown.screen;
    EXPECT_EQ(shown.unknownEscapes, "");
    if (c.doing == Doing::ctrlZ) {
      EXPECT_NE(plain.screen.find("\n[stopped]\n[continued]\n"), std::string::npos);
    }
  }
}

}  // namespace
