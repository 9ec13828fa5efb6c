#!/usr/bin/env python3
"""Reads the clean CSVs of workbooks with pandas, as a data tool would:
every column that holds typed date cells must come back as datetimes.

For each file `varnowe-batch --dump` tells which cells are typed dates and
`varnowe-batch -f csv --clean` writes every sheet. A date column is one whose
cells from its first date down are all dates or empty (the rows above are
its header): pandas.read_csv with parse_dates must give it a datetime64
dtype and a datetime for every date cell. In a column that mixes dates with
other values pandas keeps text for the whole column (as for any mixed
column); there each date cell must still convert with pandas.to_datetime.
Time-only cells must convert with pandas.to_timedelta.

usage: clean_dates_pandas.py [--batch EXE] [--work DIR] FILE|DIR...
Prints the figures per format; exits 1 when a date does not come back.
"""
import json, os, re, shutil, subprocess, sys, tempfile
from collections import Counter, defaultdict

try:
    import pandas
except ImportError:
    # The Debian package lives under the system's interpreter.
    if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from shown_cells_compare import with_total  # noqa: E402
DATED = ("ictDate", "ictDateTime", "ictTime")
DATE_TEXT = re.compile(r"^\d{4}-\d\d-\d\d(T\d\d:\d\d:\d\d(\.\d+)?)?$")
SKIP_EXT = (".tsv", ".md", ".py", ".json", ".gz")


def arg(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def inputs(args):
    out = []
    for a in args:
        if os.path.isdir(a):
            for root, dirs, files in os.walk(a):
                dirs[:] = sorted(d for d in dirs if d != "expected")
                out += [os.path.join(root, f) for f in sorted(files) if not f.endswith(SKIP_EXT)]
        elif os.path.isfile(a):
            out.append(a)
    return out


def typed_dates(batch, path):
    """{sheet index: {(r, c) of a typed date or time cell}}"""
    proc = subprocess.run([batch, "--dump", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        doc = json.loads(proc.stdout.decode("utf-8", "replace"))
    except ValueError:
        return {}
    return {sh["index"]: {(c["r"], c["c"]) for c in sh.get("cells", []) if c.get("type") in DATED}
            for sh in doc.get("sheets", [])}


def check_sheet(csv_path, dated, counts, faults):
    texts = pandas.read_csv(csv_path, header=None, dtype=str, keep_default_na=False, skip_blank_lines=False)
    cell = lambda r, c: texts.iat[r, c] if r < texts.shape[0] and c < texts.shape[1] else ""
    by_column = defaultdict(list)
    for r, c in dated:
        text = cell(r, c)
        if DATE_TEXT.match(text):
            by_column[c].append(r)
        elif text:
            counts["time cells"] += 1
            try:
                pandas.to_timedelta(text)
            except ValueError:
                faults.append("%s r%d c%d: %r is no time" % (csv_path, r, c, text))
        else:
            faults.append("%s r%d c%d: the date is missing" % (csv_path, r, c))
    for c, rows in sorted(by_column.items()):
        first = min(rows)
        counts["date cells"] += len(rows)
        below = [r for r in range(first, texts.shape[0]) if cell(r, c) != ""]
        if len(below) == len(rows):
            counts["date columns"] += 1
            frame = pandas.read_csv(csv_path, header=None, names=list(range(texts.shape[1])), skiprows=first,
                                    parse_dates=[c], skip_blank_lines=False)
            column = frame[c]
            if not pandas.api.types.is_datetime64_any_dtype(column) or column.notna().sum() != len(rows):
                faults.append("%s c%d: pandas reads %s, %d of %d dates" % (
                    csv_path, c, column.dtype, column.notna().sum(), len(rows)))
            else:
                counts["date columns as datetimes"] += 1
        else:
            counts["mixed columns"] += 1
            for r in rows:
                try:
                    pandas.to_datetime(cell(r, c))
                except ValueError:
                    faults.append("%s r%d c%d: %r is no date" % (csv_path, r, c, cell(r, c)))


def main():
    batch = arg("--batch", os.path.join(HERE, "..", "build", "default", "varnowe-batch"))
    files = inputs([a for i, a in enumerate(sys.argv[1:], 1) if sys.argv[i - 1] not in ("--batch", "--work")])
    work = arg("--work", "")
    out = work or tempfile.mkdtemp(prefix="clean-dates-")
    shutil.rmtree(os.path.join(out, "csv"), ignore_errors=True)
    os.makedirs(os.path.join(out, "csv"))
    report = os.path.join(out, "report.jsonl")
    subprocess.run([batch, "-q", "-f", "csv", "--clean", "-d", os.path.join(out, "csv"), "--names",
                    "{name}~{index}{ext}", "--report", report] + files,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    per_format, faults = defaultdict(Counter), []
    for line in open(report, encoding="utf-8"):
        rec = json.loads(line)
        dated = typed_dates(batch, rec["source"])
        counts = per_format[os.path.basename(os.path.dirname(rec["source"]))]
        counts["files"] += 1
        for name in rec.get("outputs") or []:
            m = re.search(r"~(\d+)\.csv$", name)
            cells = dated.get(int(m.group(1)) - 1) if m else None
            if cells:
                check_sheet(name, cells, counts, faults)
    keys = ["files", "date cells", "date columns", "date columns as datetimes", "mixed columns", "time cells"]
    print("%-8s %s" % ("format", "  ".join(keys)))
    for fmt, c in with_total(per_format):
        print("%-8s %s" % (fmt, "  ".join("%*d" % (len(k), c[k]) for k in keys)))
    for f in faults[:40]:
        print("  " + f)
    print("%d dates that do not come back" % len(faults))
    if not work:
        shutil.rmtree(out, ignore_errors=True)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
