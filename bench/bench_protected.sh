#!/bin/sh
# Converts bench-data/book-M.xlsx to CSV, plain and protected (agile
# encryption, SHA-512, AES-256, 100,000 rounds, written by bench_protect),
# best of RUNS (default 3) each, alternating, and prints the ratio of the
# protected conversion to the plain one (target: at most 1.3x wall).
# Usage: bench/bench_protected.sh [build dir] [book.xlsx]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/default}
BOOK=${2:-$ROOT/../shared/bench-data/book-M.xlsx}
BATCH=$BUILD/varnowe-batch
[ -x "$BATCH" ] || { echo "varnowe-batch not found in $BUILD (build it or pass the build dir)" >&2; exit 1; }
[ -x "$BUILD/bench/bench_protect" ] || cmake --build "$BUILD" --target bench_protect >/dev/null
[ -f "$BOOK" ] || { echo "no benchmark workbook at $BOOK" >&2; exit 1; }
. "$ROOT/bench/common.sh"

mkdir -p "$WORK/prot" "$WORK/out2"
"$BUILD/bench/bench_protect" "$BOOK" "$WORK/prot/$NAME" "bench-password"
echo "file: $NAME ($(stat -c %s "$BOOK") bytes; protected $(stat -c %s "$WORK/prot/$NAME")), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$BOOK" "$WORK/prot/$NAME" >/dev/null
pw=$(mktemp)
echo "bench-password" >"$pw"
RUNS=${RUNS:-3}
pw_best="" pl_best="" pwc_best="" plc_best=""
i=0
while [ $i -lt "$RUNS" ]; do
  measure plain env VARNOWE_CODEPAGE=65001 "$BATCH" "$WORK/src/$NAME" -d "$WORK/out" -f csv >/dev/null
  measure protected env VARNOWE_CODEPAGE=65001 "$BATCH" "$WORK/prot/$NAME" -d "$WORK/out2" -f csv \
    --password-file "$pw" >/dev/null
  if [ -z "$pl_best" ] || awk -v a="$plain_wall" -v b="$pl_best" 'BEGIN { exit !(a < b) }'; then pl_best=$plain_wall; fi
  if [ -z "$pw_best" ] || awk -v a="$protected_wall" -v b="$pw_best" 'BEGIN { exit !(a < b) }'; then pw_best=$protected_wall; fi
  if [ -z "$plc_best" ] || awk -v a="$plain_cpu" -v b="$plc_best" 'BEGIN { exit !(a < b) }'; then plc_best=$plain_cpu; fi
  if [ -z "$pwc_best" ] || awk -v a="$protected_cpu" -v b="$pwc_best" 'BEGIN { exit !(a < b) }'; then pwc_best=$protected_cpu; fi
  i=$((i + 1))
done
rm -f "$pw"
cmp -s "$WORK/out/${NAME%.*}.csv" "$WORK/out2/${NAME%.*}.csv" || { echo "the two conversions differ" >&2; exit 1; }
awk -v a="$pw_best" -v b="$pl_best" -v c="$pwc_best" -v d="$plc_best" -v n="$RUNS" \
  'BEGIN { printf "best of %d: plain %.2f s, protected %.2f s: %.2fx wall (target: at most 1.3x); cpu plain %.2f s, protected %.2f s: %.2fx\n", n, b, a, a / b, d, c, c / d }'
