#!/bin/sh
# book-M.xlsx (1 million cells) to PDF, HTML and CSV with --values stored and
# --values displayed (and CSV with data): best of RUNS (default 3) each,
# alternating, wall and CPU time; the ratio displayed / stored per format.
# Usage: bench/bench_values.sh [varnowe-batch] [book.xlsx]
set -eu
here=$(dirname "$0")
bin=${1:-$here/../build/default/varnowe-batch}
book=${2:-$here/../../shared/bench-data/book-M.xlsx}
runs=${RUNS:-3}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
best() {  # format values -> "wall cpu" of the best run
  b=""
  i=0
  while [ "$i" -lt "$runs" ]; do
    t=$( { /usr/bin/time -f "%e %U %S" "$bin" -q -f "$1" --values "$2" -o "$out/book.$1" "$book" >/dev/null; } 2>&1 | tail -1)
    w=$(echo "$t" | awk '{print $1}')
    c=$(echo "$t" | awk '{printf "%.2f", $2 + $3}')
    if [ -z "$b" ] || awk "BEGIN{exit !($w < $(echo "$b" | cut -d' ' -f1))}"; then b="$w $c"; fi
    i=$((i + 1))
  done
  echo "$b"
}
printf "%-5s %-10s %8s %8s\n" format values wall_s cpu_s
for f in pdf htm csv; do
  s=$(best "$f" stored)
  d=$(best "$f" displayed)
  printf "%-5s %-10s %8s %8s\n" "$f" stored $s
  printf "%-5s %-10s %8s %8s\n" "$f" displayed $d
  echo "$s $d" | awk -v f="$f" '{printf "%-5s displayed/stored: wall %.2fx, cpu %.2fx\n", f, $3 / $1, $4 / $2}'
done
printf "%-5s %-10s %8s %8s\n" csv data $(best csv data)
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
