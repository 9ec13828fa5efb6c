# Shared by the conversion benchmarks: tools, a scratch directory and
# `measure LABEL COMMAND...`, which prints wall time, CPU time and peak
# memory from /usr/bin/time -v and keeps them as LABEL_wall, LABEL_cpu,
# LABEL_rss. Expects BOOK (the input workbook) to be set; sets WORK and NAME.
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

# Converts the book with varnowe-batch (source formats FORMATS, excel when
# unset), then with ssconvert, and prints the ratio.
run_conversions() {
  measure varnowe env VARNOWE_CODEPAGE=65001 "$BATCH" --source "$WORK/src" --dest "$WORK/out" --format csv \
    --formats "${FORMATS:-excel}"
  grep -q "Finished" "$WORK/varnowe.out" || {
    echo "varnowe-batch did not finish the file:" >&2; cat "$WORK/varnowe.out" >&2; exit 1; }
  echo "varnowe-batch CSV: $(wc -l < "$WORK/out/${NAME%.*}.csv") lines"
  if command -v ssconvert >/dev/null 2>&1; then
    measure ssconvert ssconvert "$WORK/src/$NAME" "$WORK/ssconvert.csv"
    echo "ssconvert CSV: $(wc -l < "$WORK/ssconvert.csv") lines"
    awk -v a="$ssconvert_wall" -v b="$varnowe_wall" -v c="$ssconvert_cpu" -v d="$varnowe_cpu" \
      'BEGIN { if (b > 0 && d > 0) printf "speed-up over ssconvert: %.1fx wall, %.1fx cpu\n", a / b, c / d }'
  fi
}

RUNS=${RUNS:-3}
# best LABEL COMMAND...: the fastest of RUNS runs (the machine is shared), as LABEL_wall/_cpu/_rss.
best() {
  label=$1; shift
  bw=""; bc=""; br=""
  i=0
  while [ $i -lt "$RUNS" ]; do
    measure "$label" "$@" >/dev/null
    eval "w=\$${label}_wall c=\$${label}_cpu r=\$${label}_rss"
    if [ -z "$bw" ] || awk -v a="$w" -v b="$bw" 'BEGIN { exit !(a < b) }'; then bw=$w; bc=$c; br=$r; fi
    i=$((i + 1))
  done
  eval "${label}_wall=$bw ${label}_cpu=$bc ${label}_rss=$br"
  awk -v l="$label" -v w="$bw" -v c="$bc" -v r="$br" -v n="$RUNS" \
    'BEGIN { printf "%-10s wall %7.2f s   cpu %7.2f s   peak %8.1f MiB   (best of %d)\n", l, w, c, r / 1024, n }'
}
