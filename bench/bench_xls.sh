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
[ -x /usr/bin/time ] || { apt-get install -y -q time >/dev/null; }
if ! command -v ssconvert >/dev/null 2>&1; then
  echo "installing gnumeric for ssconvert ..." >&2
  (apt-get install -y -q --no-install-recommends gnumeric >/dev/null 2>&1 ||
   (apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends gnumeric >/dev/null)) ||
   echo "gnumeric could not be installed; ssconvert is left out" >&2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/src" "$WORK/out"
cp "$BOOK" "$WORK/src/"
NAME=$(basename "$BOOK")

# wall seconds and peak RSS (KiB) of one command, from /usr/bin/time -v
measure() {
  label=$1; shift
  /usr/bin/time -v "$@" >"$WORK/$label.out" 2>"$WORK/$label.time" || {
    echo "$label failed:" >&2; tail -5 "$WORK/$label.out" "$WORK/$label.time" >&2; return 1; }
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$WORK/$label.time" |
         awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$WORK/$label.time")
  awk -v l="$label" -v w="$wall" -v r="$rss" 'BEGIN { printf "%-12s %8.2f s %8.1f MiB\n", l, w, r / 1024 }'
  eval "${label}_wall=$wall"
}

echo "file: $NAME ($(stat -c %s "$BOOK") bytes)"
cat "$BOOK" >/dev/null
measure floor cat "$WORK/src/$NAME"
measure varnowe env VARNOWE_CODEPAGE=65001 "$BATCH" --source "$WORK/src" --dest "$WORK/out" --format csv
grep -q "1 finished" "$WORK/varnowe.out" || { echo "varnowe-batch did not finish the file:" >&2; cat "$WORK/varnowe.out" >&2; exit 1; }
echo "varnowe-batch CSV: $(wc -l < "$WORK/out/${NAME%.*}.csv") lines"
if command -v ssconvert >/dev/null 2>&1; then
  measure ssconvert ssconvert "$WORK/src/$NAME" "$WORK/ssconvert.csv"
  echo "ssconvert CSV: $(wc -l < "$WORK/ssconvert.csv") lines"
  awk -v a="$ssconvert_wall" -v b="$varnowe_wall" 'BEGIN { if (b > 0) printf "speed-up over ssconvert: %.1fx\n", a / b }'
fi
