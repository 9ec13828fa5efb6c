#!/bin/sh
# The .xlsx writer on two large workbooks, book-M.xlsx (1 million cells) and
# book-X.xls (BIFF8, 655,000 cells): varnowe-batch --format xlsx against
# Gnumeric's ssconvert writing .xlsx from the same file, and against our own
# CSV conversion of it, all in one run. The CSV run is the reader's share:
# .xlsx minus CSV is about what the writer costs (the CSV writer itself is
# cheap), and its peak memory is the floor (the loaded workbook).
# Each output is checked with unzip -t. The same conversion with
# --whole-workbook (every sheet in one package) is timed beside it: on these
# one-sheet books it must cost what the per-sheet .xlsx costs.
#
# Usage: bench/bench_export_xlsx.sh [varnowe-batch] [bench-data directory]
# RUNS (default 3) runs of ours, SSRUNS (default 1) of ssconvert, best kept.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
DATA=${2:-$ROOT/../shared/bench-data}
BOOK=$DATA/book-M.xlsx
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -f "$BOOK" ] && [ -f "$DATA/book-X.xls" ] || { echo "no benchmark workbooks in $DATA" >&2; exit 1; }
. "$ROOT/bench/common.sh"
SSRUNS=${SSRUNS:-1}
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

# one LABEL BOOK: the book to .xlsx and to CSV by us, to .xlsx by ssconvert.
one() {
  label=$1 book=$2 name=$(basename "$2")
  rm -rf "$WORK/src" && mkdir -p "$WORK/src" && cp "$book" "$WORK/src/"
  echo "== $name ($(stat -c %s "$book") bytes)"
  for format in xlsx csv; do
    best "$format" sh -c "rm -rf '$WORK/out'; env VARNOWE_CODEPAGE=65001 '$BATCH' --source '$WORK/src' \
      --dest '$WORK/out' --format $format --formats excel"
  done
  best whole sh -c "rm -rf '$WORK/out'; env VARNOWE_CODEPAGE=65001 '$BATCH' --source '$WORK/src' \
    --dest '$WORK/out' --format xlsx --whole-workbook --formats excel"
  grep -q "^Finished" "$WORK/whole.out" || { echo "no whole-workbook .xlsx was written:" >&2; cat "$WORK/whole.out" >&2; exit 1; }
  awk -v w="$whole_wall" -v x="$xlsx_wall" \
    'BEGIN { if (x > 0) printf "whole workbook: %.2fx the per-sheet .xlsx wall time (target: about 1)\n", w / x }'
  grep -q "^Finished" "$WORK/xlsx.out" || { echo "no .xlsx was written:" >&2; cat "$WORK/xlsx.out" >&2; exit 1; }
  rm -rf "$WORK/out"
  env VARNOWE_CODEPAGE=65001 "$BATCH" --source "$WORK/src" --dest "$WORK/out" --format xlsx --formats excel >/dev/null
  out="$WORK/out/${name%.*}.xlsx"
  unzip -tq "$out" >/dev/null || { echo "unzip -t fails on $out" >&2; exit 1; }
  echo "  .xlsx: $(stat -c %s "$out") bytes, unzip -t clean"
  if command -v ssconvert >/dev/null 2>&1; then
    saved=$RUNS RUNS=$SSRUNS
    best ssconvert ssconvert "$WORK/src/$name" "$WORK/ssconvert.xlsx"
    RUNS=$saved
    awk -v a="$ssconvert_wall" -v b="$xlsx_wall" -v c="$ssconvert_cpu" -v d="$xlsx_cpu" \
      'BEGIN { if (b > 0 && d > 0) printf "speed-up over ssconvert: %.1fx wall, %.1fx cpu (target: 8x)\n", a / b, c / d }'
  fi
  awk -v x="$xlsx_cpu" -v c="$csv_cpu" -v r="$xlsx_rss" -v f="$csv_rss" 'BEGIN {
    printf "writer share: %.2f s of %.2f s cpu (.xlsx minus CSV); peak %.1f MiB (target: under 200), CSV floor %.1f MiB\n",
      x - c, x, r / 1024, f / 1024 }'
}

one M "$BOOK"
one X "$DATA/book-X.xls"
