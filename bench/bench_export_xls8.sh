#!/bin/sh
# The Excel 97-2003 workbook writer: book-X.xls (655 k cells) and
# book-M.xlsx (1 M cells, 100,000 rows: beyond the 65,536 rows a sheet
# holds, so it is timed to the row-limit error) loaded and written as one
# BIFF8 workbook by bench_export_xls8, against Gnumeric's ssconvert writing
# .xls from the same file and our CSV conversion of it (the memory floor:
# the loaded workbook), all in one run. Best of RUNS (3) runs each.
#
# Usage: bench/bench_export_xls8.sh [build dir] [book ...]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/default}
if [ $# -gt 0 ]; then shift; fi
DATA=$ROOT/../shared/bench-data
[ $# -gt 0 ] || set -- "$DATA/book-X.xls" "$DATA/book-M.xlsx"
TOOL=$BUILD/bench/bench_export_xls8
BATCH=$BUILD/varnowe-batch
[ -x "$TOOL" ] || { echo "no $TOOL (cmake --build build/default --target benchmarks)" >&2; exit 1; }
[ -x "$BATCH" ] || { echo "no $BATCH" >&2; exit 1; }
BOOK=$1
. "$ROOT/bench/common.sh"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for BOOK in "$@"; do
  NAME=$(basename "$BOOK")
  rm -rf "$WORK/src" && mkdir -p "$WORK/src" && cp "$BOOK" "$WORK/src/"
  echo "== $NAME ($(stat -c %s "$BOOK") bytes)"
  best xls8 sh -c "env VARNOWE_CODEPAGE=65001 '$TOOL' '$WORK/src/$NAME' '$WORK/out.xls'; true"
  sed 's/^/  /' "$WORK/xls8.out" | cut -c1-110
  [ -f "$WORK/out.xls" ] && echo "  .xls: $(stat -c %s "$WORK/out.xls") bytes" && rm -f "$WORK/out.xls"
  best csv sh -c "rm -rf '$WORK/out'; env VARNOWE_CODEPAGE=65001 '$BATCH' --source '$WORK/src' --dest '$WORK/out' --format csv; true"
  if command -v ssconvert >/dev/null 2>&1; then
    best ssconvert sh -c "ssconvert '$WORK/src/$NAME' '$WORK/ssconvert.xls' >/dev/null 2>&1; true"
    awk -v a="$ssconvert_wall" -v b="$xls8_wall" -v c="$ssconvert_cpu" -v d="$xls8_cpu" \
      'BEGIN { if (b > 0 && d > 0) printf "speed-up over ssconvert: %.1fx wall, %.1fx cpu\n", a / b, c / d }'
  fi
  awk -v x="$xls8_rss" -v c="$csv_rss" \
    'BEGIN { if (c > 0) printf "peak memory: BIFF8 %.1f MiB, CSV %.1f MiB, ratio %.2f\n", x / 1024, c / 1024, x / c }'
done
