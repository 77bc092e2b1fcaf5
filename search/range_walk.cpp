// The walk over a range of k (see range_walk.h).
#include "range_walk.h"

#include "parallel_walk.h"

bool walkRange(const SieveTables& tables, const SearchParams& params, int64_t from, int64_t to, PartSink& sink) {
  return sieveRange(tables, from, to, workerThreads(params.threads), sink);
}
