#!/usr/bin/env bash
# pelund-mpi on this machine: 2 ranks x 1 thread against 1 rank x 1 thread and against
# pelund on 2 threads, for one block-sieve search (S3, period 144, maxfact 1000, with
# engine=sieve, as the tree takes this range in milliseconds; set PELUND_MPI_BENCH_K
# for the number of k, default 3e10: about 16 s on one core), and the message
# traffic of each distributed run. Then the sparse searches whose parts go out as
# subtrees of the residue tree (S7, period 144, maxfact 1e5, to 1e17 and 1e18):
# pelund on 1 thread against pelund-mpi on 1 and 2 ranks of 1 thread, medians of five
# alternating runs, with mpirun's own start (/bin/true, and pelund-mpi with nothing to
# search, which adds MPI's own start) beside them.
# The runs must write the same covering.txt. Usage: bash bench/mpi_bench.sh [sparse]
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
  printf 'base=3\nc=1\nperiod=144\nmaxfact=1000\nmink=%s\nmaxk=%s\nthreads=%s\nengine=sieve\n' "$from" $((from + count - 1)) \
    "$threads" >pelund.ini
  local begin end
  begin=$(date +%s.%N)
  rm -f covering.txt
  PELUND_MPI_STATS=1 "$@" >/dev/null 2>stats
  end=$(date +%s.%N)
  touch covering.txt
  awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.2f", e - b }'
}

if [ "${1:-}" != sparse ]; then
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
fi

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# Seconds of one run of "$@" in this directory.
seconds() {
  local begin end
  rm -f covering.txt
  begin=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.3f", e - b }'
}

echo "== sparse searches: the residue tree's parts as subtrees"
printf 'base=10\nc=-1\nmink=1\nmaxk=10\nthreads=1\nmaxfact=1000\n' >pelund.ini
launch=() bare=()
for _ in 1 2 3; do
  bare+=("$(seconds "${mpi[@]}" -np 2 /bin/true)")
  launch+=("$(seconds "${mpi[@]}" -np 2 "$root/build/mpi/pelund-mpi")")
done
start=$(median "${launch[@]}")
echo "mpirun's own start (2 ranks of /bin/true): $(median "${bare[@]}") s; with MPI's start (pelund-mpi, nothing to search): $start s"
for maxk in 100000000000000000 1000000000000000000; do
  printf 'base=7\nc=1\nperiod=144\nmaxfact=100000\nmink=1\nmaxk=%s\nthreads=1\n' "$maxk" >pelund.ini
  p=() m1=() m2=()
  for _ in 1 2 3 4 5; do
    p+=("$(seconds "$root/build/app/pelund")")
    cp covering.txt single.txt
    m1+=("$(seconds "${mpi[@]}" -np 1 "$root/build/mpi/pelund-mpi")")
    cmp covering.txt single.txt
    m2+=("$(seconds "${mpi[@]}" -np 2 "$root/build/mpi/pelund-mpi")")
    cmp covering.txt single.txt
  done
  mp=$(median "${p[@]}") mo=$(median "${m1[@]}") mt=$(median "${m2[@]}")
  printf 'S7 to %s (%s sets): pelund 1 thread %s s; pelund-mpi 1 rank %s s (%.2fx), 2 ranks %s s (%.2fx faster, %.2fx beyond MPI'"'"'s start)\n' \
    "$maxk" "$(wc -l <single.txt)" "$mp" "$mo" "$(awk -v a="$mo" -v b="$mp" 'BEGIN { print a / b }')" "$mt" \
    "$(awk -v a="$mp" -v b="$mt" 'BEGIN { print a / b }')" "$(awk -v a="$mp" -v b="$mt" -v s="$start" 'BEGIN { print a / (b - s) }')"
done
