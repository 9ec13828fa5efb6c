#!/usr/bin/env python3
"""Builds the expected texts of the number-format renderer's table test.

Every (value, format code) pair below goes into a workbook cell; LibreOffice
converts the workbooks to CSV with "save cell contents as shown" and its
texts become the expected column of format_render_cases.tsv. Where the
spreadsheet program the format codes come from shows something else than
LibreOffice, the row carries that program's text and the reason (EXCEL_SHOWS
below). Run it again after changing the cases; the test does not need
LibreOffice.

usage: format_render_cases.py [OUT.tsv]   (needs openpyxl and soffice)
"""
import csv, math, os, subprocess, sys, tempfile

if "openpyxl" not in sys.modules:
    try:
        import openpyxl
    except ImportError:  # the Debian module lives with the system interpreter
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
from openpyxl.utils.datetime import CALENDAR_MAC_1904

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "golden", "format_render_cases.tsv")

def cross(group, codes, values, date1904=False):
    return [(group, v if isinstance(v, str) else float(v), c, date1904) for c in codes for v in values]

DAY = 1 / 86400
D = 45000.0          # 15 March 2023, a Wednesday
CASES = []
CASES += cross("general", ["General"], [
    0, -1, 0.5, 1 / 3, -2 / 3, 100000 / 3, 1234567.891, 12345678901, 123456789012, -123456789012, 1e15,
    1.23456789e20, 1e-5, 0.0001, 0.00012345678, 1.2345678e-5, 1e-10, 1.23456789e100, 1e-100, 0.1 + 0.2,
    3.14159265358979, 1234567890.5, 99999999999.5, 2 ** 53, 9.9999999999e-5])
CASES += cross("digits", ["0", "0.00", "#,##0", "#,##0.00", "#", "#.##", "?.??", "00000", "#,###.##", "000.0#",
                          "0.000", ".00"], [
    0, 1234.5678, -1234.5678, 0.5, 0.005, 1.005, 999.999, -0.4, 12])
CASES += cross("digits-more", ["0", "#,##0", "0.00"], [1e20, 1234567890123456789, -1e-7])
CASES += cross("literal", ["000-00-0000", "\\$0", "$#,##0.00", "0 \"km\"", "\"Total: \"0.0", "0\\%",
                           "(000) 000-0000", "#\" dozen\"", "+0;-0;0", "0 \"m²\"", "€ #,##0.00",
                           "0.00\"a\"0", "0 000", "\"x\""], [
    0, 123456789, -42.5, 0.25])
CASES += cross("scale", ["#,##0,", "#,##0,,", "0.0,,\"M\"", "0.00,\"K\"", "#,", "0,0", "#,##0.00,,,"], [
    0, 999, 1500, -987654321, 12345678901])
CASES += cross("percent", ["0%", "0.00%", "0.0%", "#,##0%", "%0", "#,##0.00_);(#,##0.00%)"], [
    0, 0.652, -0.652027207027097, 12.3456, 0.005])
CASES += cross("scientific", ["0.00E+00", "##0.0E+0", "0E+0", "0.00E-00", "#.##E+00", "00.00E+00",
                              "0.0E+000", "###.##E-0"], [
    0, 1234.5, -1234.5, 0.000123, 1e100, 1e-100, 1, 9.9999])
CASES += cross("fraction", ["# ?/?", "# ??/??", "# ???/???", "# ?/2", "# ?/4", "# ??/16", "?/?",
                            "0 ?/10", "??/??", "# #/#", "0 0/100"], [
    0, 0.5, 1.75, 0.3, 3.14159, -2.375, 1234.567, 0.999, 0.01])
CASES += cross("spaces", ["_(0_)", "* 0", "**0", "0*x", "_-0_-", "0_);(0)", "#,##0.00_);[Red](#,##0.00)",
                          '_(* #,##0_);_(* (#,##0);_(* "-"_);_(@_)',
                          '_($* #,##0.00_);_($* (#,##0.00);_($* "-"??_);_(@_)'], [
    0, 1234.5, -1234.5, 0.004])
CASES += cross("sections", ["0;-0;\"zero\"", "0;(0)", "0;0;", "0;-0;;@", ";;;", "0.00;[Red]-0.00",
                            "#,##0;-#,##0;\"-\"", "0;\"neg\"", "\"pos\";\"neg\";\"zero\";\"text\"",
                            "General;-General;\"nil\"", "0.0;-0.0;0.0;@\"!\""], [
    0, 5.5, -5.5, -0.01, 1e-20])
CASES += cross("conditions", ["[>=100]0.0;[<0]\"neg \"0;0", "[<=9999999]###-####;(###) ###-####",
                              "[Red][>=1000]#,##0;[Blue]0", "[<0]\"neg \"0;\"pos \"0", "[<-1]0;0",
                              "[>0]0;[<0]0;0", "[=0]\"none\";0", "[<>5]0.0;\"five\"",
                              "[>=1000000]0.0,,\"M\";[>=1000]0.0,\"K\";0"], [
    0, 5, -5, 150, 5551234, 15551234567, 2500000])
CASES += cross("colours", ["[Red]0.00", "[Color10]0", "0;[Red]-0", "[Blue]General", "[Green]@",
                           "[Magenta]0%;[Cyan]-0%", "[Black][>10]0;[White]0", "[COLOR 3]0.0"], [
    0, 12.345, -12.345])
CASES += cross("locale", ["[$€-407] #,##0.00", "#,##0.00 [$€-407]", "[$$-409]#,##0.00", "[$£-809]#,##0.00",
                          "[$-409]#,##0.00", "[$USD] 0.00", "[$CHF-807] 0.00;[$CHF-807] -0.00",
                          "[$¥-411]#,##0", "[$-409]General"], [
    0, 1234.5, -1234.5])
CASES += cross("date", ["d", "dd", "ddd", "dddd", "m", "mm", "mmm", "mmmm", "mmmmm", "yy", "yyyy",
                        "m/d/yyyy", "d/m/yy", "yyyy-mm-dd", "mmm d, yyyy", "dddd, mmmm d, yyyy",
                        "d-mmm-yy", "d-mmm", "mmm-yy", "mm-dd-yy", "m/d/yy h:mm", "yyyy-mm-dd hh:mm:ss",
                        "dd.mm.yyyy", "[$-409]mmmm d, yyyy", "[$-F800]dddd, mmmm dd, yyyy",
                        "d \"of\" mmmm", "mmmmm-yy", "yyyy\\-mm", "[$-409]dd\\ mmmm\\ yyyy;@"], [
    D, D + 0.75, 61, 36526, 2958465.99998843, 40237, 12345.678, -5, 731, D + 0.999994])
TIMES = [D + 0.25, D + 0.75, D + 0.123456, 0, 0.999994, 1.5, 2.75 + 0.5 * DAY, 0.0000001,
         D + 13 * 3600 * DAY + 5 * 60 * DAY + 7.4 * DAY, D + 59.5 * DAY, -0.25]
CASES += cross("time", ["h", "hh", "h:mm", "hh:mm:ss", "h:mm AM/PM", "h:mm:ss AM/PM", "h:mm A/P",
                        "hh:mm a/p", "mm:ss", "m:s", "ss", "ss.000", "mm:ss.0", "h:mm:ss.00", "[h]:mm:ss",
                        "[h]:mm", "[mm]:ss", "[ss]", "[hh]:mm", "h \"h\" m \"min\"", "AM/PM h", "h:mm;@",
                        "[$-F400]h:mm:ss AM/PM", "h:mm:ss.000 AM/PM", "[m]", "[h] mm"], TIMES)
CASES += cross("datetime", ["yyyy-mm-dd\"T\"hh:mm:ss", "mm/dd/yyyy hh:mm AM/PM", "yyyy mm", "d/m/yy h:mm:ss.0"],
               [t for t in TIMES if t >= 61])
CASES += cross("names", ["[$-407]mmmm dddd", "[$-40C]mmm ddd", "[$-410]mmm ddd", "[$-C0A]mmmm dddd",
                         "[$-413]mmm ddd", "[$-816]mmmm dddd", "[$-407]d. mmmm yyyy", "[$-809]dd mmmm yyyy",
                         "[$-1010409]mmmm d, yyyy", "[$-407]mmmmm"], [D, 36526.5, 36600, 36770])
LEAP_CODES = ["m/d/yyyy", "dddd, mmmm d, yyyy", "yyyy-mm-dd hh:mm", "d-mmm-yy", "ddd d", "[h]:mm"]
CASES += cross("leap1900", LEAP_CODES, [0, 0.5, 1, 59, 60, 60.75, 61])
CASES += cross("date1904", ["m/d/yyyy", "yyyy-mm-dd hh:mm", "[h]:mm", "General", "0.00"],
               [0, 1, 59, 60, 61, 38000.5, 0.75], True)
CASES += cross("text", ["@", "General", "0", "\"pre \"@", "@\" suffix\"", "0;0;0;\"[\"@\"]\"", "0;-0;0",
                        "[Red]@", "0;-0;0;@@", "_(@_)", "\\@@", "@*-", ";;;@", "0.00;;;"],
               ["abc", "12", "Ünïcødé", "  sp  "])

# What the spreadsheet program shows where LibreOffice shows something else.
# Each rule says why; rows it changes carry LibreOffice's text in the note.

def excel_general(v):
    """General in a cell wide enough: at most 11 characters besides the sign,
    fixed from 1E-4 to below 1E+11, else scientific with up to 5 decimals
    (4 with a three-digit exponent); halves round away from zero."""
    from decimal import Decimal, ROUND_HALF_UP
    if v == 0:
        return "0"
    sign, a = ("-" if v < 0 else ""), Decimal(repr(float("%.15g" % abs(v))))
    e = a.adjusted()
    if -4 <= e <= 10:
        places = max(0, 11 - max(e + 1, 1) - 1)
        text = str(a.quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP))
        if "." in text:
            text = text.rstrip("0").rstrip(".")
        if len(text) <= 11:
            return sign + text
    for places in (5, 4):
        m = a.scaleb(-e).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)
        ee = e
        if m >= 10:
            m, ee = (m / 10).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP), e + 1
        if places == 5 and abs(ee) >= 100:
            continue
        text = str(m)
        if "." in text:
            text = text.rstrip("0").rstrip(".")
        return "%s%sE%s%02d" % (sign, text, "-" if ee < 0 else "+", abs(ee))

# The first two months of 1900 as the spreadsheet program counts them (with
# its 29 February 1900); LibreOffice counts real days from 30 December 1899.
LEAP = {
    0: ["1/0/1900", "Saturday, January 0, 1900", "1900-01-00 00:00", "0-Jan-00", "Sat 0", "0:00"],
    0.5: ["1/0/1900", "Saturday, January 0, 1900", "1900-01-00 12:00", "0-Jan-00", "Sat 0", "12:00"],
    1: ["1/1/1900", "Sunday, January 1, 1900", "1900-01-01 00:00", "1-Jan-00", "Sun 1", "24:00"],
    59: ["2/28/1900", "Tuesday, February 28, 1900", "1900-02-28 00:00", "28-Feb-00", "Tue 28", "1416:00"],
    60: ["2/29/1900", "Wednesday, February 29, 1900", "1900-02-29 00:00", "29-Feb-00", "Wed 29", "1440:00"],
    60.75: ["2/29/1900", "Wednesday, February 29, 1900", "1900-02-29 18:00", "29-Feb-00", "Wed 29", "1458:00"],
    61: ["3/1/1900", "Thursday, March 1, 1900", "1900-03-01 00:00", "1-Mar-00", "Thu 1", "1464:00"],
}

def shows_seconds_rounded(code):
    """A time code whose last place is whole seconds (or minutes or hours)."""
    plain = code.lower()
    return any(t in plain for t in ("h", "s", ":")) and ".0" not in plain and plain.strip("[]@;") != "" \
        and not plain.startswith("[$-f8")

def excel_shows(group, value, code, lo, lo_rounded):
    if group == "leap1900":
        return LEAP[value][LEAP_CODES.index(code)], "the 1900 date system counts 29 February 1900"
    if isinstance(value, float) and code in ("General", "[Blue]General", "[$-409]General"):
        return excel_general(value), "General shows at most 11 characters"
    if isinstance(value, float) and code == "General;-General;\"nil\"" and value != 0:
        return ("-" if value < 0 else "") + excel_general(abs(value)), "General shows at most 11 characters"
    if code in ("#.##", "#,###.##") and "." not in lo:
        return lo + ".", "a point with no places after it stays"
    if "A/P" in code and lo[-1:] in ("a", "p"):
        return lo[:-1] + lo[-1].upper(), "A/P shows A or P in the case written"
    if code.startswith("[$-F400]"):
        return (lo_rounded or lo).lstrip("0"), "the regional long time (h:mm:ss AM/PM in the test's settings)"
    if group in ("time", "date", "datetime") and lo_rounded is not None and shows_seconds_rounded(code):
        return lo_rounded, "times round to the nearest second shown"
    return lo, ""

def rounded_to_second(v):
    if isinstance(v, str):
        return v
    day = math.floor(v)
    return day + round((v - day) * 86400) / 86400
def build(cases, path, date1904):
    wb = openpyxl.Workbook()
    if date1904:
        wb.epoch = CALENDAR_MAC_1904
    ws = wb.active
    for i, (group, v, c, d) in enumerate(cases, 1):
        ws.cell(i, 1, v).number_format = c
        ws.cell(i, 2, "#%d" % i)
        ws.cell(i, 3, rounded_to_second(v)).number_format = c
    wb.save(path)

def builtin_id(code):
    from openpyxl.styles.numbers import BUILTIN_FORMATS_REVERSE
    return BUILTIN_FORMATS_REVERSE.get(code, -1)

def main():
    work = tempfile.mkdtemp()
    books = []
    for d in (False, True):
        cases = [k for k in CASES if k[3] == d]
        path = os.path.join(work, "cases1904.xlsx" if d else "cases1900.xlsx")
        build(cases, path, d)
        books.append((path, cases))
    subprocess.run(["soffice", "-env:UserInstallation=file://" + os.path.join(work, "profile"), "--headless", "--convert-to",
                    "csv:Text - txt - csv (StarCalc):9,34,76,1,,1033,false,true,true,false,false,-1",
                    "--outdir", work] + [b[0] for b in books], check=True, stdout=subprocess.DEVNULL)
    rows, overridden = [], 0
    for path, cases in books:
        out = os.path.splitext(path)[0] + "-Sheet.csv"
        with open(out, encoding="utf-8", newline="") as f:
            got = {r[1]: r for r in csv.reader(f, delimiter="\t") if len(r) > 1}
        for i, (group, v, c, d) in enumerate(cases, 1):
            r = got["#%d" % i]
            lo, lo_rounded = r[0], (r[2] if len(r) > 2 and r[2] != r[0] else None)
            expected, reason = excel_shows(group, v, c, lo, lo_rounded)
            if expected == lo:
                reason = ""
            overridden += bool(reason)
            for field in (c, expected, lo):
                assert "\t" not in field and "\n" not in field, field
            value = ("s:" + v) if isinstance(v, str) else repr(v)
            rows.append([group, value, c, str(builtin_id(c)), "1904" if d else "1900", expected,
                         ("" if not reason else reason + "; LibreOffice: " + lo)])
    with open(OUT, "w", encoding="utf-8", newline="") as f:
        f.write("# group\tvalue\tcode\tbuilt-in id\tdate system\texpected\tnote"
                "  (written by format_render_cases.py; values as the file holds them)\n")
        for r in rows:
            f.write("\t".join(r) + "\n")
    print("%d rows, %d where the expected text is not LibreOffice's" % (len(rows), overridden))

main()
