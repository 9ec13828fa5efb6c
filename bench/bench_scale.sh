#!/bin/sh
# Parallel conversion: a folder of COUNT copies (hard links) of book-S.xlsx
# (10,000 cells each, where the work per file dominates), then the large
# books, converted to CSV with --jobs 1 and --jobs 2 in the same run: wall
# time, CPU time, peak memory and the speed-up of 2 workers over 1. The
# outputs of both runs must be the same bytes. Usage:
#   bench/bench_scale.sh [varnowe-batch] [count]   (count defaults to 2000)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
COUNT=${2:-2000}
DATA=$ROOT/../shared/bench-data
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }
[ -x /usr/bin/time ] || apt-get install -y -q time >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/small" "$WORK/large"
i=0
while [ "$i" -lt "$COUNT" ]; do
  ln "$DATA/book-S.xlsx" "$WORK/small/book$i.xlsx" 2>/dev/null || cp "$DATA/book-S.xlsx" "$WORK/small/book$i.xlsx"
  i=$((i + 1))
done
for f in book-M.xlsx book-M.ods book-X.xls book-X.xlsx; do cp "$DATA/$f" "$WORK/large/"; done

# run SET JOBS: converts the set, prints wall, CPU and peak RSS, keeps the wall time.
run() {
  rm -rf "$WORK/out"
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/time" env VARNOWE_CODEPAGE=65001 "$BATCH" -q -s "$WORK/$1" \
    -d "$WORK/out" -f csv -j "$2" >/dev/null
  read -r wall user sys rss <"$WORK/time"
  awk -v s="$1" -v j="$2" -v w="$wall" -v u="$user" -v y="$sys" -v r="$rss" \
    'BEGIN { printf "%-6s -j %s  wall %7.2f s   cpu %7.2f s   peak %7.1f MiB\n", s, j, w, u + y, r / 1024 }'
  eval "wall_$1_$2=$wall"
  (cd "$WORK/out" && find . -type f | sort | xargs md5sum) >"$WORK/sums_$1_$2"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors"
for set in small large; do
  run "$set" 1
  run "$set" 2
  cmp -s "$WORK/sums_${set}_1" "$WORK/sums_${set}_2" || { echo "$set: -j 2 wrote other bytes than -j 1" >&2; exit 1; }
  eval "a=\$wall_${set}_1 b=\$wall_${set}_2"
  awk -v s="$set" -v a="$a" -v b="$b" 'BEGIN { printf "%-6s speed-up of -j 2 over -j 1: %.2fx (outputs identical)\n", s, (b > 0 ? a / b : 0) }'
done
