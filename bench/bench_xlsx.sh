#!/bin/sh
# Converts bench-data/book-M.xlsx (1 million cells: numbers, shared strings,
# dates, booleans) to CSV with varnowe-batch and, in the same run, measures the
# inflate floor (unzip -p of the sheet and shared-strings parts) and Gnumeric's
# ssconvert on the same file. Prints wall time, CPU time (user + system: wall
# time alone says little on a busy machine) and peak memory of each; then the
# conversion again with parts inflated on the parsing thread
# (VARNOWE_READ_AHEAD=0), to show what inflating and scanning rows on a second thread gives.
# Usage: bench/bench_xlsx.sh [varnowe-batch] [book.xlsx]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
BOOK=${2:-$ROOT/../shared/bench-data/book-M.xlsx}
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -f "$BOOK" ] || { echo "no benchmark workbook at $BOOK" >&2; exit 1; }
. "$ROOT/bench/common.sh"

echo "file: $NAME ($(stat -c %s "$BOOK") bytes), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$BOOK" >/dev/null
measure floor unzip -p "$WORK/src/$NAME" xl/worksheets/sheet1.xml xl/sharedStrings.xml
run_conversions
mkdir -p "$WORK/out1"
measure oneThread env VARNOWE_READ_AHEAD=0 VARNOWE_CODEPAGE=65001 "$BATCH" --source "$WORK/src" \
  --dest "$WORK/out1" --format csv --formats excel
cmp -s "$WORK/out/${NAME%.*}.csv" "$WORK/out1/${NAME%.*}.csv" || { echo "the two conversions differ" >&2; exit 1; }
awk -v a="$varnowe_wall" -v b="$floor_wall" -v c="$varnowe_cpu" -v d="$floor_cpu" \
  'BEGIN { if (b > 0 && d > 0) printf "varnowe / floor: %.1fx wall, %.1fx cpu (target: 2x wall)\n", a / b, c / d }'
awk -v a="$oneThread_wall" -v b="$floor_wall" \
  'BEGIN { if (b > 0) printf "without read-ahead / floor: %.1fx wall\n", a / b }'
awk -v r="$varnowe_rss" 'BEGIN { printf "varnowe peak memory: %.1f MiB (target: under 150)\n", r / 1024 }'
