#!/bin/sh
# Converts bench-data/book-M.ods (1 million cells: numbers, texts, dates,
# date-times, formula booleans) to CSV with varnowe-batch and, in the same
# run, measures the inflate floor (unzip -p of content.xml) and Gnumeric's
# ssconvert on the same file. Then it builds a book whose sheet holds every
# row twice (2 million cells, content.xml twice as large) and converts that
# too: the reader streams content.xml, so peak memory may grow only by what
# the model holds for the added cells, never with the size of the part.
# Prints wall time, CPU time (user + system) and peak memory of each.
# Usage: bench/bench_ods.sh [varnowe-batch] [book.ods]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
BOOK=${2:-$ROOT/../shared/bench-data/book-M.ods}
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -f "$BOOK" ] || { echo "no benchmark workbook at $BOOK" >&2; exit 1; }
FORMATS=ods
. "$ROOT/bench/common.sh"

echo "file: $NAME ($(stat -c %s "$BOOK") bytes), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$BOOK" >/dev/null
measure floor unzip -p "$WORK/src/$NAME" content.xml
run_conversions
awk -v a="$varnowe_wall" -v b="$floor_wall" -v c="$varnowe_cpu" -v d="$floor_cpu" \
  'BEGIN { if (b > 0 && d > 0) printf "varnowe / floor: %.1fx wall, %.1fx cpu (target: 3x)\n", a / b, c / d }'
awk -v r="$varnowe_rss" 'BEGIN { printf "varnowe peak memory: %.1f MiB (target: under 150)\n", r / 1024 }'

# Two books from the first table's rows: "x2" holds every row twice (2 M
# cells); "past" holds them twice too, the copy placed after the rows that
# fill the sheet to its last row, so it is parsed in full but no cell of it
# reaches the model (content.xml doubles, the model stays at 1 M cells).
mkdir -p "$WORK/x2" "$WORK/past" "$WORK/out2"
python3 - "$WORK/src/$NAME" "$WORK/x2/${NAME%.*}-x2.ods" "$WORK/past/${NAME%.*}-past.ods" <<'PY'
import sys, zipfile
src, x2, past = sys.argv[1:4]
with zipfile.ZipFile(src) as z:
    content = z.read("content.xml")
    first = content.index(b"<table:table-row")
    end = content.index(b"</table:table>")
    # Trailing filler rows (empty and repeated to the end of the grid) stay last.
    rep = content.rfind(b"number-rows-repeated", first, end)
    cut = content.rfind(b"<table:table-row", first, rep) if rep >= 0 else end
    body, tail = content[first:cut], content[cut:end]
    for dst, part in ((x2, body + body + tail), (past, body + tail + body)):
        with zipfile.ZipFile(dst, "w") as out:
            out.writestr(zipfile.ZipInfo("mimetype"), z.read("mimetype"))
            for info in z.infolist():
                if info.filename == "mimetype":
                    continue
                data = content[:first] + part + content[end:] if info.filename == "content.xml" else z.read(info.filename)
                out.writestr(info.filename, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=6)
PY
for kind in x2 past; do
  measure "$kind" env VARNOWE_CODEPAGE=65001 "$BATCH" --source "$WORK/$kind" --dest "$WORK/out2" --format csv \
    --formats ods
  grep -q "Finished" "$WORK/$kind.out" || { echo "varnowe-batch did not finish the $kind book" >&2; exit 1; }
  echo "$kind book: $(stat -c %s "$WORK/$kind/${NAME%.*}-$kind.ods") bytes, CSV $(wc -l < "$WORK/out2/${NAME%.*}-$kind.csv") lines"
done
awk -v a="$varnowe_rss" -v b="$x2_rss" -v c="$past_rss" -v w="$varnowe_wall" -v x="$x2_wall" -v p="$past_wall" \
  'BEGIN { printf "sheet doubled (2 M cells): %.2fx peak memory (+%.1f MiB), %.2fx wall\n", b / a, (b - a) / 1024, x / w
           printf "content.xml doubled, same cells: %.2fx peak memory (+%.1f MiB), %.2fx wall\n", c / a, (c - a) / 1024, p / w }'
echo "(the package's compressed bytes are held while it is read: the difference in file sizes above)"
