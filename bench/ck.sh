#!/usr/bin/env bash
# pelund-ck on the tables of the targets, through the binary: both forms of the bases
# 2 to LAST with the defaults (period 720, maxfact 10^6, maxk 10^18), each run in a
# fresh directory on all threads, with its wall and CPU seconds, its largest resident
# memory and a few of its lines (S7, S10, R10, S511, S910 where in range).
# Usage: bash bench/ck.sh [LAST ...]   (default: 1024 2048)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target pelund-ck >/dev/null
ck=$PWD/build/ck/pelund-ck
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lasts=("$@")
[ ${#lasts[@]} -gt 0 ] || lasts=(1024 2048)
for last in "${lasts[@]}"; do
  mkdir -p "$work/$last"
  (cd "$work/$last" && /usr/bin/time -f "%e %U %S %M" -o ../"$last".time "$ck" SR "2-$last" >/dev/null)
  read -r wall user system kb <"$work/$last.time"
  echo "SR 2-$last: $wall s wall, $user + $system s CPU, $((kb / 1024)) MB"
  grep -E '^(S7|S10|R10|S511|S910)  ' "$work/$last/ck.txt" | sed 's/^/    /'
done
