#include "BatchOptions.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ConversionFrontEnd.h"
#include "SysUtils.h"

TBatchOptions ParseBatchOptions(int argc, const char* const* argv) {
  // The help text is our own (BatchHelp.cpp); CLI11 only parses.
  CLI::App app{"", "varnowe-batch"};
  app.set_help_flag();
  TBatchOptions o;
  std::string source, mask, dest, output, format, log, settings, dump, maxOutput;
  std::vector<std::string> formats;
  bool subDirs = false, noOverwrite = false;
  auto* optSource = app.add_option("-s,--source", source);
  auto* optMask = app.add_option("-m,--mask", mask);
  auto* optSubDirs = app.add_flag("-r,--subdirs", subDirs);
  auto* optFormats = app.add_option("--formats", formats)->delimiter(',');
  auto* optDest = app.add_option("-d,--dest", dest);
  auto* optOutput = app.add_option("-o,--output", output);
  auto* optFormat = app.add_option("-f,--format", format);
  auto* optNoOverwrite = app.add_flag("--no-overwrite", noOverwrite);
  auto* optLog = app.add_option("--log", log);
  auto* optMaxOutput = app.add_option("--max-output", maxOutput);
  std::string compression;
  auto* optCompression = app.add_option("--compression", compression);
  auto* optSettings = app.add_option("--settings", settings)->expected(0, 1);
  auto* optDump = app.add_option("--dump", dump);
  // The memory budget of a workbook.
  std::string maxMemory;
  auto* optMaxMemory = app.add_option("--max-memory", maxMemory);
  // Destination options.
  std::string separator, quote, lineEnd, encoding, values, names, sheets, sheetMask;
  bool banner = true, extra = true, htmlTitle = false, keepTree = false, wholeWorkbook = false;
  app.add_flag("--clean", o.Clean);
  app.add_flag("--classic", o.Classic);
  auto* optBanner = app.add_flag("--banner,!--no-banner", banner);
  auto* optExtra = app.add_flag("--extra,!--no-extra", extra);
  auto* optSeparator = app.add_option("--separator", separator);
  auto* optQuote = app.add_option("--quote", quote);
  auto* optLineEnd = app.add_option("--line-end", lineEnd);
  auto* optEncoding = app.add_option("--encoding", encoding);
  auto* optValues = app.add_option("--values", values);
  auto* optHtmlTitle = app.add_flag("--html-title,!--no-html-title", htmlTitle);
  auto* optNames = app.add_option("--names", names);
  auto* optKeepTree = app.add_flag("--keep-tree,!--no-keep-tree", keepTree);
  auto* optSheets = app.add_option("--sheets", sheets);
  auto* optSheetMask = app.add_option("--sheet-mask", sheetMask);
  auto* optWholeWorkbook = app.add_flag("--whole-workbook,!--no-whole-workbook", wholeWorkbook);
  std::string pageSize, orientation, fit, margins, pageOrder, repeatRows;
  bool pageHeader = true, pageFooter = true;
  auto* optPageSize = app.add_option("--page-size", pageSize);
  auto* optOrientation = app.add_option("--orientation", orientation);
  auto* optFit = app.add_option("--fit", fit);
  auto* optMargins = app.add_option("--margins", margins);
  auto* optPageOrder = app.add_option("--page-order", pageOrder);
  auto* optRepeatRows = app.add_option("--repeat-rows", repeatRows);
  auto* optPageHeader = app.add_flag("--page-header,!--no-page-header", pageHeader);
  auto* optPageFooter = app.add_flag("--page-footer,!--no-page-footer", pageFooter);
  std::string exportSpec;
  auto* optExportSpec = app.add_option("--export-spec", exportSpec);
  std::string jobs, shard, report, retryFrom;
  auto* optJobs = app.add_option("-j,--jobs", jobs);
  auto* optShard = app.add_option("--shard", shard);
  auto* optReport = app.add_option("--report", report);
  auto* optRetryFrom = app.add_option("--retry-from", retryFrom);
  app.add_option("--password", o.Passwords)->allow_extra_args(false);
  std::string passwordFile;
  auto* optPasswordFile = app.add_option("--password-file", passwordFile);
  app.add_flag("--list", o.List);
  auto* optQuiet = app.add_flag("-q,--quiet", o.Quiet);
  app.add_flag("-v,--verbose", o.Verbose)->excludes(optQuiet);
  app.add_flag("-h,--help", o.Help);
  app.add_flag("--version", o.Version);
  std::string inputFormat;
  auto* optInputFormat = app.add_option("--input-format", inputFormat);
  app.add_option("inputs", o.Inputs);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    throw EUsageError(e.what());
  }
  auto take = [](CLI::Option* opt, std::string& value, std::optional<std::string>& into) {
    if (opt->count()) into = value;
  };
  take(optSource, source, o.Source);
  take(optInputFormat, inputFormat, o.InputFormat);
  take(optMask, mask, o.Mask);
  take(optDest, dest, o.Dest);
  take(optOutput, output, o.Output);
  take(optFormat, format, o.Format);
  take(optLog, log, o.Log);
  take(optMaxOutput, maxOutput, o.MaxOutput);
  take(optCompression, compression, o.Compression);
  take(optSettings, settings, o.Settings);
  take(optDump, dump, o.Dump);
  take(optMaxMemory, maxMemory, o.MaxMemory);
  take(optSeparator, separator, o.Separator);
  take(optQuote, quote, o.Quote);
  take(optLineEnd, lineEnd, o.LineEnd);
  take(optEncoding, encoding, o.Encoding);
  take(optValues, values, o.Values);
  take(optNames, names, o.Names);
  take(optSheets, sheets, o.Sheets);
  take(optSheetMask, sheetMask, o.SheetMask);
  take(optExportSpec, exportSpec, o.ExportSpec);
  if (optBanner->count()) o.Banner = banner;
  if (optExtra->count()) o.Extra = extra;
  if (optHtmlTitle->count()) o.HtmlTitle = htmlTitle;
  if (optKeepTree->count()) o.KeepTree = keepTree;
  if (optWholeWorkbook->count()) o.WholeWorkbook = wholeWorkbook;
  take(optPageSize, pageSize, o.PageSize);
  take(optOrientation, orientation, o.Orientation);
  take(optFit, fit, o.Fit);
  take(optMargins, margins, o.Margins);
  take(optPageOrder, pageOrder, o.PageOrder);
  take(optRepeatRows, repeatRows, o.RepeatRows);
  if (optPageHeader->count()) o.PageHeader = pageHeader;
  if (optPageFooter->count()) o.PageFooter = pageFooter;
  if (o.Sheets && o.SheetMask) throw EUsageError("give --sheets or --sheet-mask, not both");
  take(optJobs, jobs, o.Jobs);
  take(optShard, shard, o.Shard);
  take(optReport, report, o.Report);
  take(optRetryFrom, retryFrom, o.RetryFrom);
  take(optPasswordFile, passwordFile, o.PasswordFile);
  if (optFormats->count()) o.Formats = formats;
  if (optSubDirs->count()) o.SubDirs = subDirs;
  if (optNoOverwrite->count()) o.NoOverwrite = noOverwrite;
  return o;
}

void ReadPasswordFile(TBatchOptions& o) {
  if (!o.PasswordFile) return;
  std::ifstream in(*o.PasswordFile, std::ios::binary);
  if (!in) throw EUsageError("--password-file " + *o.PasswordFile + ": " + std::strerror(errno));
  std::string line;
  for (bool first = true; std::getline(in, line); first = false) {
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) o.Passwords.push_back(line);
  }
  if (in.bad()) throw EUsageError("--password-file " + *o.PasswordFile + ": cannot be read");
}

void HidePasswordArguments(int argc, char** argv) {
  auto hide = [](char* p) {
    for (; *p; ++p) *p = '*';
  };
  static const char Option[] = "--password";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return;
    if (std::strcmp(argv[i], Option) == 0 && i + 1 < argc)
      hide(argv[++i]);
    else if (std::strncmp(argv[i], Option, sizeof Option - 1) == 0 && argv[i][sizeof Option - 1] == '=')
      hide(argv[i] + sizeof Option);
  }
}

std::optional<int> DestinationFormatByName(const std::string& name) {
  std::string n = Trim(name);
  if (!n.empty() && n[0] == '.') n.erase(0, 1);
  if (SameText(n, "html")) return 2;
  for (int i = 0; i < DestinationFormatCount; ++i)
    if (SameText(n, DestinationFormats[i].Extension + 1) || n == std::to_string(i)) return i;
  return std::nullopt;
}

std::optional<int> DestinationFormatOfFile(const std::string& path) {
  const std::string ext = std::filesystem::path(path).extension().string();
  // "book.1" names no format.
  if (ext.size() < 2 || (ext[1] >= '0' && ext[1] <= '9')) return std::nullopt;
  return DestinationFormatByName(ext);
}

void ApplyDestinationOptions(const TBatchOptions& o, TDestinationOptions& options) {
  TTextOptions& t = options.Text;
  if (o.Clean && o.Classic) throw EUsageError("--clean and --classic choose opposite layouts; give one");
  // On the command line the text outputs are data for other tools: clean,
  // with LF line ends. A stored job (--settings) keeps its own choices.
  if (!o.Classic && !o.Settings) {
    ApplyCleanPreset(options);
    t.LineBreak = lbLF;
  }
  if (o.Clean) ApplyCleanPreset(options);
  if (o.Banner) t.Banner = *o.Banner;
  if (o.Extra) t.ExtraRowColumn = *o.Extra;
  if (o.HtmlTitle) t.HtmlTitle = *o.HtmlTitle;
  if (o.KeepTree) options.KeepFolderTree = *o.KeepTree;
  if (o.WholeWorkbook) options.WholeWorkbook = *o.WholeWorkbook;
  if (o.ExportSpec) options.ExportSpec = *o.ExportSpec;
  // A word option: parsed, or a usage error naming the choices.
  auto word = [](const std::optional<std::string>& value, auto parse, const char* option, const char* choices,
                 auto& into) {
    if (!value) return;
    const auto v = parse(*value);
    if (!v) throw EUsageError(std::string(option) + " \"" + *value + "\" is not understood (" + choices + ")");
    into = *v;
  };
  word(o.Separator, ParseSeparator, "--separator", "comma, semicolon, tab, space, pipe or one character",
       t.Separator);
  word(o.Quote, ParseQuoting, "--quote", "all or minimal", t.Quoting);
  word(o.LineEnd, ParseLineBreak, "--line-end", "crlf or lf", t.LineBreak);
  word(o.Encoding, ParseEncoding, "--encoding", "system, utf-8, utf-8-bom or utf-16le", t.Encoding);
  word(o.Values, ParseCellValues, "--values", "stored, displayed, data or auto", t.Values);
  TPageOptions& page = options.Page;
  word(o.PageSize, ParsePaperSize, "--page-size", "a4, letter, legal or a3", page.Setup.PaperSize);
  word(o.Orientation, ParseOrientation, "--orientation", "portrait, landscape or auto", page.Setup.Orientation);
  word(o.PageOrder, ParsePageOrder, "--page-order", "down or across", page.Setup.PageOrder);
  if (o.Fit && !ApplyFit(*o.Fit, page.Setup))
    throw EUsageError("--fit \"" + *o.Fit + "\" is not understood (width, none or a percentage from 10 to 400)");
  if (o.Margins && !ApplyMargins(*o.Margins, page.Setup))
    throw EUsageError("--margins \"" + *o.Margins +
                      "\" is not understood (default, or one or four lengths such as 15mm or 1in,0.5in,1in,0.5in)");
  if (o.RepeatRows) {
    const std::string& n = *o.RepeatRows;
    if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos || std::stoi(n) > 1000)
      throw EUsageError("--repeat-rows \"" + n + "\" is not understood (a number of rows from 0 to 1000)");
    page.Setup.RepeatRows = std::stoi(n);
  }
  if (o.PageHeader) page.HeaderLine = *o.PageHeader;
  if (o.PageFooter) page.FooterLine = *o.PageFooter;
  // A mask is asked for by --sheet-mask.
  auto allOrFirst = [](const std::string& w) {
    const auto v = ParseSheetSelection(w);
    return v == ssMask ? std::nullopt : v;
  };
  word(o.Sheets, allOrFirst, "--sheets", "all or first; --sheet-mask MASK for a mask", options.Sheets);
  if (o.Names) {
    if (SameText(*o.Names, "default")) {
      options.NameTemplate.clear();
    } else if (SameText(*o.Names, "sheet")) {
      options.NameTemplate = SheetNameTemplate;
    } else {
      const std::string problem = NameTemplateProblem(*o.Names);
      if (!problem.empty()) throw EUsageError("--names \"" + *o.Names + "\": " + problem);
      options.NameTemplate = *o.Names;
    }
  }
  if (o.SheetMask) {
    if (Trim(*o.SheetMask).empty()) throw EUsageError("--sheet-mask needs a mask (e.g. 'Data*')");
    options.Sheets = ssMask;
    options.SheetMask = *o.SheetMask;
  }
}
