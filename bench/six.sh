#!/usr/bin/env bash
# Six searches from k = 1 to their smallest covered k (maxfact 1e6, threads=2), an
# older binary against a newer one side by side: runs alternate old and new, and each
# line gives the median wall and user seconds of each, their ratios (new/old) and the
# first line of covering.txt, which must agree. On a machine shared with other work
# the user seconds are the steadier figure.
# Usage: bash bench/six.sh OLD_BINARY NEW_BINARY PERIOD [RUNS]   (RUNS default 3)
#
# Totals of the six, medians of three, wall / user seconds, on two cores shared with
# other work (wall seconds swing with its load):
# - the lift order, the lift sieve and the larger sieved classes (old: before them)
#   period  144: old 2.05 / 0.36, new 1.89 / 0.30 (no search slower)
#   period  720: old 37.2 / 6.92, new 22.4 / 3.83 (each 0.46 to 0.69 of the old user time)
#   period 5040: old 193 / 77.1,  new 81.9 / 34.8 (each 0.33 to 0.61 of the old user time)
# - the counting bound's first pass by averages, the branch over touched exponents and
#   the word-wise small primes (old: the binary before them)
#   period  720: old 3.31 / 6.18, new 2.44 / 4.51
#   period 5040: old 30.1 / 58.8, new 18.4 / 35.8
# - a sparse range's rest searched as one part (old: the binary before it)
#   period  144: old 0.24 / 0.28, new 0.19 / 0.23 (no search slower)
#   period  720: old 2.17 / 4.02, new 1.79 / 3.26
#   period 5040: old 18.7 / 36.4, new 14.1 / 27.3
# - classes marked by masks, lifts sieved over the primes not known to be excluded there,
#   the exponents' losses to exclusions kept up to date (old: the binary before them;
#   five runs at 144 and 720)
#   period  144: old 0.21 / 0.21, new 0.20 / 0.23 (no search slower in wall seconds)
#   period  720: old 1.81 / 3.30, new 1.63 / 2.99
#   period 5040: old 15.8 / 30.8, new 12.4 / 23.9 (each 0.71 to 0.83 of the old user time)
# - then the children ordered by the set of q their primes are high for (old: the binary
#   before all four; five runs at 144 and 720)
#   period  144: old 0.18 / 0.21, new 0.18 / 0.19 (no search slower)
#   period  720: old 1.58 / 2.88, new 1.51 / 2.68
#   period 5040: old 12.1 / 23.6, new 8.89 / 17.2 (5.9 times period 720; the old 7.7 times)
# - a sieved class sieved at once, without the counting bound first (old: the binary
#   before it; five runs at 144 and 720)
#   period  144: old 0.20 / 0.19, new 0.17 / 0.18
#   period  720: old 1.59 / 2.91, new 1.48 / 2.62
#   period 5040: old 9.24 / 17.9, new 8.91 / 17.2 (6.0 times period 720)
# - a sparse rest merged into one part up to 256 next parts wide, not 16 (old: the binary
#   before it)
#   period  144: old 0.16 / 0.17, new 0.12 / 0.12 (no search slower)
#   period  720: old 1.25 / 2.22, new 1.07 / 1.89 (each 0.83 to 0.91 of the old user time)
#   period 5040: old 7.38 / 14.3, new 6.54 / 12.6 (each 0.84 to 0.95; 6.1 times period 720)
set -euo pipefail
old=$(realpath "$1") new=$(realpath "$2") period=$3 runs=${4:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (a > 0 ? b / a : 0) }'; }

printf '%-6s %6s %9s %9s %7s %9s %9s %7s  %s\n' case period "old s" "new s" new/old "old user" "new user" new/old \
  "first line"
declare -A total
for s in "S7 7 1 1112646039348" "S3 3 1 125050976086" "R3 3 -1 63064644938" "S910 910 1 4989054506113" \
  "S511 511 1 3876595974396" "R661 661 -1 422738610512"; do
  set -- $s
  declare -A wall=() user=() first=()
  for which in old new; do
    mkdir -p "$work/$which"
    printf 'base=%s\nc=%s\nmink=1\nmaxk=%s\nperiod=%s\nmaxfact=1000000\nthreads=2\n' "$2" "$3" "$4" "$period" \
      >"$work/$which/pelund.ini"
  done
  for ((r = 0; r < runs; ++r)); do
    for which in old new; do
      binary=$old
      [ "$which" = new ] && binary=$new
      rm -f "$work/$which/covering.txt" "$work/$which/pelund.log"
      (cd "$work/$which" && /usr/bin/time -o times.txt -f '%e %U' "$binary" >/dev/null)
      read -r w u <"$work/$which/times.txt"
      wall[$which]+="$w " user[$which]+="$u "
    done
  done
  for which in old new; do first[$which]=$(head -n 1 "$work/$which/covering.txt" 2>/dev/null || true); done
  # shellcheck disable=SC2086
  wo=$(median ${wall[old]}) wn=$(median ${wall[new]}) uo=$(median ${user[old]}) un=$(median ${user[new]})
  printf '%-6s %6s %9s %9s %7s %9s %9s %7s  %s\n' "$1" "$period" "$wo" "$wn" "$(ratio "$wo" "$wn")" "$uo" "$un" \
    "$(ratio "$uo" "$un")" "${first[new]}"
  [ "${first[old]}" = "${first[new]}" ] || echo "    MISMATCH: old first line ${first[old]}"
  for key in wo wn uo un; do total[$key]=$(awk -v a="${total[$key]:-0}" -v b="${!key}" 'BEGIN { print a + b }'); done
done
printf '%-6s %6s %9s %9s %7s %9s %9s %7s\n' total "$period" "${total[wo]}" "${total[wn]}" \
  "$(ratio "${total[wo]}" "${total[wn]}")" "${total[uo]}" "${total[un]}" "$(ratio "${total[uo]}" "${total[un]}")"
