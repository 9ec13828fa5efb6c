#!/bin/sh
# Converts bench-data/book-M.xlsx (1 million cells: numbers, shared strings,
# dates, booleans) to CSV with varnowe-batch and, in the same run, measures the
# inflate floor (unzip -p of the sheet and shared-strings parts) and Gnumeric's
# ssconvert on the same file. Prints wall time, CPU time (user + system: wall
# time alone says little on a busy machine) and peak memory of each.
# Usage: bench/bench_xlsx.sh [varnowe-batch] [book.xlsx]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
BOOK=${2:-$ROOT/../shared/bench-data/book-M.xlsx}
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -f "$BOOK" ] || { echo "no benchmark workbook at $BOOK" >&2; exit 1; }
[ -x /usr/bin/time ] || apt-get install -y -q time >/dev/null
command -v unzip >/dev/null 2>&1 || apt-get install -y -q unzip >/dev/null
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

# wall seconds, CPU seconds and peak RSS (KiB) of one command, from /usr/bin/time -v
measure() {
  label=$1; shift
  /usr/bin/time -v "$@" >"$WORK/$label.out" 2>"$WORK/$label.time" || {
    echo "$label failed:" >&2; tail -5 "$WORK/$label.out" "$WORK/$label.time" >&2; return 1; }
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$WORK/$label.time" |
         awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  user=$(sed -n 's/.*User time (seconds): //p' "$WORK/$label.time")
  sys=$(sed -n 's/.*System time (seconds): //p' "$WORK/$label.time")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$WORK/$label.time")
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
  awk -v l="$label" -v w="$wall" -v c="$cpu" -v r="$rss" \
    'BEGIN { printf "%-10s wall %7.2f s   cpu %7.2f s   peak %8.1f MiB\n", l, w, c, r / 1024 }'
  eval "${label}_wall=$wall ${label}_cpu=$cpu ${label}_rss=$rss"
}

echo "file: $NAME ($(stat -c %s "$BOOK") bytes), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$BOOK" >/dev/null
measure floor unzip -p "$WORK/src/$NAME" xl/worksheets/sheet1.xml xl/sharedStrings.xml
measure varnowe env VARNOWE_CODEPAGE=65001 "$BATCH" --source "$WORK/src" --dest "$WORK/out" --format csv \
  --formats excel
grep -q "Finished" "$WORK/varnowe.out" || { echo "varnowe-batch did not finish the file:" >&2; cat "$WORK/varnowe.out" >&2; exit 1; }
echo "varnowe-batch CSV: $(wc -l < "$WORK/out/${NAME%.*}.csv") lines"
awk -v a="$varnowe_wall" -v b="$floor_wall" -v c="$varnowe_cpu" -v d="$floor_cpu" \
  'BEGIN { if (b > 0 && d > 0) printf "varnowe / floor: %.1fx wall, %.1fx cpu (target: 3x)\n", a / b, c / d }'
awk -v r="$varnowe_rss" 'BEGIN { printf "varnowe peak memory: %.1f MiB (target: under 150)\n", r / 1024 }'
if command -v ssconvert >/dev/null 2>&1; then
  measure ssconvert ssconvert "$WORK/src/$NAME" "$WORK/ssconvert.csv"
  echo "ssconvert CSV: $(wc -l < "$WORK/ssconvert.csv") lines"
  awk -v a="$ssconvert_wall" -v b="$varnowe_wall" -v c="$ssconvert_cpu" -v d="$varnowe_cpu" \
    'BEGIN { if (b > 0 && d > 0) printf "speed-up over ssconvert: %.1fx wall, %.1fx cpu\n", a / b, c / d }'
fi
