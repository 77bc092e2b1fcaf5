#!/usr/bin/env bash
# pelund-mpi on this machine: 2 ranks x 1 thread against 1 rank x 1 thread and against
# pelund on 2 threads, for one block-sieve search (S3, period 144, maxfact 1000; set
# PELUND_MPI_BENCH_K for the number of k, default 3e10: about 16 s on one core), and
# the message traffic of each distributed run. The runs must write the same
# covering.txt. Usage: bash bench/mpi_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build >/dev/null
root=$PWD
count=${PELUND_MPI_BENCH_K:-30000000000}
from=10000000000
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
mpi=(mpirun --allow-run-as-root --oversubscribe --mca btl self,vader --mca oob_tcp_if_include lo)

# Runs one search with `threads` threads per process; prints its wall time in seconds.
timed() {
  local threads=$1
  shift
  printf 'base=3\nc=1\nperiod=144\nmaxfact=1000\nmink=%s\nmaxk=%s\nthreads=%s\n' "$from" $((from + count - 1)) "$threads" >pelund.ini
  local begin end
  begin=$(date +%s.%N)
  rm -f covering.txt
  PELUND_MPI_STATS=1 "$@" >/dev/null 2>stats
  end=$(date +%s.%N)
  touch covering.txt
  awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.2f", e - b }'
}

one=$(timed 1 "${mpi[@]}" -np 1 "$root/build/mpi/pelund-mpi")
mv covering.txt one.txt
grep pelund-mpi stats
two=$(timed 1 "${mpi[@]}" -np 2 "$root/build/mpi/pelund-mpi")
cmp covering.txt one.txt
grep pelund-mpi stats
single=$(timed 2 "$root/build/app/pelund")
cmp covering.txt one.txt

echo "k searched: $count from $from ($(wc -l <one.txt) covering sets)"
echo "pelund-mpi 1 rank x 1 thread: $one s"
echo "pelund-mpi 2 ranks x 1 thread: $two s (speed-up $(awk -v a="$one" -v b="$two" 'BEGIN { printf "%.2f", a / b }'))"
echo "pelund 1 process x 2 threads: $single s (2 ranks take $(awk -v a="$two" -v b="$single" 'BEGIN { printf "%.3f", a / b }') of its time)"
