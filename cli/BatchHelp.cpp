#include "BatchHelp.h"

// Kept as one text, so a change shows whole in the golden test's diff.
const char* const BatchHelpText =
    R"(Usage: varnowe-batch [OPTIONS] [FILE|DIR]...

Converts spreadsheet documents: every sheet of each file becomes one output
file. Name the files (or directories) to convert, or give a source directory
with -s. Without -d the outputs go beside their sources.

Input:
  FILE...                 convert these files, whatever their names
  DIR...                  convert the matching files in these directories
  -s, --source PATH       source directory (or one file) to convert
  -m, --mask MASK         file mask for directories (default: *.*)
  -r, --subdirs           search sub-directories too
      --formats LIST      source formats searched for in directories, comma-
                          separated: excel, lotus, quattro, ods (default: all)
      --settings[=FILE]   take the job from an INI file (default: the wizard's
                          saved settings); other options override it

Output:
  -d, --dest DIR          destination directory (default: beside the sources,
                          or the one in --settings)
  -o, --output FILE       output file of a single input; later sheets add
                          their number before the extension (book1.csv)
  -f, --format FORMAT     destination format (default: txt, or the extension
                          of -o)
      --no-overwrite      skip files whose output exists (default: overwrite)
      --log FILE          append a run header and one line per file to FILE:
                          status, time, source and outputs, tab-separated
      --max-output SIZE   largest output file, in bytes or with K, M, G, T
                          (default: 4G; 0: no limit)

Scale:
  -j, --jobs N            convert N files at once (default: the number of
                          processors); output and log are as with -j 1
      --shard K/N         convert only shard K of N (0 <= K < N), chosen by a
                          hash of each file's path below its directory; N
                          runs with K = 0 .. N-1 together convert every file
                          once, without writing the same output twice
      --report FILE       write one JSON line per file to FILE: source,
                          destination, outputs, status, message,
                          milliseconds, sheets, cells, reader, version
      --retry-from FILE   convert again the files a report says failed,
                          were canceled or not reached (with the job's
                          sources, only those; alone, into the same outputs)

Messages:
  -q, --quiet             print only errors, warnings and the summary
  -v, --verbose           also print each file's reader and format version
                          and the output written for every sheet
      --list              print the candidate and work lists, convert nothing
      --dump FILE         print the workbook read from FILE as JSON
  -h, --help              print this help and exit
      --version           print the version and exit

Destination formats (-f):
  txt   fixed-width text          xls   Excel 95/97 worksheet
  csv   comma-delimited text      xlsx  Excel 2007/2010 workbook
  htm   HTML table (also html)    pdf   PDF document
  xml   XML data packet
  (or their numbers 0-6 in this order: txt csv htm xml xls xlsx pdf)

Source formats: Excel (.xls .xlsx .xlsm .xlsb and templates), Lotus 1-2-3
(.wk1 .wk3 .wk4 .123 .wr1), Quattro Pro (.wq1 .wq2 .wb3 .qpw), OpenDocument
(.ods). A named file whose extension says nothing goes by its content.

Per-file lines and the summary ("12 converted, 3 failed, 1 skipped") go to
standard output; errors and warnings to standard error.

Exit status:
  0  every file was converted or skipped (or there was nothing to convert)
  1  a file failed, or the run was stopped before the end
  2  bad usage, a missing source, or an unusable settings, log or report file
  130, 143  stopped by SIGINT (Ctrl-C) or SIGTERM: the file in progress is
     interrupted and its outputs taken back

Examples:
  varnowe-batch -f csv a.xls b.xlsx
  varnowe-batch book.xls -o book.pdf
  varnowe-batch -s ~/sheets -m '*.wk?' -r -d ~/converted -f xlsx --log run.log
  varnowe-batch -s /data/in -r -d /data/out --shard 2/8 --report r-2.jsonl
  varnowe-batch -s /data/in -r -d /data/out --retry-from r-2.jsonl --report r-2b.jsonl
)";

const char* const BatchVersionText = "varnowe-batch " VARNOWE_VERSION "\n";
