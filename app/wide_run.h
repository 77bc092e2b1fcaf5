// The run of a search with wide=1 beyond the 64-bit caps (see WideSettings in
// config.h): k up to 2^256-1, candidate primes up to 2^64-1, periods up to 65520.
// The same files, console lines and stops as an ordinary run; k are written in full.
// The candidates below min(maxfact, 1e9) are every prime of a period dividing P, as
// always; above that they are the prime factors of Phi_d(b), d | P, found within
// factoreffort seconds per d, and pelund.log says for which d that list is complete.
#pragma once

// Runs the configured wide search in the claimed run directory and returns the exit
// status of an orderly end.
int runWideSearch(bool resume);
