// What a pelund::Search holds: its parameters, its candidate table and the engines'
// read-only tables built from them, shared by every walk and thread of the search.
#pragma once

#include "cover_sieve.h"
#include "table.h"

struct pelund::SearchTables {
  SearchTables(const SearchParams& p, const CandidateTable& t) : params(p), table(t), sieve(p, t) {}

  SearchParams params;
  CandidateTable table;
  SieveTables sieve;
};
