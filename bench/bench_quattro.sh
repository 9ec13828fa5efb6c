#!/bin/sh
# Converts a generated Quattro Pro .wb2 notebook (8,192 rows by 100 columns:
# 819,200 cells, numbers, integers, dates, labels and formulas with cached
# results) to CSV with varnowe-batch and, in the same run, with Gnumeric's
# ssconvert; prints wall time and peak memory of each.
# Usage: bench/bench_quattro.sh [varnowe-batch] [rows]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${1:-$ROOT/build/default/varnowe-batch}
ROWS=${2:-8192}
[ -x "$BATCH" ] || { echo "varnowe-batch not found at $BATCH (build it or pass its path)" >&2; exit 1; }

BOOK=$(mktemp --suffix=.wb2)
python3 - "$BOOK" "$ROWS" <<'EOF'
import struct, sys
path, rows = sys.argv[1], int(sys.argv[2])
out = bytearray()
def rec(op, data):
    out.extend(struct.pack('<HH', op, len(data)))
    out.extend(data)
rec(0x00, struct.pack('<H', 0x1002))
rec(0xCE, bytes([0x02, 0, 0, 0x30, 1, 0, 2, 0]) + bytes(8))  # style 1: General
rec(0xCE, bytes([0x08, 0, 0, 0x30, 1, 0, 2, 1]) + bytes(8))  # style 2: a date
rec(0xCA, b'\0')
rec(0xCC, b'Data\0')
for r in range(rows):
    for c in range(100):
        head = struct.pack('<BBH', c, 0, r)
        k = c % 5
        if k == 0:
            rec(0x0E, head + struct.pack('<Hd', 1 << 3 | 3, r * 100.0 + c / 7))
        elif k == 1:
            rec(0x0D, head + struct.pack('<Hh', 1 << 3 | 2, (r * c) % 30000 - 15000))
        elif k == 2:
            rec(0x0E, head + struct.pack('<Hd', 2 << 3 | 3, 36000 + r % 4000))
        elif k == 3:
            rec(0x0F, head + struct.pack('<H', 1 << 3 | 1) + b"'" + (b'item %d' % (r % 500)) + b'\0')
        else:
            rec(0x10, head + struct.pack('<Hd', 1 << 3 | 5, r + c * 0.5) + bytes([8, 0, 2, 0, 2, 0, 0x34, 3]))
rec(0xCB, b'\0')
rec(0x01, b'')
open(path, 'wb').write(out)
EOF
. "$ROOT/bench/common.sh"
rm -f "$BOOK"

echo "file: $NAME ($(stat -c %s "$WORK/src/$NAME") bytes, $ROWS rows), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
measure floor cat "$WORK/src/$NAME"
FORMATS=quattro run_conversions
awk -v r="$varnowe_rss" 'BEGIN { printf "varnowe peak memory: %.1f MiB\n", r / 1024 }'
