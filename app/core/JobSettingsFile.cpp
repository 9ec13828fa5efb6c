#include "JobSettingsFile.h"

#include <optional>

#include "Budgets.h"
#include "IniFile.h"
#include "SysUtils.h"

namespace {

using TValues = TStoredSettings;

// Readers and writers of one member, chosen by what it is. Ref is a
// captureless lambda giving the member of the values; Read and Write are the
// INI file's typed methods (a value the file lacks or cannot give as that
// type keeps the member as it is).
template <auto Ref, auto Read>
void ReadTyped(const TIniFile& ini, const TSettingKey& k, TValues& v) {
  auto& m = Ref(v);
  m = (ini.*Read)(k.Section, k.Key, m);
}
template <auto Ref, auto Write>
void WriteTyped(TIniFile& ini, const TSettingKey& k, const TValues& v) {
  (ini.*Write)(k.Section, k.Key, Ref(const_cast<TValues&>(v)));
}
template <auto Ref>
constexpr auto ReadText = ReadTyped<Ref, &TIniFile::ReadString>;
template <auto Ref>
constexpr auto WriteText = WriteTyped<Ref, &TIniFile::WriteString>;
template <auto Ref>
constexpr auto ReadInteger = ReadTyped<Ref, &TIniFile::ReadInteger>;
template <auto Ref>
constexpr auto WriteInteger = WriteTyped<Ref, &TIniFile::WriteInteger>;
template <auto Ref>
constexpr auto ReadBool = ReadTyped<Ref, &TIniFile::ReadBool>;
template <auto Ref>
constexpr auto WriteBool = WriteTyped<Ref, &TIniFile::WriteBool>;
template <auto Ref>
void ReadByteSize(const TIniFile& ini, const TSettingKey& k, TValues& v) {
  int64_t size;
  if (TryParseByteSize(ini.ReadString(k.Section, k.Key, std::string()), size)) Ref(v) = size;
}
// A value kept only when Parse understands it; Parse answers an optional.
template <auto Ref, auto Parse>
void ReadParsed(const TIniFile& ini, const TSettingKey& k, TValues& v) {
  if (!ini.ValueExists(k.Section, k.Key)) return;
  if (auto parsed = Parse(ini.ReadString(k.Section, k.Key, std::string()))) Ref(v) = *parsed;
}
template <auto Ref, auto Word>
void WriteWord(TIniFile& ini, const TSettingKey& k, const TValues& v) {
  ini.WriteString(k.Section, k.Key, Word(Ref(const_cast<TValues&>(v))));
}

// A page setting in words: applied when understood, else the setup stays.
template <auto Apply>
void ReadPageWords(const TIniFile& ini, const TSettingKey& k, TValues& v) {
  if (!ini.ValueExists(k.Section, k.Key)) return;
  TQXEPageSetup s = v.Job.Destination.Page.Setup;
  if (Apply(ini.ReadString(k.Section, k.Key, std::string()), s)) v.Job.Destination.Page.Setup = s;
}
template <auto Word>
void WritePageWords(TIniFile& ini, const TSettingKey& k, const TValues& v) {
  ini.WriteString(k.Section, k.Key, Word(v.Job.Destination.Page.Setup));
}
// Rows to repeat: 0 to 1000.
std::optional<int32_t> ParseRepeatRows(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty() || t.size() > 4 || t.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const int n = std::stoi(t);
  return n <= 1000 ? std::optional<int32_t>(n) : std::nullopt;
}
std::string RepeatRowsWord(int32_t n) { return std::to_string(n); }

// An empty template is the usual naming; one that cannot work is ignored.
std::optional<std::string> ParseNameTemplate(const std::string& text) {
  if (text.empty() || NameTemplateProblem(text).empty()) return text;
  return std::nullopt;
}

constexpr auto Source = [](TValues& v) -> std::string& { return v.Job.edSourceName; };
constexpr auto Destination = [](TValues& v) -> std::string& { return v.Job.edDestinationName; };
constexpr auto Format = [](TValues& v) -> int& { return v.Job.rgDestination; };
constexpr auto SubFolders = [](TValues& v) -> bool& { return v.Job.chkSubFolders; };
constexpr auto Overwrite = [](TValues& v) -> bool& { return v.Job.chkOverwrite; };
constexpr auto LogProcessed = [](TValues& v) -> bool& { return v.Job.chkLogProcessed; };
constexpr auto LogFile = [](TValues& v) -> std::string& { return v.Job.edLogProcessed; };
constexpr auto OutputSize = [](TValues& v) -> int64_t& { return v.Job.MaxOutputSize; };
constexpr auto WorkbookMemory = [](TValues& v) -> int64_t& { return v.Job.MaxWorkbookMemory; };
constexpr auto Compression = [](TValues& v) -> TZipCompression& { return v.Job.Compression; };
constexpr auto Banner = [](TValues& v) -> bool& { return v.Job.Destination.Text.Banner; };
constexpr auto Extra = [](TValues& v) -> bool& { return v.Job.Destination.Text.ExtraRowColumn; };
constexpr auto Separator = [](TValues& v) -> std::string& { return v.Job.Destination.Text.Separator; };
constexpr auto Quoting = [](TValues& v) -> TCsvQuoting& { return v.Job.Destination.Text.Quoting; };
constexpr auto LineBreak = [](TValues& v) -> TLineBreak& { return v.Job.Destination.Text.LineBreak; };
constexpr auto Encoding = [](TValues& v) -> TTextEncoding& { return v.Job.Destination.Text.Encoding; };
constexpr auto HtmlTitle = [](TValues& v) -> bool& { return v.Job.Destination.Text.HtmlTitle; };
constexpr auto Values = [](TValues& v) -> TCellValues& { return v.Job.Destination.Text.Values; };
constexpr auto NameTemplate = [](TValues& v) -> std::string& { return v.Job.Destination.NameTemplate; };
constexpr auto KeepTree = [](TValues& v) -> bool& { return v.Job.Destination.KeepFolderTree; };
constexpr auto Sheets = [](TValues& v) -> TSheetSelection& { return v.Job.Destination.Sheets; };
constexpr auto SheetMask = [](TValues& v) -> std::string& { return v.Job.Destination.SheetMask; };
constexpr auto WholeWorkbook = [](TValues& v) -> bool& { return v.Job.Destination.WholeWorkbook; };
constexpr auto Paper = [](TValues& v) -> TQXEPaperSize& { return v.Job.Destination.Page.Setup.PaperSize; };
constexpr auto Orientation = [](TValues& v) -> TQXEOrientation& { return v.Job.Destination.Page.Setup.Orientation; };
constexpr auto PageOrder = [](TValues& v) -> TQXEPageOrder& { return v.Job.Destination.Page.Setup.PageOrder; };
constexpr auto RepeatRows = [](TValues& v) -> int32_t& { return v.Job.Destination.Page.Setup.RepeatRows; };
constexpr auto HeaderLine = [](TValues& v) -> bool& { return v.Job.Destination.Page.HeaderLine; };
constexpr auto FooterLine = [](TValues& v) -> bool& { return v.Job.Destination.Page.FooterLine; };
constexpr auto ExportSpec = [](TValues& v) -> std::string& { return v.Job.Destination.ExportSpec; };
constexpr auto Excel = [](TValues& v) -> bool& { return v.Formats.chkMSExcel; };
constexpr auto Lotus = [](TValues& v) -> bool& { return v.Formats.chkLotus; };
constexpr auto Quattro = [](TValues& v) -> bool& { return v.Formats.chkQuattroPro; };
constexpr auto Ods = [](TValues& v) -> bool& { return v.Formats.chkOpenOffice; };

constexpr auto AnyText = [](const std::string& text) { return std::optional<std::string>(text); };

using K = TSettingKind;

const TSettingKey Keys[] = {
    {"General", "Source", K::skText, nullptr, nullptr, sgJob, ReadText<Source>, WriteText<Source>},
    {"General", "Destination", K::skText, nullptr, nullptr, sgJob, ReadText<Destination>, WriteText<Destination>},
    {"General", "DestinationFormat", K::skInteger, nullptr, "0", sgJob, ReadInteger<Format>, WriteInteger<Format>},
    {"Log", "SubFolders", K::skBool, nullptr, "0", sgJob, ReadBool<SubFolders>, WriteBool<SubFolders>},
    {"Log", "Overwrite", K::skBool, nullptr, "1", sgJob, ReadBool<Overwrite>, WriteBool<Overwrite>},
    {"Log", "LogProcessed", K::skBool, nullptr, "0", sgJob, ReadBool<LogProcessed>, WriteBool<LogProcessed>},
    {"Log", "LogProcessedFile", K::skText, nullptr, nullptr, sgJob, ReadText<LogFile>, WriteText<LogFile>},
    {"Options", "MaxOutputSize", K::skByteSize, nullptr, nullptr, sgJob, ReadByteSize<OutputSize>, nullptr},
    {"Options", "MaxWorkbookMemory", K::skByteSize, nullptr, nullptr, sgJob, ReadByteSize<WorkbookMemory>, nullptr},
    {"Options", "Compression", K::skWord, "fast default small", "default", sgJob,
     ReadParsed<Compression, ParseCompression>, nullptr},
    {DestinationSection, "Banner", K::skBool, nullptr, "1", sgDestination, ReadBool<Banner>, WriteBool<Banner>},
    {DestinationSection, "ExtraRowColumn", K::skBool, nullptr, "1", sgDestination, ReadBool<Extra>, WriteBool<Extra>},
    {DestinationSection, "Separator", K::skWord, "comma semicolon tab space pipe", ",", sgDestination,
     ReadParsed<Separator, ParseSeparator>, WriteWord<Separator, SeparatorWord>},
    {DestinationSection, "Quoting", K::skWord, "all minimal", "all", sgDestination, ReadParsed<Quoting, ParseQuoting>,
     WriteWord<Quoting, QuotingWord>},
    {DestinationSection, "LineEnd", K::skWord, "crlf lf", "crlf", sgDestination, ReadParsed<LineBreak, ParseLineBreak>,
     WriteWord<LineBreak, LineBreakWord>},
    {DestinationSection, "Encoding", K::skWord, "system utf-8 utf-8-bom utf-16le", "system", sgDestination,
     ReadParsed<Encoding, ParseEncoding>, WriteWord<Encoding, EncodingWord>},
    {DestinationSection, "HtmlTitle", K::skBool, nullptr, "0", sgDestination, ReadBool<HtmlTitle>, WriteBool<HtmlTitle>},
    {DestinationSection, "Values", K::skWord, "auto stored displayed data", "auto", sgDestination,
     ReadParsed<Values, ParseCellValues>, WriteWord<Values, CellValuesWord>},
    {DestinationSection, "NameTemplate", K::skText, nullptr, "", sgDestination,
     ReadParsed<NameTemplate, ParseNameTemplate>, WriteText<NameTemplate>},
    {DestinationSection, "KeepFolderTree", K::skBool, nullptr, "0", sgDestination, ReadBool<KeepTree>,
     WriteBool<KeepTree>},
    {DestinationSection, "Sheets", K::skWord, "all first mask", "all", sgDestination,
     ReadParsed<Sheets, ParseSheetSelection>, WriteWord<Sheets, SheetSelectionWord>},
    {DestinationSection, "SheetMask", K::skText, nullptr, "", sgDestination, ReadParsed<SheetMask, AnyText>,
     WriteText<SheetMask>},
    {DestinationSection, "WholeWorkbook", K::skBool, nullptr, "0", sgDestination, ReadBool<WholeWorkbook>,
     WriteBool<WholeWorkbook>},
    // PDF pages. The paper's default is the locale's.
    {DestinationSection, "PaperSize", K::skText, nullptr, nullptr, sgDestination, ReadParsed<Paper, ParsePaperSize>,
     WriteWord<Paper, PaperSizeWord>},
    {DestinationSection, "Orientation", K::skWord, "portrait landscape auto", "auto", sgDestination,
     ReadParsed<Orientation, ParseOrientation>, WriteWord<Orientation, OrientationWord>},
    {DestinationSection, "Fit", K::skText, nullptr, "width", sgDestination, ReadPageWords<ApplyFit>,
     WritePageWords<FitWord>},
    {DestinationSection, "Margins", K::skText, nullptr, "default", sgDestination, ReadPageWords<ApplyMargins>,
     WritePageWords<MarginsWord>},
    {DestinationSection, "PageOrder", K::skWord, "down across", "down", sgDestination,
     ReadParsed<PageOrder, ParsePageOrder>, WriteWord<PageOrder, PageOrderWord>},
    {DestinationSection, "RepeatRows", K::skText, nullptr, "0", sgDestination, ReadParsed<RepeatRows, ParseRepeatRows>,
     WriteWord<RepeatRows, RepeatRowsWord>},
    {DestinationSection, "PageHeader", K::skBool, nullptr, "1", sgDestination, ReadBool<HeaderLine>,
     WriteBool<HeaderLine>},
    {DestinationSection, "PageFooter", K::skBool, nullptr, "1", sgDestination, ReadBool<FooterLine>,
     WriteBool<FooterLine>},
    {DestinationSection, "ExportSpec", K::skText, nullptr, "", sgDestination, ReadParsed<ExportSpec, AnyText>,
     WriteText<ExportSpec>},
    {"SourceFormat", "excel", K::skBool, nullptr, "1", sgSourceFormats, ReadBool<Excel>, WriteBool<Excel>, true},
    {"SourceFormat", "lotus", K::skBool, nullptr, "1", sgSourceFormats, ReadBool<Lotus>, WriteBool<Lotus>, true},
    {"SourceFormat", "quattro", K::skBool, nullptr, "1", sgSourceFormats, ReadBool<Quattro>, WriteBool<Quattro>, true},
    {"SourceFormat", "ods", K::skBool, nullptr, "1", sgSourceFormats, ReadBool<Ods>, WriteBool<Ods>, true},
};

}  // namespace

std::span<const TSettingKey> SettingKeys() { return Keys; }

void ReadStoredSettings(const TIniFile& ini, TStoredSettings& values, unsigned groups) {
  for (const TSettingKey& k : Keys)
    if (k.Group & groups) k.Read(ini, k, values);
}

void WriteStoredSettings(TIniFile& ini, const TStoredSettings& values, unsigned groups) {
  const char* erased = nullptr;
  for (const TSettingKey& k : Keys) {
    if (!(k.Group & groups) || !k.Write) continue;
    if (k.WholeSection && (!erased || std::string_view(erased) != k.Section)) {
      ini.EraseSection(k.Section);
      erased = k.Section;
    }
    k.Write(ini, k, values);
  }
}
