#!/bin/bash
# The speed figures side by side for one or more builds, in one run: each
# figure is the best of RUNS (default 5) wall times, each binary measured
# right after the others, floors and peers in the same run; the load
# average before and after. Usage:
#   bench/bench_targets.sh [varnowe-batch ...]   (default: this tree's build)
# The 5-million-cell book is generated once into $BENCH_CACHE (default
# /tmp/varnowe-bench) with gen_xlsx.py; ssconvert runs SSRUNS times (default 1).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DATA=$ROOT/../shared/bench-data
RUNS=${RUNS:-5}
SSRUNS=${SSRUNS:-1}
CACHE=${BENCH_CACHE:-/tmp/varnowe-bench}
[ $# -gt 0 ] || set -- "$ROOT/build/default/varnowe-batch"
for b in "$@"; do [ -x "$b" ] || { echo "no varnowe-batch at $b" >&2; exit 1; }; done
[ -x /usr/bin/time ] || apt-get install -y -q time >/dev/null
WORK=$(mktemp -d)
# The one-cell files and their outputs live in memory where the machine has
# a tmpfs (TINY_DIR): on ext4 the time to create a file grows with the files
# created and deleted in the minute before, so the figure measured the file
# system's state rather than the program.
TINY=$WORK
[ -d "${TINY_DIR:-/dev/shm}" ] && [ -w "${TINY_DIR:-/dev/shm}" ] && TINY=$(mktemp -d -p "${TINY_DIR:-/dev/shm}")
trap 'rm -rf "$WORK" "$TINY"' EXIT
export VARNOWE_CODEPAGE=65001

mkdir -p "$CACHE"
[ -f "$CACHE/book-5M.xlsx" ] || python3 "$DATA/gen_xlsx.py" 500000 "$CACHE/book-5M.xlsx" >/dev/null
# One-cell workbooks (1,000) and small ones (400 links of book-S.xlsx).
python3 - "$TINY/tiny" <<'EOF'
import sys, os, zipfile
d = sys.argv[1]; os.makedirs(d)
parts = {
  "[Content_Types].xml": '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/><Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/></Types>',
  "_rels/.rels": '<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>',
  "xl/workbook.xml": '<?xml version="1.0"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets><sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>',
  "xl/_rels/workbook.xml.rels": '<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/></Relationships>',
}
for i in range(1000):
  with zipfile.ZipFile(os.path.join(d, "cell%04d.xlsx" % i), "w", zipfile.ZIP_DEFLATED) as z:
    for n, t in parts.items(): z.writestr(n, t)
    z.writestr("xl/worksheets/sheet1.xml", '<?xml version="1.0"?><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData><row r="1"><c r="A1"><v>%d</v></c></row></sheetData></worksheet>' % i)
EOF
mkdir -p "$WORK/small"
for i in $(seq 400); do ln "$DATA/book-S.xlsx" "$WORK/small/b$i.xlsx" 2>/dev/null || cp "$DATA/book-S.xlsx" "$WORK/small/b$i.xlsx"; done

# best LABEL N COMMAND...: fastest wall of N runs, and the peak RSS of that run.
# Every run writes into a fresh, empty folder (the last one is moved aside): on a
# file system without a journal, ext4 skips inodes freed in the last seconds
# when it allocates, so deleting a thousand outputs just before a run made
# each new file cost several times more than it does for a user.
best() {
  local label=$1 n=$2 bw="" br="" i
  shift 2
  for ((i = 0; i < n; i++)); do
    OUTN=$((OUTN + 1)); mkdir -p "$WORK/runs"
    [ ! -d "$WORK/out" ] || mv "$WORK/out" "$WORK/runs/$OUTN"
    mkdir "$WORK/out"
    /usr/bin/time -f "%e %M" -o "$WORK/t" "$@" >/dev/null 2>"$WORK/err" || { echo "$label failed" >&2; cat "$WORK/err" >&2; return 1; }
    read -r w r <"$WORK/t"
    # Few large outputs go now; folders of many small ones after the last run.
    [ "$(find "$WORK/out" -type f | head -200 | wc -l)" -ge 200 ] || rm -rf "$WORK/out"
    if [ -z "$bw" ] || awk -v a="$w" -v b="$bw" 'BEGIN { exit !(a < b) }'; then bw=$w; br=$r; fi
  done
  rm -rf "$WORK/runs"
  eval "W_$label=$bw R_$label=$br"
  printf "%-22s %8.3f s  %8.1f MiB  load %s\n" "$label" "$bw" "$(awk -v r="$br" 'BEGIN { print r / 1024 }')" \
    "$(cut -d' ' -f1 /proc/loadavg)"
}
OUTN=0
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
size() { stat -c %s "$1"; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors, best of $RUNS"
X=$DATA/book-M.xlsx O=$DATA/book-M.ods X5=$CACHE/book-5M.xlsx XLS=$DATA/book-X.xls
best unzip_xlsx "$RUNS" sh -c "unzip -p '$X' xl/worksheets/sheet1.xml xl/sharedStrings.xml >/dev/null"
best unzip_5M "$RUNS" sh -c "unzip -p '$X5' xl/worksheets/sheet1.xml xl/sharedStrings.xml >/dev/null"
best unzip_ods "$RUNS" sh -c "unzip -p '$O' content.xml >/dev/null"
best ss_xlsx "$SSRUNS" ssconvert "$X" "$WORK/out/ss.xlsx"
best ss_xls "$SSRUNS" sh -c "ssconvert '$XLS' '$WORK/out/ss.xls' && cp '$WORK/out/ss.xls' '$WORK/ss.xls'"
k=0
for B in "$@"; do
  k=$((k + 1))
  echo "== [$k] $B"
  best "xlsx_csv_$k" "$RUNS" "$B" -q -f csv -d "$WORK/out" "$X"
  best "x5M_csv_$k" "$RUNS" "$B" -q -f csv -d "$WORK/out" "$X5"
  best "ods_csv_$k" "$RUNS" "$B" -q -f csv -d "$WORK/out" "$O"
  best "xlsx_xlsx_$k" "$RUNS" sh -c "'$B' -q -f xlsx -d '$WORK/out' '$X' && cp '$WORK/out/book-M.xlsx' '$WORK/o$k.xlsx'"
  best "xls_xls_$k" "$RUNS" sh -c "'$B' -q -f xls --whole-workbook -d '$WORK/out' '$XLS' && cp '$WORK/out/book-X.xls' '$WORK/o$k.xls'"
  W0=$WORK WORK=$TINY
  best "tiny_$k" "$RUNS" "$B" -q -f csv -j 1 -d "$WORK/out" "$WORK/tiny"
  WORK=$W0
  best "small_j1_$k" "$RUNS" "$B" -q -f csv -j 1 -d "$WORK/out" "$WORK/small"
  best "small_j2_$k" "$RUNS" "$B" -q -f csv -j 2 -d "$WORK/out" "$WORK/small"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
k=0
for B in "$@"; do
  k=$((k + 1))
  eval "a=\$W_xlsx_csv_$k b=\$W_x5M_csv_$k c=\$W_ods_csv_$k d=\$W_xlsx_xlsx_$k e=\$W_xls_xls_$k f=\$W_tiny_$k g=\$W_small_j1_$k h=\$W_small_j2_$k"
  echo "[$k] xlsx->CSV $(ratio "$a" "$W_unzip_xlsx")x unzip; 5M $(ratio "$b" "$W_unzip_5M")x unzip;" \
       "ods->CSV $(ratio "$c" "$W_unzip_ods")x unzip; xlsx->xlsx $(ratio "$W_ss_xlsx" "$d")x faster than ssconvert" \
       "($(size "$WORK/o$k.xlsx") bytes); xls->xls $(ratio "$W_ss_xls" "$e")x faster than ssconvert ($(size "$WORK/o$k.xls") bytes);" \
       "tiny $(awk -v f="$f" 'BEGIN { printf "%.3f", f }') ms/file; -j 2 $(ratio "$g" "$h")x -j 1"
done
