#!/usr/bin/env bash
# The six searches for a first covering k from k = 1 (S7, S3, R3, S910, S511, R661, each
# up to its known smallest covered k, maxfact 10^6, 2 threads, the engine the binary
# picks) at periods 144, 720 and 5040, this build against another binary: the runs of the
# two alternate, so that a load on the machine weighs on both alike, and the table gives
# the median seconds of each, their ratio, the count of sets and the first line (which
# must agree), and the sums per period.
# Usage: bash bench/long_periods.sh OLD_BINARY
#   (LONG_RUNS=n runs of each, default 3; LONG_PERIODS="144 720", default "144 720 5040")
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${LONG_RUNS:-3}
periods=${LONG_PERIODS:-144 720 5040}
old=$(realpath "${1:?usage: bash bench/long_periods.sh OLD_BINARY}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target pelund >/dev/null
new=$PWD/build/app/pelund

# One run of a binary in a directory: its seconds.
once() {
  local binary=$1 dir=$2 begin end
  rm -f "$dir/covering.txt"
  begin=$(date +%s.%N)
  (cd "$dir" && "$binary" >/dev/null)
  end=$(date +%s.%N)
  awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.3f\n", e - b }'
}

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

searches=("S7 7 1 1112646039348" "S3 3 1 125050976086" "R3 3 -1 63064644938"
  "S910 910 1 4989054506113" "S511 511 1 3876595974396" "R661 661 -1 422738610512")
printf '%-6s %6s %9s %9s %7s %5s  %s\n' search period "old s" "new s" new/old sets "first line"
for period in $periods; do
  sumOld=0 sumNew=0
  for search in "${searches[@]}"; do
    read -r name base c maxk <<<"$search"
    for which in old new; do
      mkdir -p "$work/$which"
      printf 'base=%s\nc=%s\nmink=1\nmaxk=%s\nperiod=%s\nmaxfact=1000000\nthreads=2\n' "$base" "$c" "$maxk" "$period" \
        >"$work/$which/pelund.ini"
    done
    so=() sn=()
    for ((r = 0; r < runs; ++r)); do
      so+=("$(once "$old" "$work/old")") sn+=("$(once "$new" "$work/new")")
    done
    mo=$(median "${so[@]}") mn=$(median "${sn[@]}")
    sumOld=$(awk -v a="$sumOld" -v b="$mo" 'BEGIN { print a + b }')
    sumNew=$(awk -v a="$sumNew" -v b="$mn" 'BEGIN { print a + b }')
    first=$(head -n 1 "$work/new/covering.txt" 2>/dev/null || true)
    sets=0
    [ -e "$work/new/covering.txt" ] && sets=$(wc -l <"$work/new/covering.txt")
    printf '%-6s %6s %9s %9s %7.3f %5s  %s\n' "$name" "$period" "$mo" "$mn" \
      "$(awk -v a="$mo" -v b="$mn" 'BEGIN { print b / a }')" "$sets" "$first"
    if [ -e "$work/old/covering.txt" ] || [ -e "$work/new/covering.txt" ] &&
      ! cmp -s "$work/old/covering.txt" "$work/new/covering.txt"; then
      echo "    MISMATCH: the old and new covering.txt differ"
    fi
  done
  printf '%-6s %6s %9.3f %9.3f %7.3f\n' all "$period" "$sumOld" "$sumNew" \
    "$(awk -v a="$sumOld" -v b="$sumNew" 'BEGIN { print b / a }')"
done
