#!/usr/bin/env python3
"""Compares every corpus workbook's cells as we show them (our readers'
format codes through the number-format renderer, `bench_render --cells`)
with LibreOffice's "as shown" CSV export of the same file, one CSV per
sheet. Prints the agreement per format over non-empty cells and sorts each
difference into a class:

  general-digits  General: we show at most 11 characters, LibreOffice up to
                  15 significant digits (the same number)
  value-differs   the values differ (our reader, or LibreOffice recalculated a
                  formula or a pivot table)
  reader-code     our format code differs from the one LibreOffice reports
  date-1900       a date before 1 March 1900 in a 1900 file: we count the
                  29 February 1900 the spreadsheet program counts
  time-rounding   we round a time to the second shown, LibreOffice cuts it
  excel-rule      the spreadsheet program's rule where LibreOffice has its
                  own: A/P in the case written, a point without places after
                  it, one blank per "_x" (also after a Lotus or Quattro Pro
                  comma or currency format's positives)
  boolean         TRUE/FALSE, which LibreOffice shows through a number format
  error-text      error values LibreOffice names or recalculates otherwise
  locale-builtin  a built-in whose look follows the reader's locale (short
                  date, accounting, [$-F400]), shown by LibreOffice in its own form
  lo-ignores-code LibreOffice shows the number without the cell's code
  missing-cell    a cell only one side has
  renderer        the rest: the renderer shows the same value and code
                  differently

usage: shown_cells_compare.py [--build DIR] [--corpus DIR] [--work DIR]
                              [--reuse] [--examples N] [--through csv|htm|pdf]
                              [FILE...]
--through takes our texts from the real output instead: varnowe-batch
writes every file as CSV (--values displayed) or HTML (its default), and
each cell's text is read back from that file. A PDF page has no cell grid
to read back: --through pdf counts per sheet how many of LibreOffice's
texts (and of our own) the pages hold, blanks left out, each text taken
from one text-showing operator (the writer shows each cell with one)
through pdfminer (Debian python3-pdfminer).
Needs soffice; LibreOffice's CSVs are kept in WORK/lo and reused with --reuse.
"""
import csv, gzip, json, math, os, re, subprocess, sys
from collections import Counter, defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from format_codes import norm  # noqa: E402

CSV_FILTER = "csv:Text - txt - csv (StarCalc):9,34,76,1,,1033,false,true,true,false,false,-1"
SKIP_EXT = (".tsv", ".md", ".py", ".json", ".gz")

def arg(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default

def corpus_files(corpus, explicit):
    if explicit:
        return explicit
    out = []
    for folder in sorted(os.listdir(corpus)):
        d = os.path.join(corpus, folder)
        if folder == "expected" or not os.path.isdir(d):
            continue
        out += [os.path.join(d, f) for f in sorted(os.listdir(d)) if not f.endswith(SKIP_EXT)]
    return out

def lo_dir(work, path):
    return os.path.join(work, "lo", os.path.basename(os.path.dirname(path)), os.path.basename(path))

def convert_with_libreoffice(files, work, reuse):
    todo = [f for f in files if not (reuse and os.path.isdir(lo_dir(work, f)) and os.listdir(lo_dir(work, f)))]
    profile = "file://" + os.path.join(work, "lo-profile")  # our own: other soffice runs keep theirs
    for f in todo:
        os.makedirs(lo_dir(work, f), exist_ok=True)
    # Up to 40 files a call, no two with one name (their sheet CSVs would collide).
    tmp = os.path.join(work, "lo-out")
    pending = todo
    while pending:
        call, seen, rest = [], set(), []
        for f in pending:
            stem = os.path.splitext(os.path.basename(f))[0]
            (rest if stem in seen or len(call) >= 40 else call).append(f)
            seen.add(stem)
        pending = rest
        os.makedirs(tmp, exist_ok=True)
        for old in os.listdir(tmp):
            os.remove(os.path.join(tmp, old))
        try:
            subprocess.run(["soffice", "-env:UserInstallation=" + profile, "--headless", "--convert-to", CSV_FILTER,
                            "--outdir", tmp] + call, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=900)
        except subprocess.TimeoutExpired:
            print("LibreOffice timed out on a batch of %d files" % len(call), file=sys.stderr)
        for out in os.listdir(tmp):
            for f in sorted(call, key=lambda f: -len(os.path.basename(f))):  # "a-b.xls" before "a.xls"
                stem = os.path.splitext(os.path.basename(f))[0]
                if out.startswith(stem + "-") and out.endswith(".csv"):
                    os.replace(os.path.join(tmp, out), os.path.join(lo_dir(work, f), out[len(stem) + 1:]))
                    break

def with_total(per_format):
    """(format, counts) in format order, then ("all", the sums)."""
    total = Counter()
    for fmt, c in sorted(per_format.items()):
        total.update(c)
        yield fmt, c
    yield "all", total

def unescape(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\" and i + 1 < len(s):
            out.append({"t": "\t", "n": "\n", "r": "\r", "\\": "\\"}.get(s[i + 1], s[i + 1]))
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)

def our_cells(tool, files):
    """{path: {sheet index: (caption, {(r, c): (type, value, code, text)})}}, {path: date1904}"""
    out, date1904, cur = {}, {}, None
    proc = subprocess.run([tool, "--cells"] + files, stdout=subprocess.PIPE, check=True)
    for line in proc.stdout.decode("utf-8", "replace").split("\n"):
        if not line:
            continue
        f = line.split("\t")
        if f[0] == "#file":
            cur = out.setdefault(f[1], {})
            date1904[f[1]] = f[2] == "1"
            continue
        if f[0] == "#error":
            continue
        s, caption, r, c, typ, value, code, text = f[:8]
        sheet = cur.setdefault(int(s), (unescape(caption), {}))
        sheet[1][(int(r), int(c))] = (typ, unescape(value), unescape(code), unescape(text))
    return out, date1904

def through_output(build, files, ours, work, fmt):
    """Replaces our texts with those varnowe-batch writes as fmt (csv or htm)."""
    import html.parser, shutil
    out = os.path.join(work, "ours-" + fmt)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    report = os.path.join(out, "report.jsonl")
    opts = ["--values", "displayed"] if fmt == "csv" else []
    subprocess.run([os.path.join(build, "varnowe-batch"), "-q", "-f", fmt, "-d", out, "--no-banner", "--no-extra",
                    "--quote", "minimal", "--encoding", "utf-8", "--names", "{name}~{index}{ext}", "--report", report]
                   + opts + files, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    class Table(html.parser.HTMLParser):
        def __init__(self):
            super().__init__(convert_charrefs=True)
            self.rows, self.cell = [], None
        def handle_starttag(self, tag, attrs):
            if tag == "tr":
                self.rows.append([])
            elif tag == "td":
                self.cell = ""
        def handle_endtag(self, tag):
            if tag == "td" and self.cell is not None:
                self.rows[-1].append(self.cell.replace("\xa0", "") if self.cell != "\xa0" else "")
                self.cell = None
        def handle_data(self, data):
            if self.cell is not None:
                self.cell += data

    by_real = {os.path.realpath(k): v for k, v in ours.items()}
    for line in open(report, encoding="utf-8"):
        rec = json.loads(line)
        sheets = by_real.get(os.path.realpath(rec.get("source", "")))
        if sheets is None:
            continue
        for name in rec.get("outputs") or []:
            m = re.search(r"~(\d+)\.[a-z]+$", name)
            if not m or int(m.group(1)) - 1 not in sheets:
                continue
            text = open(name if os.path.isabs(name) else os.path.join(out, name), encoding="utf-8", newline="").read()
            if fmt == "csv":
                import io
                rows = list(csv.reader(io.StringIO(text, newline="")))
            else:
                t = Table()
                t.feed(text)
                rows = t.rows
            cells = sheets[int(m.group(1)) - 1][1]
            for key, (typ, value, code, _) in list(cells.items()):
                r, c = key
                shown = rows[r][c] if r < len(rows) and c < len(rows[r]) else ""
                cells[key] = (typ, value, code, shown)

def pdf_cells(path):
    """The texts a PDF's pages show, one per text-showing operator (our
    writer shows each cell with one), without blanks."""
    from pdfminer.converter import PDFLayoutAnalyzer
    from pdfminer.layout import LTChar
    from pdfminer.pdfinterp import PDFPageInterpreter, PDFResourceManager
    from pdfminer.pdfpage import PDFPage

    class Shows(PDFLayoutAnalyzer):
        texts = Counter()
        def render_string(self, textstate, seq, ncs, graphicstate):
            before = len(self.cur_item._objs)
            super().render_string(textstate, seq, ncs, graphicstate)
            text = squeezed("".join(o.get_text() for o in self.cur_item._objs[before:] if isinstance(o, LTChar)))
            if text:
                self.texts[text] += 1
        def receive_layout(self, ltpage):
            pass

    resources = PDFResourceManager()
    device = Shows(resources)
    device.texts = Counter()
    interpreter = PDFPageInterpreter(resources, device)
    try:
        with open(path, "rb") as f:
            for page in PDFPage.get_pages(f):
                interpreter.process_page(page)
    except Exception as e:  # a PDF the reader refuses holds nothing it can count
        print("%s: %s" % (path, e), file=sys.stderr)
    return device.texts

def squeezed(text):
    return re.sub(r"\s+", "", text.replace("\xa0", ""))

def through_pdf(build, files, ours, work):
    """Per format: of the non-empty cells, how many LibreOffice's texts and
    how many of our texts the PDF pages hold."""
    import shutil
    out = os.path.join(work, "ours-pdf")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    report = os.path.join(out, "report.jsonl")
    subprocess.run([os.path.join(build, "varnowe-batch"), "-q", "-f", "pdf", "-d", out, "--names",
                    "{name}~{index}{ext}", "--report", report] + files,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    by_real = {os.path.realpath(k): k for k in ours}
    per_format = defaultdict(Counter)
    for line in open(report, encoding="utf-8"):
        rec = json.loads(line)
        path = by_real.get(os.path.realpath(rec.get("source", "")))
        if path is None:
            continue
        fmt = os.path.basename(os.path.dirname(path))
        lo = lo_sheets(work, path)
        for name in rec.get("outputs") or []:
            m = re.search(r"~(\d+)\.pdf$", name)
            s = int(m.group(1)) - 1 if m else -1
            if s not in ours[path]:
                continue
            caption, cells = ours[path][s]
            grid = lo.get(caption) or (next(iter(lo.values())) if len(lo) == 1 and len(ours[path]) == 1 else None)
            on_page = pdf_cells(name if os.path.isabs(name) else os.path.join(out, name))
            c = per_format[fmt]
            for key, texts in (("ours", [v[3] for v in cells.values()]), ("lo", list((grid or {}).values()))):
                want = Counter(squeezed(t) for t in texts if squeezed(t))
                c[key + " cells"] += sum(want.values())
                c[key + " on page"] += sum(min(n, on_page[t]) for t, n in want.items())
    print("format   cells  ours-on-page%  LibreOffice-cells  LibreOffice-on-page%")
    for fmt, c in with_total(per_format):
        print("%-8s %6d %13.2f %18d %21.2f" % (fmt, c["ours cells"], 100.0 * c["ours on page"] / max(1, c["ours cells"]),
                                                c["lo cells"], 100.0 * c["lo on page"] / max(1, c["lo cells"])))

def lo_sheets(work, path):
    d = lo_dir(work, path)
    sheets = {}
    if not os.path.isdir(d):
        return sheets
    for name in os.listdir(d):
        grid = {}
        with open(os.path.join(d, name), encoding="utf-8", errors="replace", newline="") as f:
            for r, row in enumerate(csv.reader(f, delimiter="\t")):
                for c, text in enumerate(row):
                    if text != "":
                        grid[(r, c)] = text
        sheets[name[:-4]] = grid
    return sheets

def reference(corpus, path):
    p = os.path.join(corpus, "expected", os.path.basename(path) + ".json.gz")
    if not os.path.exists(p):
        return None
    with gzip.open(p, "rt", encoding="utf-8") as f:
        doc = json.load(f)
    return {(k, c["r"], c["c"]): c for k, sh in enumerate(doc.get("sheets", [])) for c in sh.get("cells", [])}

def excel_general(x):
    from decimal import Decimal, ROUND_HALF_UP
    if x == 0:
        return "0"
    sign, a = ("-" if x < 0 else ""), Decimal(repr(float("%.15g" % abs(x))))
    e = a.adjusted()
    if -4 <= e <= 10:
        t = str(a.quantize(Decimal(1).scaleb(-max(0, 10 - max(e + 1, 1))), rounding=ROUND_HALF_UP))
        t = t.rstrip("0").rstrip(".") if "." in t else t
        if len(t) <= 11:
            return sign + t
    places = 5 if abs(e) < 100 else 4
    m = a.scaleb(-e).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)
    if m >= 10:
        m, e = (m / 10).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP), e + 1
    t = str(m)
    t = t.rstrip("0").rstrip(".") if "." in t else t
    return "%s%sE%s%02d" % (sign, t, "-" if e < 0 else "+", abs(e))

def as_number(text):
    try:
        return float(text.replace(",", ""))
    except ValueError:
        return None

def same_value(ours, ref):
    """Our stored value against the reference dump's; a reference taken from
    shown text may have fewer digits, so half its last place is allowed."""
    rv = ref.get("value")
    typ, value = ours[0], ours[1]
    if isinstance(rv, bool) or rv is None:
        return True
    if isinstance(rv, (int, float)):
        try:
            v = float(value)
        except ValueError:
            return False
        text = repr(float(rv))
        places = len(text.split(".")[1]) if "." in text and "e" not in text else 0
        return math.isclose(v, float(rv), rel_tol=1e-9, abs_tol=1e-9) or abs(v - float(rv)) <= 0.51 * 10 ** -places
    return str(rv) == value

def rounding_of(text, value):
    """text shows value rounded to the places it shows."""
    n = as_number(text)
    if n is None:
        return False
    mant = text.split("E")[0] if "E" in text else text
    places = len(mant.split(".")[1]) if "." in mant else 0
    scale = 10 ** int(text.split("E")[1]) if "E" in text else 1
    return abs(n - value) <= 0.51 * 10 ** -places * scale + 1e-12 * abs(value)

def classify(ours, lo_text, ref, date1904):
    if ours is None or lo_text == "":
        return "missing-cell"
    typ, value, code, text = ours
    if ref is not None and not same_value(ours, ref):
        return "value-differs"
    if ref is not None and ref.get("format") is not None and norm(code) != norm(ref.get("format")):
        # Lotus and Quattro Pro comma and currency formats keep the blank
        # for ")" after positives, as the spreadsheet program opens them.
        return "excel-rule" if text.rstrip() == lo_text and text != lo_text else "reader-code"
    if typ == "ictBoolean":
        return "boolean"
    if text.startswith("#") or lo_text.startswith("Err:") or lo_text.startswith("#"):
        return "error-text"
    try:
        v = float(value)
    except ValueError:
        # A text shown as it stands that LibreOffice shows otherwise was read otherwise.
        return "value-differs" if text == value else "renderer"
    general = norm(code) == "general"
    lo_number, dated = as_number(lo_text), typ in ("ictDateTime", "ictDate", "ictTime")
    if typ in ("ictDateTime", "ictDate", "ictTime") and not date1904 and 0 <= v < 61:
        return "date-1900"
    if general:
        return "general-digits" if rounding_of(text, v) and rounding_of(lo_text, v) else "value-differs"
    if text.strip() == lo_text.strip() or text.lower() == lo_text.lower() or text == lo_text + ".":
        return "excel-rule"
    if dated:
        years = [re.findall(r"\b\d{4}\b", t) for t in (text, lo_text)]
        if years[0] and years[1] and years[0] != years[1]:
            return "value-differs"
    if lo_number is not None and rounding_of(lo_text, v) and "E" not in lo_text:
        return "lo-ignores-code"
    if lo_number is not None and as_number(text) is not None and not dated and not rounding_of(lo_text, v):
        return "value-differs"
    if norm(code).startswith("<short date>") or "* " in code or "[$-f400]" in code.lower() or \
            "[$-f800]" in code.lower():
        return "locale-builtin"
    if dated and len(text) == len(lo_text) and \
            all(a == b or (a.isdigit() and b.isdigit()) for a, b in zip(text, lo_text)):
        return "time-rounding"
    return "renderer"

def main():
    corpus = arg("--corpus", os.path.join(HERE, "..", "..", "shared", "corpus"))
    build = arg("--build", os.path.join(HERE, "..", "build", "default"))
    work = arg("--work", "/tmp/shown-cells")
    examples = int(arg("--examples", "6"))
    explicit = [a for a in sys.argv[1:] if os.path.isfile(a)]
    tool = os.path.join(build, "bench", "bench_render")
    subprocess.run(["cmake", "--build", build, "--target", "bench_render"], check=True, stdout=subprocess.DEVNULL)
    files = corpus_files(corpus, explicit)
    convert_with_libreoffice(files, work, "--reuse" in sys.argv)
    ours, date1904 = our_cells(tool, files)
    through = arg("--through", "")
    if through == "pdf":
        try:
            import pdfminer  # noqa: F401
        except ImportError:
            if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
                os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
            raise
        return through_pdf(build, files, ours, work)
    if through:
        through_output(build, files, ours, work, through)
    per_format = defaultdict(Counter)
    samples = defaultdict(list)
    code_faults = Counter()
    for path in files:
        fmt = os.path.basename(os.path.dirname(path))
        lo = lo_sheets(work, path)
        if not lo:
            per_format[fmt]["files without LibreOffice output"] += 1
            continue
        per_format[fmt]["files"] += 1
        ref = reference(corpus, path)
        mine = ours.get(path, {})
        for s, (caption, cells) in sorted(mine.items()):
            grid = lo.get(caption)
            if grid is None and len(lo) == 1 and len(mine) == 1:
                grid = next(iter(lo.values()))
            if grid is None:
                per_format[fmt]["cells of sheets LibreOffice did not write"] += sum(1 for v in cells.values() if v[3])
                continue
            for key in set(k for k, v in cells.items() if v[3] != "") | set(grid):
                per_format[fmt]["cells"] += 1
                o, t = cells.get(key), grid.get(key, "")
                if o is not None and o[3] == t:
                    per_format[fmt]["agree"] += 1
                    continue
                r = ref.get((s, key[0], key[1])) if ref else None
                if r is not None and r.get("unsure"):
                    r = None
                cls = classify(o, t, r, date1904.get(path, False))
                per_format[fmt][cls] += 1
                if cls == "reader-code":
                    code_faults[(fmt, os.path.basename(path), o[2], r.get("format"))] += 1
                if len(samples[(fmt, cls)]) < examples:
                    samples[(fmt, cls)].append((os.path.basename(path), caption, key, o, t))
    classes = ["general-digits", "date-1900", "time-rounding", "excel-rule", "boolean", "error-text",
               "locale-builtin", "lo-ignores-code", "value-differs", "reader-code", "missing-cell", "renderer"]
    # Differences owed to a rule the renderer follows on purpose (the
    # spreadsheet program's where LibreOffice has its own), or to
    # LibreOffice's own value of the cell (recalculated, its error names).
    by_rule = ["general-digits", "date-1900", "time-rounding", "excel-rule", "boolean",
               "error-text", "lo-ignores-code", "value-differs"]
    def pct(n, d):
        return 100.0 * n / d if d else 100.0
    print("%-8s %5s %7s %7s %7s %7s %7s  %s" % ("format", "files", "cells", "agree%", "+Gen%", "rule%", "expl%",
                                                "  ".join(classes)))
    for fmt, c in with_total(per_format):
        explained = c["agree"] + sum(c[k] for k in classes if k != "renderer")
        print("%-8s %5d %7d %7.2f %7.2f %7.2f %7.2f  %s" % (
            fmt, c["files"], c["cells"], pct(c["agree"], c["cells"]), pct(c["agree"] + c["general-digits"], c["cells"]),
            pct(c["agree"] + sum(c[k] for k in by_rule), c["cells"]),
            pct(explained, c["cells"]), "  ".join("%d" % c[k] for k in classes)))
        for k in ("files without LibreOffice output", "cells of sheets LibreOffice did not write"):
            if c[k] and fmt != "all":
                print("         %s: %d" % (k, c[k]))
    print("agree%: the same text; +Gen%: or General with other digits; rule%: or a difference of rule or of\n"
          "LibreOffice's value (the classes up to value-differs but locale-builtin); expl%: or any class but renderer")
    print("\nformat codes that differ from LibreOffice's (format, file, ours, LibreOffice's): cells")
    for (fmt, f, o, r), n in code_faults.most_common(40):
        print("  %5d  %-7s %-32s ours %-28r LibreOffice %r" % (n, fmt, f, o, r))
    print("\nexamples")
    for (fmt, cls), rows in sorted(samples.items()):
        for f, caption, key, o, t in rows:
            print("  %-14s %-7s %s [%s] r%d c%d: ours %r  LibreOffice %r" % (
                cls, fmt, f, caption, key[0], key[1], o and (o[0], o[1], o[2], o[3]), t))

if __name__ == "__main__":
    main()
