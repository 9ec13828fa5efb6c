#!/usr/bin/env python3
"""Figures for the workbook writers on the corpus: every written .xlsx
(openpyxl) and Excel 97-2003 .xls (xlrd with formatting_info) read back and
compared, cell by cell, with the source as LibreOffice reports it (the
corpus reference dumps): number-format codes (equal, or equivalent as
format_codes.py judges), types (errors as errors, dates as dates) and, with
--lo-dir (LibreOffice's own .xlsx conversions of the sources), column widths
within 5 % (for sources that are not Excel's, as drawn: LibreOffice's unit
is 111 twips, Excel's 105). .ods sources are also measured against their
own column lengths, as Excel draws them (105 twips a unit).

usage: written_formats.py EXPECTED_DIR REPORT... [--lo-dir DIR] [--verbose]
  each REPORT is the --report file of a varnowe-batch run over the corpus
  with --whole-workbook (-f xlsx, -f xls); --lo-dir holds LibreOffice's
  conversions <corpus folder>/<name>.xlsx.
"""
import json
import os, sys, datetime
from collections import Counter, defaultdict
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from format_codes import load, norm

def col_letter(c):
    s = ""
    c += 1
    while c:
        c, r = divmod(c - 1, 26)
        s = chr(65 + r) + s
    return s

def read_xlsx(path):
    import openpyxl
    book = openpyxl.load_workbook(path, data_only=True)
    sheets = []
    for ws in book.worksheets:
        cells = {}
        for row in ws.iter_rows():
            for c in row:
                if c.value is None:
                    continue
                kind = "e" if c.data_type == "e" else "d" if c.is_date else "s" if isinstance(c.value, str) else "b" if isinstance(c.value, bool) else "n"
                cells[(c.row - 1, c.column - 1)] = (kind, c.number_format)
        default = ws.sheet_format.defaultColWidth or (ws.sheet_format.baseColWidth or 8) + 0.71
        widths, hidden = {}, set()
        for key, dim in ws.column_dimensions.items():
            for col in range(dim.min or 0, (dim.max or 0) + 1):
                if col < 1:
                    continue
                if dim.customWidth or dim.width:
                    widths[col - 1] = dim.width
                if dim.hidden:
                    hidden.add(col - 1)
        sheets.append((ws.title, cells, widths, default, hidden))
    return sheets

def read_xls(path):
    import xlrd
    book = xlrd.open_workbook(path, formatting_info=True)
    sheets = []
    for sh in book.sheets():
        cells = {}
        for r in range(sh.nrows):
            for c in range(sh.ncols):
                cell = sh.cell(r, c)
                if cell.ctype in (0, 6):
                    continue
                xf = book.xf_list[cell.xf_index]
                fmt = book.format_map.get(xf.format_key)
                code = fmt.format_str if fmt else "General"
                kind = {1: "s", 2: "n", 3: "d", 4: "b", 5: "e"}[cell.ctype]
                cells[(r, c)] = (kind, code)
        widths, hidden = {}, set()
        for c, info in sh.colinfo_map.items():
            widths[c] = info.width / 256.0
            if info.hidden:
                hidden.add(c)
        default = (sh.defcolwidth + 0.71) if sh.defcolwidth else 2340 / 256.0
        sheets.append((sh.name, cells, widths, default, hidden))
    return sheets

ODF = {"table": "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
       "style": "urn:oasis:names:tc:opendocument:xmlns:style:1.0"}
TWIPS = {"cm": 1440 / 2.54, "mm": 144 / 2.54, "in": 1440.0, "pt": 20.0, "pc": 240.0, "px": 15.0}

def read_ods_widths(path):
    """Per sheet: (name, {column: width in Excel units}, default)."""
    import re, zipfile
    import xml.etree.ElementTree as ET
    def units(length):
        m = re.match(r"([0-9.]+)([a-z]+)$", length or "")
        return float(m.group(1)) * TWIPS[m.group(2)] / 105.0 if m and m.group(2) in TWIPS else None
    z = zipfile.ZipFile(path)
    t, st = "{%s}" % ODF["table"], "{%s}" % ODF["style"]
    lengths, default = {}, 1280 / 105.0  # an .ods column without a length is 0.889 in
    for part in ("styles.xml", "content.xml"):
        if part not in z.namelist():
            continue
        root = ET.fromstring(z.read(part))
        for e in root.iter():
            if e.tag in (st + "style", st + "default-style") and e.get(st + "family") == "table-column":
                props = e.find(st + "table-column-properties")
                w = units(props.get(st + "column-width")) if props is not None else None
                if w is None:
                    continue
                if e.tag == st + "default-style":
                    default = w
                else:
                    lengths[e.get(st + "name")] = w
    sheets = []
    for table in root.iter(t + "table"):
        widths, col = {}, 0
        for e in table.iter(t + "table-column"):
            n = int(e.get(t + "number-columns-repeated", "1"))
            w = lengths.get(e.get(t + "style-name"), default)
            for c in range(col, min(col + n, 1024)):
                widths[c] = w
            col += n
        sheets.append((table.get(t + "name"), widths, default))
    return sheets

FAMILY = {"ictDecimal": "n", "ictInteger": "n", "ictDateTime": "d", "ictDate": "d", "ictTime": "d",
          "ictString": "s", "ictMemo": "s", "ictBoolean": "b", "ictUnknown": "e"}

def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    lo_dir = sys.argv[sys.argv.index("--lo-dir") + 1] if "--lo-dir" in sys.argv else None
    if lo_dir in args:
        args.remove(lo_dir)
    expected, reports = args[0], args[1:]
    verbose = "--verbose" in sys.argv
    stats = defaultdict(Counter)
    pairs = Counter()
    runs = []
    for rep in reports:
        for line in open(rep, encoding="utf-8"):
            rec = json.loads(line)
            if rec.get("status") == "Finished" and rec.get("outputs"):
                runs.append((rec["source"], rec["outputs"][0]))
    lo_cache = {}
    ods_cache = {}
    def source_widths(path):
        if path not in ods_cache:
            try:
                ods_cache[path] = read_ods_widths(path)
            except Exception:
                ods_cache[path] = []
        return ods_cache[path]
    for source, out in sorted(runs):
        folder, name = os.path.basename(os.path.dirname(source)), os.path.basename(source)
        ref_path = os.path.join(expected, name + ".json.gz")
        if not os.path.exists(ref_path):
            continue
        ref = load(ref_path)
        if ref.get("unreadable"):
            continue
        lo_sheets = None
        if lo_dir:
            lo_path = os.path.join(lo_dir, folder, name + ".xlsx")
            if lo_path not in lo_cache:
                try:
                    lo_cache[lo_path] = read_xlsx(lo_path) if os.path.exists(lo_path) else None
                except Exception:
                    lo_cache[lo_path] = None
            lo_sheets = lo_cache[lo_path]
        ext = os.path.splitext(out)[1]
        reader = read_xlsx if ext == ".xlsx" else read_xls
        st = stats[ext]
        try:
            sheets = reader(out)
        except Exception as e:
            st["unreadable files"] += 1
            print("unreadable", out, e)
            continue
        st["files"] += 1
        by_name = {s[0]: s for s in sheets}
        for i, rs in enumerate(ref.get("sheets", [])):
            ws = by_name.get(rs.get("caption")) or (sheets[i] if i < len(sheets) else None)
            if ws is None:
                continue
            cells = ws[1]
            for c in rs.get("cells", []):
                if c.get("unsure") or c.get("volatile"):
                    continue
                got = cells.get((c["r"], c["c"]))
                if got is None:
                    continue
                st["cells"] += 1
                alts = [c.get("format")] + ([c["format_alt"]] if c.get("format_alt") else [])
                if any(norm(got[1]) == norm(a) for a in alts):
                    st["format equal"] += 1
                else:
                    pairs[(ext, folder, got[1], c.get("format"))] += 1
                fam = FAMILY.get(c.get("type"))
                if fam == "e":
                    st["errors"] += 1
                    st["errors as errors"] += got[0] == "e"
                    if got[0] != "e":
                        pairs[(ext, folder, "error as " + got[0], "%s %r" % (name, c.get("value")))] += 1
                if fam == "d":
                    st["dates"] += 1
                    st["dates as dates"] += got[0] == "d"
                    if got[0] != "d":
                        pairs[(ext, folder, "date as %s %r" % got, name)] += 1
            used = {c["c"] for c in rs.get("cells", [])}
            if folder == "ods":
                src = source_widths(source)
                if i < len(src):
                    for col in sorted(used):
                        want = src[i][1].get(col, src[i][2])
                        have = ws[2].get(col, ws[3])
                        st["ods columns"] += 1
                        if abs(have - want) <= 0.05 * want:
                            st["ods within 5% of the source"] += 1
                        else:
                            pairs[(ext, folder, "width %.2f" % have, "source width %.2f (%s)" % (want, name))] += 1
            # Widths against LibreOffice's reading of the source.
            if lo_sheets is None:
                continue
            lo = {s[0]: s for s in lo_sheets}.get(rs.get("caption")) or (lo_sheets[i] if i < len(lo_sheets) else None)
            if lo is None:
                continue
            # Sources that measure widths in twips or characters: LibreOffice
            # writes twips / 111 (its font's digit), Excel draws a unit as
            # 105 twips (a 7-pixel "0" at 96 dpi); compare what each draws.
            scale = 111.0 / 105.0 if folder not in ("xls", "xlsx", "xlsb", "xlsm", "xltx") else 1.0
            for col in sorted(used):
                want = lo[2].get(col, lo[3]) * scale
                have = ws[2].get(col, ws[3])
                st["columns"] += 1
                st["columns from " + folder] += 1
                if abs(have - want) <= 0.05 * want:
                    st["widths within 5%"] += 1
                    st["within 5% from " + folder] += 1
                else:
                    pairs[(ext, folder, "width %.2f" % have, "width %.2f (%s)" % (want, name))] += 1
                st["hidden columns"] += col in lo[4]
                st["hidden kept"] += col in lo[4] and col in ws[4]
    for ext, st in stats.items():
        print(ext)
        for k in ("files", "unreadable files", "missing files", "cells", "format equal", "errors", "errors as errors",
                  "dates", "dates as dates", "columns", "widths within 5%", "hidden columns", "hidden kept"):
            v = st.get(k, 0)
            extra = ""
            if k == "format equal" and st["cells"]:
                extra = "  (%.2f%%)" % (100.0 * v / st["cells"])
            if k == "widths within 5%" and st["columns"]:
                extra = "  (%.2f%%)" % (100.0 * v / st["columns"])
            print("  %-18s %8d%s" % (k, v, extra))
        if st["ods columns"]:
            print("  widths within 5%% of the .ods source's lengths %5d of %5d (%.2f%%)" % (
                st["ods within 5% of the source"], st["ods columns"],
                100.0 * st["ods within 5% of the source"] / st["ods columns"]))
        for k in sorted(k for k in st if k.startswith("columns from ")):
            folder = k[len("columns from "):]
            print("  widths within 5%%, %-8s %5d of %5d (%.2f%%)" % (
                folder, st["within 5% from " + folder], st[k], 100.0 * st["within 5% from " + folder] / st[k]))
    for (ext, folder, o, r), n in pairs.most_common(80 if verbose else 25):
        print("  %6d %-5s %-8s written %r  reference %r" % (n, ext, folder, o, r))

if __name__ == "__main__":
    main()
