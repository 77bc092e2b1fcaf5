// pelund: covering sets for k*b^n+c. Takes no arguments; everything comes from pelund.ini.
#include <cstdlib>

#include "sequence.h"

int main() { std::exit(runPelund()); }
