#!/usr/bin/env bash
# The decoding chain before and after, in one run: builds bench_decoder and navtex-decode
# (Release) at the commit BASE with this tree's
# bench/decoder.cpp, and at the working tree, then runs both benchmark programs and times
# navtex-decode on the repository's recording played 71 times over (20 minutes), best of
# seven in processor seconds, checking that both print the same.
#   bench/decoder-before-after.sh [BASE]
set -euo pipefail
top=$(git rev-parse --show-toplevel)
[ $# -eq 1 ] || { echo "usage: $0 BASE-COMMIT" >&2; exit 2; }
base=$1
work=$(mktemp -d)
trap 'git -C "$top" worktree remove --force "$work/base" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

git -C "$top" worktree add -q --detach "$work/base" "$base"
cp "$top/bench/decoder.cpp" "$work/base/bench/decoder.cpp"
for tree in "$work/base" "$top"; do
  cmake -S "$tree" -B "$tree/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTILO_BENCH=ON \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$tree/build/bench" -j "$(nproc)" --target bench_decoder navtex-decode >/dev/null
done

rec="$top/tests/data/sitor_b_example_11025.wav"
long="$work/long_11025.wav"
# The header with an open-ended data size, then the recording's data 71 times.
{ head -c 40 "$rec"; printf '\xff\xff\xff\xff'; for _ in $(seq 71); do tail -c +45 "$rec"; done; } >"$long"

cpu() {  # processor seconds of one run, its output kept in $2
  local t TIMEFORMAT='%U %S'
  t=$( { time "$1" --centre 1000 --messages --ticker --utc "2026-12-11 00:00:00" "$long" \
          >"$2" 2>/dev/null; } 2>&1 )
  awk '{ printf "%.3f", $1 + $2 }' <<<"$t"
}
best_before=999 best_after=999
for _ in 1 2 3 4 5 6 7; do
  b=$(cpu "$work/base/build/bench/tools/navtex-decode" "$work/before.txt")
  a=$(cpu "$top/build/bench/tools/navtex-decode" "$work/after.txt")
  best_before=$(awk -v x="$b" -v y="$best_before" 'BEGIN { print (x < y) ? x : y }')
  best_after=$(awk -v x="$a" -v y="$best_after" 'BEGIN { print (x < y) ? x : y }')
done
cmp -s "$work/before.txt" "$work/after.txt" && same=yes || same=NO
echo "navtex-decode, 20 min recording, best of 7 CPU s: before $best_before, after $best_after," \
     "speed-up $(awk -v b="$best_before" -v a="$best_after" 'BEGIN { printf "%.2fx", b / a }'), same output: $same"

for tree in "$work/base" "$top"; do
  echo "== bench_decoder at $([ "$tree" = "$top" ] && echo 'the working tree' || echo "$base")"
  TILO_SOURCE_DIR="$top" "$tree/build/bench/bench/bench_decoder" --benchmark_filter='Stage|Recording20Min'
done
