#!/usr/bin/env python3
"""Compares number-format codes cell by cell: a workbook dump of ours
(varnowe-batch --dump) or a written workbook read back, against a reference
dump of the corpus (its "format" per cell, as LibreOffice reports it).

Codes count as equal when they show the same thing: escapes and quotes
around literal text, letter case, locale tags without a currency symbol and
the spelling of the currency symbol do not matter, and the forms readers
give Excel's locale-dependent built-in formats (the short date of id 14, the
date-time of 22, the accounting formats 41 to 44) stand for each other.

usage: format_codes.py OURS_DIR EXPECTED_DIR [--verbose]
"""
import gzip, json, os, re, sys
from collections import Counter, defaultdict

def load(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as f:
        return json.load(f)

def literal_free(code):
    """The code with quoted text and escapes as plain characters, lower case."""
    out, i = [], 0
    while i < len(code):
        c = code[i]
        if c == '"':
            j = code.find('"', i + 1)
            j = len(code) if j < 0 else j
            out.append(code[i + 1:j]); i = j + 1; continue
        if c == "\\" and i + 1 < len(code):
            out.append(code[i + 1]); i += 2; continue
        out.append(c); i += 1
    return "".join(out).lower()

SHORT_DATES = {"m/d/yy", "mm-dd-yy", "m/d/yyyy", "mm/dd/yy", "mm/dd/yyyy", "m-d-yy"}

def norm(code):
    code = (code or "General").strip()
    # Locale tags ([$-409]) and currency tags ([$$-409] -> $).
    code = re.sub(r"\[\$-[0-9A-Fa-f]+\]", "", code)
    code = re.sub(r"\[\$([^\]-]*)(-[0-9A-Fa-f]+)?\]", lambda m: '"%s"' % m.group(1), code)
    s = literal_free(code)
    if s.endswith(";@"):
        s = s[:-2]
    if s in ("", "general"):
        return "general"
    if s in SHORT_DATES:
        return "<short date>"
    if s in {d + " h:mm" for d in SHORT_DATES}:
        return "<short date> h:mm"
    # Accounting: the zero section's "-" with or without its "??".
    s = s.replace(" -??_)", " -_)").replace(" -??_-", " -_-").replace(" -?? _", " -_")
    return s

def cells(doc):
    out = {}
    for i, sh in enumerate(doc.get("sheets", [])):
        name = sh.get("caption")
        for c in sh.get("cells", []):
            out[(name, c["r"], c["c"])] = c
    return out

def main():
    ours_dir, ref_dir = sys.argv[1], sys.argv[2]
    verbose = "--verbose" in sys.argv
    total, same, per_format, pairs = 0, 0, defaultdict(lambda: [0, 0]), Counter()
    for fn in sorted(os.listdir(ours_dir)):
        if not fn.endswith(".json"):
            continue
        ref_path = os.path.join(ref_dir, fn + ".gz")
        if not os.path.exists(ref_path):
            ref_path = os.path.join(ref_dir, fn)
        if not os.path.exists(ref_path):
            continue
        try:
            ours, ref = load(os.path.join(ours_dir, fn)), load(ref_path)
        except Exception:
            continue
        if ref.get("unreadable"):
            continue
        oc, rc = cells(ours), cells(ref)
        # Sheets by position when the captions differ.
        if not set(k[0] for k in oc) & set(k[0] for k in rc):
            names_o = [s.get("caption") for s in ours.get("sheets", [])]
            names_r = [s.get("caption") for s in ref.get("sheets", [])]
            m = dict(zip(names_o, names_r))
            oc = {(m.get(k[0]), k[1], k[2]): v for k, v in oc.items()}
        fmt = ref.get("format") or "?"
        for key, r in rc.items():
            if r.get("unsure") or key not in oc:
                continue
            o = oc[key]
            ours_code, ref_code = o.get("format"), r.get("format")
            total += 1
            per_format[fmt][0] += 1
            alts = [ref_code] + ([r["format_alt"]] if r.get("format_alt") else [])
            if any(norm(ours_code) == norm(a) for a in alts):
                same += 1
                per_format[fmt][1] += 1
            else:
                pairs[(fmt, ours_code, ref_code)] += 1
    for fmt, (n, ok) in sorted(per_format.items()):
        print("  %-8s %7d cells  %7d equal  %6.2f%%" % (fmt, n, ok, 100.0 * ok / n if n else 100))
    print("format codes: %.2f%% equal (%d of %d cells)" % (100.0 * same / total if total else 100, same, total))
    for (fmt, o, r), n in pairs.most_common(60 if verbose else 15):
        print("  %6d  %-6s ours %r  reference %r" % (n, fmt, o, r))

if __name__ == "__main__":
    main()
