#!/bin/sh
# Builds the candidate and work lists of a directory of many empty files
# (varnowe-batch --list, nothing converted): COUNT files named *.csv, which
# are listed but no reader takes, then COUNT named *.xls, which all enter the
# work list. Listing must grow linearly with the number of files; the floor
# is `find | sort` over the same directory. Usage:
#   bench/bench_listing.sh [varnowe-batch] [count]   (count defaults to 100000)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
COUNT=${2:-100000}
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
# seconds LABEL COMMAND...: runs it once and prints the wall time.
seconds() {
  label=$1; shift
  t0=$(now); "$@" >/dev/null; t1=$(now)
  awk -v l="$label" -v a="$t0" -v b="$t1" 'BEGIN { printf "%-28s %7.2f s\n", l, b - a }'
  eval "${label}_s=\$(awk -v a=$t0 -v b=$t1 'BEGIN { print b - a }')"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for ext in csv xls; do
  for n in $((COUNT / 4)) "$COUNT"; do
    dir="$WORK/$ext$n"
    mkdir -p "$dir"
    (cd "$dir" && seq 1 "$n" | sed "s/\$/.$ext/" | xargs touch)
    seconds floor sh -c 'find "$1" -type f -name "*.$2" | sort' sh "$dir" "$ext"
    seconds list "$BATCH" --source "$dir" --dest "$WORK/out" --list
    awk -v e="$ext" -v n="$n" -v l="$list_s" -v f="$floor_s" \
      'BEGIN { printf "%s x %-7d list %.2f s, %.1f us per file, %.1fx the floor\n", e, n, l, l * 1e6 / n, (f > 0 ? l / f : 0) }'
    rm -rf "$dir"
  done
done
echo "linear: the time per file of the large list should be near that of the small one"
