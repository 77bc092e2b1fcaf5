#!/usr/bin/env bash
# The cost of many threads: each search with threads=1024 against threads=N, N the
# processors that the system reports (what threads=0 picks, nproc here): medians of
# three alternating runs of the wall time, the processor time (user + system) and
# the context switches, and the share of threads=1024 over threads=N. The processor
# time tells the cost apart from the load of a shared machine best.
# Usage: bash bench/threads.sh [quick]   (quick: one run of each)
# PELUND_BINARY=path times that binary (an older build, say) instead of building this one.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${PELUND_BINARY:-}" ]; then
  binary=$(realpath "$PELUND_BINARY")
else
  bash scripts/build >/dev/null
  binary=$PWD/build/app/pelund
fi
runs=3
[ "${1:-}" = quick ] && runs=1
processors=$(nproc)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# "wall cpu switches" of one run of the settings with `threads`.
once() {
  printf '%s\nthreads=%s\n' "$1" "$2" >pelund.ini
  rm -f covering.txt
  /usr/bin/time -f '%e %U %S %c %w' -o times "$binary" >/dev/null
  awk '{ printf "%.2f %.2f %d", $1, $2 + $3, $4 + $5 }' times
}

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

bench() {
  local name=$1 settings=$2
  local -a wallN cpuN csN wallM cpuM csM
  for ((r = 0; r < runs; ++r)); do
    read -r w c s <<<"$(once "$settings" "$processors")"
    wallN+=("$w") cpuN+=("$c") csN+=("$s")
    read -r w c s <<<"$(once "$settings" 1024)"
    wallM+=("$w") cpuM+=("$c") csM+=("$s")
  done
  local wn cn sn wm cm sm
  wn=$(median "${wallN[@]}") cn=$(median "${cpuN[@]}") sn=$(median "${csN[@]}")
  wm=$(median "${wallM[@]}") cm=$(median "${cpuM[@]}") sm=$(median "${csM[@]}")
  printf '%-34s threads=%-4s %6.2f s wall %6.2f s cpu %8d switches\n' "$name" "$processors" "$wn" "$cn" "$sn"
  printf '%-34s threads=1024 %6.2f s wall %6.2f s cpu %8d switches  (cpu %+.1f%%)\n' "" "$wm" "$cm" "$sm" \
    "$(awk -v a="$cm" -v b="$cn" 'BEGIN { print (b > 0 ? 100 * (a - b) / b : 0) }')"
}

bench "R10 to 1e9, sieve" $'base=10\nc=-1\nmink=1\nmaxk=1000000000\nengine=sieve'
bench "R10 to 1e9, residue" $'base=10\nc=-1\nmink=1\nmaxk=1000000000\nengine=residue'
bench "S7 to 1e18, auto" $'base=7\nc=1\nmink=1\nmaxk=1000000000000000000'
bench "R10 to 2e8, algebraic=1" $'base=10\nc=-1\nmink=1\nmaxk=200000000\nalgebraic=1'
