// pelund-manpage: reads a program's --help on standard input and writes its manual
// page in roff to standard output.
// Usage: pelund-manpage VERSION [SEE-ALSO-NAME...]
#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <string>

#include "roff.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pelund-manpage VERSION [SEE-ALSO-NAME...] < help > page\n");
    return 2;
  }
  manpage::PageInfo info{argv[1], {argv + 2, argv + argc}};
  const std::string help{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  try {
    std::cout << manpage::pageOfHelp(help, info);
  } catch (const std::exception& fault) {
    std::fprintf(stderr, "pelund-manpage: %s\n", fault.what());
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
