#!/usr/bin/env bash
# pelund-verify of this tree against an older build (OLD_VERIFY, default
# /work/old/build/app/pelund-verify; a tree of the older commit built with
# `cmake --build build --target pelund-verify` serves) on files that both read: lines of a search within
# the old bounds, where the wide checker must cost what the old one did. Medians of
# five alternating runs each, and their ratio (new / old). Then the wide lines the old
# checker refuses at once, timed on this build alone.
# Usage: bash bench/verify_wide.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
new=$PWD/build/app/pelund-verify
old=${OLD_VERIFY:-/work/old/build/app/pelund-verify}
runs=${1:-5}
[ -x "$new" ] || cmake --build build --target pelund-verify >/dev/null
[ -x "$old" ] || { echo "no older pelund-verify at $old (set OLD_VERIFY)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# One covering file per case: "name base c" and the lines made by Python.
make_case() {
  local name=$1 base=$2 c=$3 program=$4
  mkdir -p "$name"
  printf 'base=%s\nc=%s\nmink=1\nmaxk=10\n' "$base" "$c" >"$name/pelund.ini"
  python3 -c "$program" >"$name/covering.txt"
}

make_case four-primes 10 -1 '
for i in range(200000): print(f"{10176 + i * 7 * 11 * 13 * 37}  6  [7, 11, 13, 37]")'
make_case period-5040-all-primes 10 -1 '
def prime(n): return n > 1 and all(n % d for d in range(2, int(n ** 0.5) + 1))
ps = [p for p in range(3, 200000, 2) if 10 % p and prime(p) and pow(10, 5040, p) == 1]
listed = ", ".join(map(str, ps))
for k in range(1, 3001): print(f"{k}  5040  [{listed}]")'
make_case safe-prime-refused 2 1 '
for k in range(1, 100001): print(f"{k}  1  [4294967087]")'
make_case claims 2 1 '
for k in range(1, 3001): print(f"{k}  5039  []  + n=0 (mod 5039): y^5039+1")'
make_case wide-k 10 -1 '
top = (2**256 - 1 - 10176) // (7 * 11 * 13 * 37) * (7 * 11 * 13 * 37) + 10176
for i in range(100000): print(f"{top - (100000 - i) * 7 * 11 * 13 * 37}  6  [7, 11, 13, 37]")'
make_case wide-prime 10 -1 '
for k in range(1, 100001): print(f"{10176 + k * 7 * 11 * 13 * 37}  102  [7, 11, 13, 37, 2071723, 5363222357]")'

seconds() {
  local binary=$1 begin end
  begin=$(date +%s.%N)
  "$binary" >/dev/null || true
  end=$(date +%s.%N)
  echo "$end - $begin" | bc -l
}
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

printf '%-24s %10s %10s %8s\n' case old-s new-s new/old
for name in four-primes period-5040-all-primes safe-prime-refused claims; do
  cd "$name"
  : >old.times
  : >new.times
  for _ in $(seq "$runs"); do
    seconds "$old" >>old.times
    seconds "$new" >>new.times
  done
  o=$(median <old.times)
  n=$(median <new.times)
  printf '%-24s %10.3f %10.3f %8.2f\n' "$name" "$o" "$n" "$(echo "$n / $o" | bc -l)"
  cd ..
done
echo "wide lines (the old checker refuses them as larger than it reads):"
for name in wide-k wide-prime; do
  cd "$name"
  : >new.times
  for _ in $(seq "$runs"); do seconds "$new" >>new.times; done
  lines=$(wc -l <covering.txt)
  printf '%-24s %10s %10.3f   %s lines, %s\n' "$name" - "$(median <new.times)" "$lines" "$("$new" | tail -1)"
  cd ..
done
