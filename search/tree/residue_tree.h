// The residue-class tree: the covered k of a range found by descending through
// classes k = r (mod M) instead of sieving every k.
//
// A candidate prime p of period d covers exponent n exactly when k = t_(n mod d)
// (mod p). A node of the tree is a class r mod M, M the product of the primes given a
// residue so far, together with the exponents 1..P that those primes cover. Every
// covered k of the class has, for some uncovered exponent n, a prime not yet given a
// residue that covers n, so the class splits into one child per such prime, joined
// to r by the Chinese remainder theorem. A class with no k in the range ends its
// branch; a class small enough (M near the width of the range) is listed and each of
// its k confirmed exactly. The cost thus follows the number of partial covers whose
// modulus stays below the width, not the width itself: wide ranges of bases whose
// candidate primes are few and large cost seconds where the sieve takes hours.
#pragma once

#include <cstdint>
#include <vector>

#include "cover_sieve.h"

// Appends every covered k of [from, to] (1 <= from <= to <= 10^18) to `covered`, in
// ascending order, each once, using `threads` threads (1: the calling thread only).
// Returns false, with `covered` incomplete, when quitting() was seen before the end.
bool residueSearch(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered);

// The same, also adding the number of tree nodes visited to `nodes`.
bool residueSearch(const SieveTables& tables, int64_t from, int64_t to, int threads, std::vector<int64_t>& covered,
                   uint64_t& nodes);

// An estimate in seconds of what residueSearch(tables, from, to, threads=1, ...) costs on
// this machine, from random probes down the tree; itself cheap (a few milliseconds at most).
double residueCostEstimate(const SieveTables& tables, int64_t from, int64_t to);

// An estimate in seconds of what the block sieve costs per k for these tables on one
// thread, measured by sieving a small sample from `from`.
double sieveCostPerK(const SieveTables& tables, int64_t from);
