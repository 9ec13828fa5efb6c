#!/bin/sh
# Converts bench-data/book-X.xls (BIFF8, 655,000 cells) to CSV with
# varnowe-batch and, in the same run, with Gnumeric's ssconvert; prints wall
# time and peak memory of each. Usage: bench/bench_xls.sh [varnowe-batch] [book.xls]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
BOOK=${2:-$ROOT/../shared/bench-data/book-X.xls}
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -f "$BOOK" ] || { echo "no benchmark workbook at $BOOK" >&2; exit 1; }
. "$ROOT/bench/common.sh"

echo "file: $NAME ($(stat -c %s "$BOOK") bytes), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$BOOK" >/dev/null
measure floor cat "$WORK/src/$NAME"
run_conversions
awk -v r="$varnowe_rss" 'BEGIN { printf "varnowe peak memory: %.1f MiB (target: under 100)\n", r / 1024 }'
