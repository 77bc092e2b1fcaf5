#!/usr/bin/env bash
# The residue tree on the sparse searches, this build against an older one, through
# the binary with engine=residue: runs alternate old and new, and the table gives the
# median seconds of each, their ratio, the largest resident memory, the count of sets
# and the first line (which must agree). The old binary is the one given, or the
# build of commit 3da5985 (before the tree's per-level tables, counting bound,
# exclusions and sieved classes), made from that commit's files in a temporary
# directory.
# Usage: bash bench/tree.sh [OLD_BINARY]   (TREE_RUNS=n runs of each, default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${TREE_RUNS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

old=${1:-}
if [ -z "$old" ]; then
  echo "building the old binary (commit 3da5985) in $work" >&2
  mkdir -p "$work/old-src"
  git archive 3da5985 | tar -x -C "$work/old-src"
  cmake -S "$work/old-src" -B "$work/old-build" -DCMAKE_BUILD_TYPE=Release -DPELUND_MPI=OFF \
    -DPELUND_BUILD_TESTS=OFF -DPELUND_BUILD_BENCH=OFF >/dev/null
  cmake --build "$work/old-build" -j"$(nproc)" --target pelund >/dev/null
  old=$work/old-build/app/pelund
fi
old=$(realpath "$old")
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target pelund >/dev/null
new=$PWD/build/app/pelund

# One run of a binary in a directory: "seconds maxRSS-KB" (RSS "-" without GNU time).
once() {
  local binary=$1 dir=$2 begin end rss=-
  rm -f "$dir/covering.txt"
  begin=$(date +%s.%N)
  if [ -x /usr/bin/time ]; then
    (cd "$dir" && /usr/bin/time -f %M -o rss.txt "$binary" >/dev/null)
    rss=$(tail -n 1 "$dir/rss.txt")
  else
    (cd "$dir" && "$binary" >/dev/null)
  fi
  end=$(date +%s.%N)
  awk -v b="$begin" -v e="$end" -v r="$rss" 'BEGIN { printf "%.3f %s\n", e - b, r }'
}

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
largest() { printf '%s\n' "$@" | sort -n | tail -n 1; }

printf '%-44s %9s %9s %7s %9s %9s %8s  %s\n' case "old s" "new s" new/old "old MB" "new MB" sets "first line"
bench() {
  local name=$1 settings=$2 r which
  declare -A seconds memory
  for which in old new; do
    mkdir -p "$work/$which"
    printf '%s\nengine=residue\n' "$settings" >"$work/$which/pelund.ini"
  done
  for ((r = 0; r < runs; ++r)); do
    for which in old new; do
      local binary=$old
      [ "$which" = new ] && binary=$new
      read -r s m < <(once "$binary" "$work/$which")
      seconds[$which]+="$s " memory[$which]+="$m "
    done
  done
  local first sets
  first=$(head -n 1 "$work/new/covering.txt" 2>/dev/null || true)
  sets=$(wc -l <"$work/new/covering.txt" 2>/dev/null || echo 0)
  # shellcheck disable=SC2086
  local mo mn ro rn
  mo=$(median ${seconds[old]}) mn=$(median ${seconds[new]})
  ro=$(largest ${memory[old]}) rn=$(largest ${memory[new]})
  printf '%-44s %9s %9s %7.3f %9s %9s %8s  %s\n' "$name" "$mo" "$mn" "$(awk -v a="$mo" -v b="$mn" 'BEGIN { print b / a }')" \
    "$(awk -v k="$ro" 'BEGIN { if (k == "-") print "-"; else printf "%.1f", k / 1024 }')" \
    "$(awk -v k="$rn" 'BEGIN { if (k == "-") print "-"; else printf "%.1f", k / 1024 }')" "$sets" "$first"
  if ! cmp -s "$work/old/covering.txt" "$work/new/covering.txt"; then
    echo "    MISMATCH: the old and new covering.txt differ"
  fi
}

S7=$'base=7\nc=1\nperiod=144\nmaxfact=100000\nmink=1'
bench "S7 P144 maxfact 1e5 to 1e18, 2 threads" "$S7"$'\nmaxk=1000000000000000000\nthreads=2'
bench "S910 P720 maxfact 1e5 to 4989054506113, 2 th" $'base=910\nc=1\nperiod=720\nmaxfact=100000\nmink=1\nmaxk=4989054506113\nthreads=2'
bench "S511 P720 maxfact 1e5 to 3876595974396, 2 th" $'base=511\nc=1\nperiod=720\nmaxfact=100000\nmink=1\nmaxk=3876595974396\nthreads=2'
bench "S7 P144 maxfact 1e5 to 1e17, 1 thread" "$S7"$'\nmaxk=100000000000000000\nthreads=1'
