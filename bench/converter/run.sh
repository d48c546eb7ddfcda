#!/usr/bin/env bash
# Converter benchmark, in one go on one generated audit log of 4 million lines:
# the batch conversion, `grep -F -c container_id=` and the awk reference
# conversion (no de-duplication). Prints lines per second and the ratios.
#
#   bench/converter/run.sh BUILD_DIR      (a release build with VREX_BENCH=ON)
#
# The converter writes its diagnostic log under /var/log, so the run happens
# inside the test sandbox. The generated log stays in BUILD_DIR (or
# $VREX_BENCH_DATA), outside the source tree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
if [ "${VREX_SANDBOX:-}" != 1 ]; then
  exec "$src/testing/sandbox/vrex-sandbox" -- "$here/run.sh" "$build"
fi

gen=$build/bench/converter/vrex-bench-auditgen
conv=$build/log-converter/vrex-log-converter
data=${VREX_BENCH_DATA:-$build/bench/converter/audit-4M.log}
out=$build/bench/converter/events.out
[ -s "$data" ] || "$gen" "$data" 4000000
lines=$(wc -l < "$data")
cat "$data" > /dev/null   # the same warm page cache for every contender

now() { date +%s.%N; }
# best of N runs of a command, in seconds
best() {
  local n=$1; shift
  local bestT=
  for _ in $(seq "$n"); do
    rm -f "$out"
    local t0 t1
    # Not /dev/null: grep stops at the first match when its output goes nowhere.
    t0=$(now); "$@" > "$out.stdout" 2>&1; t1=$(now)
    local t; t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
    if [ -z "$bestT" ] || awk -v a="$t" -v b="$bestT" 'BEGIN { exit !(a < b) }'; then bestT=$t; fi
  done
  echo "$bestT"
}
convert() { TZ=UTC "$conv" --convert "$data" --output "$out"; }
grepc() { LC_ALL=C grep -F -c container_id= "$data"; }
awkc() { TZ=UTC LC_ALL=C gawk -f "$here/convert.awk" "$data" > "$out"; }

tConv=$(best 3 convert)
events=$(TZ=UTC "$conv" --convert "$data" --output /dev/null 2>&1 >/dev/null | tail -n 1)
tGrep=$(best 3 grepc)
tAwk=$(best 1 awkc)
awkLines=$(wc -l < "$out")

awk -v n="$lines" -v c="$tConv" -v g="$tGrep" -v a="$tAwk" -v size="$(stat -c %s "$data")" 'BEGIN {
  printf "input: %d lines, %.0f MiB\n", n, size / 1048576
  printf "%-34s %8.3f s %12.0f lines/s\n", "vrex-log-converter --convert", c, n / c
  printf "%-34s %8.3f s %12.0f lines/s\n", "LC_ALL=C grep -F -c container_id=", g, n / g
  printf "%-34s %8.3f s %12.0f lines/s\n", "gawk reference conversion", a, n / a
  printf "conversion / awk  = %.2fx (goal >= 2)\n", a / c
  printf "conversion / grep = %.2fx (goal >= 0.5)\n", g / c
}'
echo "converter summary: ${events#vrex-log-converter: }"
echo "awk reference wrote $awkLines lines (no de-duplication)"
# Both must agree on which lines are events: written plus dropped repeats.
kept=$(echo "$events" | awk -F'[:,] *' '{ for (i = 1; i <= NF; i++) { if ($i ~ /events written/) w = $i + 0; if ($i ~ /duplicates/) d = $i + 0 } } END { print w + d }')
if [ "$kept" = "$awkLines" ]; then
  echo "check: converter events + duplicates = $kept = awk lines"
else
  echo "check FAILED: converter events + duplicates = $kept, awk lines = $awkLines"
fi
rm -f "$out" "$out.stdout"
