#!/bin/sh
# The PDF writer on a large workbook: varnowe-batch --format pdf against
# LibreOffice converting the same file to PDF, and against our own CSV
# conversion of it (the memory floor: the loaded workbook), all in one run.
# The PDF is checked with qpdf --check and its page count printed.
#
# Usage: bench/bench_export_pdf.sh [varnowe-batch] [book.xls]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
BOOK=${2:-$ROOT/../shared/bench-data/book-X.xls}
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -f "$BOOK" ] || { echo "no benchmark workbook at $BOOK" >&2; exit 1; }
. "$ROOT/bench/common.sh"

echo "file: $NAME ($(stat -c %s "$BOOK") bytes), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
convert() {  # convert LABEL FORMAT
  rm -rf "$WORK/out"
  measure "$1" env VARNOWE_CODEPAGE=65001 "$BATCH" --source "$WORK/src" --dest "$WORK/out" --format "$2" \
    --formats excel
  grep -q "Finished" "$WORK/$1.out" || { echo "varnowe-batch did not finish the file:" >&2; cat "$WORK/$1.out" >&2; exit 1; }
}

convert csv csv
convert varnowe pdf
PDF="$WORK/out/${NAME%.*}.pdf"
[ -f "$PDF" ] || { echo "no PDF was written" >&2; exit 1; }
echo "  PDF: $(stat -c %s "$PDF") bytes"
if command -v qpdf >/dev/null 2>&1; then
  echo "  pages: $(qpdf --show-npages "$PDF")"
  qpdf --check "$PDF" >"$WORK/qpdf.out" 2>&1 && echo "  qpdf --check: no errors" ||
    { echo "  qpdf --check failed:"; tail -5 "$WORK/qpdf.out"; }
fi
awk -v x="$varnowe_rss" -v c="$csv_rss" \
  'BEGIN { if (c > 0) printf "peak memory: PDF %.1f MiB, CSV %.1f MiB, ratio %.2f (target: the model plus one page)\n", x / 1024, c / 1024, x / c }'

if command -v soffice >/dev/null 2>&1; then
  # A profile of its own, so a desktop session's LibreOffice is left alone.
  measure soffice soffice -env:UserInstallation=file://$WORK/lo --headless --convert-to pdf \
    --outdir "$WORK/lo-out" "$WORK/src/$NAME"
  LOPDF="$WORK/lo-out/${NAME%.*}.pdf"
  [ -f "$LOPDF" ] && command -v qpdf >/dev/null 2>&1 && echo "  LibreOffice pages: $(qpdf --show-npages "$LOPDF")"
  awk -v a="$soffice_wall" -v b="$varnowe_wall" -v c="$soffice_cpu" -v d="$varnowe_cpu" \
    'BEGIN { if (b > 0 && d > 0) printf "speed-up over LibreOffice: %.1fx wall, %.1fx cpu (target: 5x)\n", a / b, c / d }'
else
  echo "soffice is missing (scripts/install-deps.sh installs libreoffice-calc-nogui); no comparison"
fi
