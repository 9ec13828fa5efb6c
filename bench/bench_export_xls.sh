#!/bin/sh
# The .xls writer on a large workbook: varnowe-batch --format xls against
# Gnumeric's ssconvert writing .xls from the same file, and against our own
# CSV conversion of it (the memory floor: the loaded workbook), all in one run.
#
# A BIFF4 sheet holds 16,384 rows (the most xlrd and Gnumeric read), so
# book-X.xlsx (65,536 rows) ends in the row-limit error; it is timed to that
# error, and the comparison runs on the same book cut to 16,384 rows
# (gen_xlsx.py with the same seed: the first 16,383 data rows of book-X).
#
# Usage: bench/bench_export_xls.sh [varnowe-batch] [book.xlsx]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
BOOK=${2:-$ROOT/../shared/bench-data/book-X.xlsx}
GEN=$(dirname "$BOOK")/gen_xlsx.py
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -f "$BOOK" ] || { echo "no benchmark workbook at $BOOK" >&2; exit 1; }
. "$ROOT/bench/common.sh"

echo "file: $NAME ($(stat -c %s "$BOOK") bytes), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
convert() {  # convert LABEL FORMAT SOURCE-DIR (an error item is timed, not fatal)
  best "$1" sh -c "rm -rf '$WORK/out'; env VARNOWE_CODEPAGE=65001 '$BATCH' --source '$3' --dest '$WORK/out' --format $2 --formats excel; true"
  sed -n 's/^\(Finished\|Error\)/  \1/p' "$WORK/$1.out" | cut -c1-110
}

# The full book: the row limit, and how soon it is reported.
convert full_xls xls "$WORK/src"

# The largest sheet BIFF4 holds.
mkdir -p "$WORK/cut"
/usr/bin/python3 "$GEN" 16383 "$WORK/cut/book-16k.xlsx" >/dev/null
echo "cut to 16,384 rows: $(stat -c %s "$WORK/cut/book-16k.xlsx") bytes"
convert varnowe xls "$WORK/cut"
[ -f "$WORK/out/book-16k.xls" ] || { echo "no .xls was written" >&2; exit 1; }
echo "  .xls: $(stat -c %s "$WORK/out/book-16k.xls") bytes"
convert csv csv "$WORK/cut"
if command -v ssconvert >/dev/null 2>&1; then
  best ssconvert ssconvert "$WORK/cut/book-16k.xlsx" "$WORK/ssconvert.xls"
  awk -v a="$ssconvert_wall" -v b="$varnowe_wall" -v c="$ssconvert_cpu" -v d="$varnowe_cpu" \
    'BEGIN { if (b > 0 && d > 0) printf "speed-up over ssconvert: %.1fx wall, %.1fx cpu (target: 8x)\n", a / b, c / d }'
fi
awk -v x="$varnowe_rss" -v c="$csv_rss" \
  'BEGIN { if (c > 0) printf "peak memory: .xls %.1f MiB, CSV %.1f MiB, ratio %.2f (target: under 2)\n", x / 1024, c / 1024, x / c }'
