#!/usr/bin/env bash
# The exact engines through the binary, 2 threads, from k = 1: engine=sieve,
# engine=residue and engine=auto side by side on each case (medians of three
# alternating runs), with the first line and the count of sets. Where the sieve would
# take hours it times a slice of the range and scales it. Then the cost of the state
# of a resumable search: resume=0 against resume=1 on a sieve run; and the cost of
# algebraic factors: algebraic=0 against algebraic=1 on the R10 and S2 cases.
# Usage: bash bench/engines.sh [quick]   (quick: one run of each, no 10^18 case)
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
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# Seconds of one run of pelund.ini with the extra lines given.
once() {
  rm -f covering.txt pelund.state
  local begin end
  begin=$(date +%s.%N)
  "$binary" >/dev/null
  end=$(date +%s.%N)
  awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.3f", e - b }'
}

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# case name, settings, engines to time (sieve may be "slice:WIDTH" to time a slice).
bench() {
  local name=$1 settings=$2
  shift 2
  declare -A times
  local engine
  for ((r = 0; r < runs; ++r)); do
    for engine in "$@"; do
      if [[ $engine == slice:* ]]; then
        local width=${engine#slice:}
        # The last line of a key wins: the slice's maxk replaces the case's.
        printf '%s\nmaxk=%s\nthreads=2\nengine=sieve\n' "$settings" "$width" >pelund.ini
        times[$engine]+="$(once) "
      else
        printf '%s\nthreads=2\nengine=%s\n' "$settings" "$engine" >pelund.ini
        times[$engine]+="$(once) "
      fi
    done
  done
  local line
  line=$(head -n 1 covering.txt 2>/dev/null || true)
  local sets
  sets=$(wc -l <covering.txt 2>/dev/null || echo 0)
  printf '%-44s sets %-7s first %s\n' "$name" "$sets" "${line%%  *}"
  for engine in "$@"; do
    # shellcheck disable=SC2086
    local m
    m=$(median ${times[$engine]})
    if [[ $engine == slice:* ]]; then
      local maxk
      maxk=$(printf '%s\n' "$settings" | sed -n 's/^maxk=//p')
      printf '    sieve, a slice of %s k: %s s, scaled to the range: %.0f s\n' "${engine#slice:}" "$m" \
        "$(awk -v m="$m" -v w="${engine#slice:}" -v k="$maxk" 'BEGIN { print m * k / w }')"
    else
      printf '    %-8s %s s\n' "$engine" "$m"
    fi
  done
}

P=$'period=144\nmaxfact=100000\nmink=1'
bench "S7 to 1.12e12" $'base=7\nc=1\n'"$P"$'\nmaxk=1120000000000' slice:20000000000 residue auto
bench "R15 to 3.64e13" $'base=15\nc=-1\n'"$P"$'\nmaxk=36400000000000' slice:20000000000 residue auto
bench "S15 to 9.13e13" $'base=15\nc=1\n'"$P"$'\nmaxk=91300000000000' slice:20000000000 residue auto
bench "R10 defaults to 1e9" $'base=10\nc=-1\nmink=1\nmaxk=1000000000' sieve residue auto
bench "S2 P=5040 maxfact 1e6 to 1e9" $'base=2\nc=1\nperiod=5040\nmink=1\nmaxk=1000000000' sieve auto
bench "S3 maxfact 1000 to 1.3e11" $'base=3\nc=1\nmaxfact=1000\nmink=1\nmaxk=130000000000' slice:20000000000 residue auto
bench "S2 P=720 maxfact 1e6 to 1e9" $'base=2\nc=1\nperiod=720\nmink=1\nmaxk=1000000000' sieve auto
if [ "${1:-}" != quick ]; then
  runs=1 bench "S7 to 1e18 (the whole range allowed)" $'base=7\nc=1\n'"$P"$'\nmaxk=1000000000000000000' auto
fi

echo "== the state of a resumable search (R10, maxfact 1000, 2e9 k, sieve)"
r0=() r1=()
for ((r = 0; r < 3; ++r)); do
  printf 'base=10\nc=-1\nmaxfact=1000\nmink=1\nmaxk=2000000000\nthreads=2\nengine=sieve\nresume=0\n' >pelund.ini
  r0+=("$(once)")
  printf 'base=10\nc=-1\nmaxfact=1000\nmink=1\nmaxk=2000000000\nthreads=2\nengine=sieve\nresume=1\n' >pelund.ini
  r1+=("$(once)")
done
m0=$(median "${r0[@]}") m1=$(median "${r1[@]}")
printf '    resume=0 %s s, resume=1 %s s, ratio %.3f\n' "$m0" "$m1" "$(awk -v a="$m0" -v b="$m1" 'BEGIN { print b / a }')"

echo "== algebraic factors: algebraic=0 against algebraic=1 (medians of three alternating runs)"
for setting in $'base=10\nc=-1\nmink=1\nmaxk=1000000000\nengine=sieve' $'base=10\nc=-1\nmink=1\nmaxk=1000000000\nengine=auto' \
  $'base=2\nc=1\nperiod=5040\nmink=1\nmaxk=1000000000\nengine=sieve' $'base=2\nc=1\nperiod=720\nmink=1\nmaxk=1000000000\nengine=sieve'; do
  a0=() a1=()
  for ((r = 0; r < 3; ++r)); do
    printf '%s\nthreads=2\nalgebraic=0\n' "$setting" >pelund.ini
    a0+=("$(once)")
    printf '%s\nthreads=2\nalgebraic=1\n' "$setting" >pelund.ini
    a1+=("$(once)")
  done
  m0=$(median "${a0[@]}") m1=$(median "${a1[@]}")
  printf '    %-40s algebraic=0 %s s, algebraic=1 %s s, ratio %.3f\n' "$(echo "$setting" | paste -sd' ')" "$m0" "$m1" \
    "$(awk -v a="$m0" -v b="$m1" 'BEGIN { print b / a }')"
done
