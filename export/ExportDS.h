#pragma once
// The root of the export family: options, data formats, statistic, the
// execute pipeline, specification files and mail.
//
// Use: set the properties, assign DataEngine with ColumnSource csDataEngine,
// call Execute, then read Statistic.Result (and FailureText on erFailed).
// Execute never raises an ordinary error; the outcome is in the statistic.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Exception.h"
#include "FormatSettings.h"
#include "QXEEngine.h"
#include "Streams.h"
#include "UiServices.h"

enum TQXOption : uint8_t {
  soFieldMask, soShowMessage, soBlankRowAfterCaptions, soMergeData, soWaitCursor, soDisableControls,
  soUseFieldNameAsCaption, soColLines, soRowLines, soColorsFonts, soExportBlankValues, soExportBands,
  soExportInvisibleFields, soAutoCloseStatistic
};
// Stored as the 16-bit ordinal bit mask.
using TQXOptions = uint16_t;
constexpr TQXOptions OptionBit(TQXOption o) { return TQXOptions(1u << o); }
// {soShowMessage, soWaitCursor, soDisableControls, soColLines, soRowLines, soAutoCloseStatistic}
inline constexpr TQXOptions DefaultQXOptions = 0x21B2;

enum TQXEResult : uint8_t { erInProgress, erCompleted, erCanceled, erFailed };
enum TTableTypeExport : uint8_t {
  teParadox, teDBase, teText, teHTML, teXLS, teExcel, teWord, teSYLK, teDIF, teWKS, teQuattro, teSQL, teXML,
  teAccess, teClipboard, teRTF, teSPSS, tePDF, teLDIF, teADO, teOpenOffice, teExcel2007, teJSON
};
inline constexpr int TableTypeCount = teJSON + 1;
enum TCharacterSet : uint8_t { csANSI_WINDOWS, csASCII_MSDOS, csEBCDIC, csUTF8, csUnicode };
enum TQXEStyle : uint8_t {
  esNormal, esPriceList, esMSMoney, esBrick, esDesert, esEggplant, esLilac, esMaple, esMarine, esRose, esSpruce,
  esWheat
};
enum TQXEDateOrder : uint8_t { doMDY, doDMY, doYMD, doYDM, doDYM, doMYD };
enum TColumnSource : uint8_t { csDBGrid, csDataSet, csDataEngine };
enum TQXELayout : uint8_t { elColumnar, elReversedColumnar, elTabularForm };
enum TActionAfterExport : uint8_t { aeNone, aeOpenView, aeEMail };

// "TXT" for teText: the type's name without its prefix.
const char* TableTypeName(TTableTypeExport t);
// ".XLS" for teXLS; "" for teClipboard and teADO.
const char* TableTypeExt(TTableTypeExport t);

VARNOWE_EXCEPTION(EQXEInvalidPropertyException, Exception);
VARNOWE_EXCEPTION(EQXENotSupportedClassException, Exception);

class TQXExportStyle {
 public:
  TQXEStyle Style() const { return FStyle; }
  // A different style loads its colour pair; the same one changes nothing.
  void SetStyle(TQXEStyle style);
  TColor OddColor = clWindow;
  TColor EvenColor = clWindow;
  void Assign(const TQXExportStyle& source) { *this = source; }
  // The background of row n: the style's colours, unchanged with esNormal.
  void ApplyRowColor(int64_t n, TColor& color) const;

 private:
  TQXEStyle FStyle = esNormal;
};

class TQXEDataFormats {
 public:
  TQXEDataFormats() { LoadRegionalSettings(); }
  TQXEDateOrder DateOrder = doMDY;
  char DateSeparator = '/';
  char TimeSeparator = ':';
  char ThousandSeparator = ',';
  char DecimalSeparator = '.';
  bool FourDigitYear = true;
  bool LeadingZerosInDate = false;
  std::string CurrencyString = "$";
  std::string CustomDateTimeFormat;
  std::string BooleanTrue = "True";
  std::string BooleanFalse = "False";
  bool UseRegionalSettings = false;

  // From the regional settings (DefaultFormatSettings()).
  void LoadRegionalSettings();
  void LoadRegionalSettings(const TFormatSettings& fs);
  void Assign(const TQXEDataFormats& source) { *this = source; }
};

struct TQXESendTo {
  std::string EMailRecipient, EMailCC, EMailBCC, EMailSubject, EMailBody;
  bool EMailOpenBeforeSend = true;
  void Assign(const TQXESendTo& source) { *this = source; }
};

enum TQXESection : uint8_t { esHeaderLines, esBandCaptions, esColumnTitles, esData, esFooterLines, esDetailLevel };

struct TQXEStatistic {
  int32_t TotalCount = 0;
  int32_t TotalErrors = 0;
  int32_t UpdateStep = 1;
  TQXEResult Result = erInProgress;
  // Where the writer is.
  int32_t CurrentRow = 0;
  int32_t CurrentColumn = 0;
  TQXESection Section = esHeaderLines;
  bool InDetail = false;
  int32_t CurrentLevel = 0;
  void Assign(const TQXEStatistic& source) { *this = source; }
};

class TQXEDataLevels;

class TQXEDataLevel {
 public:
  TQXEDataLevel();
  ~TQXEDataLevel();
  std::string Caption;
  int32_t ShiftCount = 1;
  TQXEColumns Columns;
  TQXEColumnBands Bands;
  TQXEGroupings Groupings;
  void* DBGrid = nullptr;
  void* DataSet = nullptr;
  TQXECustomDataEngine* DataEngine = nullptr;  // borrowed
  TColumnSource ColumnSource = csDBGrid;
  std::unique_ptr<TQXEDataLevels> DetailSources;
  // Export state: the engine in use and whether the columns were filled by it.
  TQXECustomDataEngine* WorkingEngine = nullptr;
  bool ColumnsGenerated = false;
  void Assign(const TQXEDataLevel& source);
};

class TQXEDataLevels {
 public:
  int32_t Count() const { return int32_t(FItems.size()); }
  // The new level's caption is "Detail" and its index.
  TQXEDataLevel* Add();
  TQXEDataLevel* Items(int32_t index) const { return FItems.at(size_t(index)).get(); }
  void Clear() { FItems.clear(); }
  void Assign(const TQXEDataLevels& source);
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  std::vector<std::unique_ptr<TQXEDataLevel>> FItems;
};

class TQXECustomBaseComponent;
using TGetCellParamsEvent =
    std::function<void(TQXECustomBaseComponent* Sender, TQXEField* Field, std::string& Text, TQXEFont& AFont,
                       TAlignment& Alignment, TColor& Background, TCellType& CellType)>;

class TQXECustomBaseComponent {
 public:
  TQXECustomBaseComponent();
  virtual ~TQXECustomBaseComponent();
  TQXECustomBaseComponent(const TQXECustomBaseComponent&) = delete;
  TQXECustomBaseComponent& operator=(const TQXECustomBaseComponent&) = delete;

  // Published
  const std::string& About() const { return FAbout; }
  void SetAbout(const std::string&) { FAbout.clear(); }
  bool AnimatedStatus = true;
  TQXEDataFormats DataFormats;
  std::string KeyGenerator = "QXExport 4.99";
  bool SelectedRecord = false;
  bool BlankIfZero = false;
  TQXOptions Options = DefaultQXOptions;
  std::string TitleStatus = "Exporting...";
  bool RightToLeft = false;
  TQXESendTo SendTo;
  bool ExportIfEmpty = true;
  TQXEStatistic Statistic;
  std::function<void(TQXECustomBaseComponent* Sender, int32_t id, std::string& Text)> OnGetLanguageString;
  std::function<void(TQXECustomBaseComponent* Sender, bool& Accept)> OnBeforeRecord;
  std::function<void(TQXECustomBaseComponent* Sender, bool& Abort)> OnAfterRecord;
  std::function<void(TQXECustomBaseComponent* Sender)> OnBeforeExecute;
  std::function<void(TQXECustomBaseComponent* Sender)> OnAfterExecute;
  std::function<void(TQXECustomBaseComponent* Sender, int32_t CurFileNumber, std::string& AFileName)> OnGetFileName;
  std::function<void(TQXECustomBaseComponent* Sender, int32_t CurValue, int32_t MaxValue, bool& Abort)> OnProgress;

  // Settings that descendants publish.
  TTableTypeExport TableType() const { return FTableType; }
  virtual void SetTableType(TTableTypeExport t) { FTableType = t; }
  std::vector<std::string> Header;
  std::vector<std::string> Footer;
  int32_t RowsPerFile = 0;
  bool AddTitle = false;
  TCharacterSet CharacterSet = csANSI_WINDOWS;
  TQXExportStyle ExportStyle;
  TQXEPageSetup PageSetup;
  TGetCellParamsEvent OnGetCellParams;
  std::string TableName;
  char FieldDelimiter = '\t';
  char TextQualifier = '\0';  // none
  std::string RecordSeparator = "\r\n";
  bool FixedWidth = false;
  bool AutoFitColumns = false;
  int32_t RowFirst = 0;  // text-file row range (kept in specification files)
  int32_t RowLast = 0;

  bool HasOption(TQXOption o) const { return (Options & OptionBit(o)) != 0; }
  void SetOption(TQXOption o, bool on) { Options = on ? TQXOptions(Options | OptionBit(o)) : TQXOptions(Options & ~OptionBit(o)); }

  // Copies every setting above, event handlers included.
  virtual void Assign(const TQXECustomBaseComponent& source);
  // The message with that index, which OnGetLanguageString may replace.
  std::string GetLanguageString(int32_t id);
  // The integer code of the mail program; -1 when there is none.
  int32_t SendMail(const std::string& fileName, const std::string& bodyPrefix = std::string());

  virtual int32_t GetSpecColumnKind(const TQXEColumn&) { return 0; }
  virtual void ExportData() {}
  virtual std::string FieldToText(const TQXEField* field);
  virtual std::string GetDefaultExt() { return ".EXP"; }

  // The formatting every number and date of this export uses: the regional
  // settings with the separators and currency of DataFormats.
  const TFormatSettings& FormatSettings() const { return FFormatSettings; }

 protected:
  void ApplyDataFormats();
  TFormatSettings FFormatSettings;
  // Message box when soShowMessage is on.
  void ShowInfo(const std::string& text);

 private:
  std::string FAbout;
  TTableTypeExport FTableType = teText;
};

class TQXExportBaseComponent : public TQXECustomBaseComponent {
 public:
  TQXExportBaseComponent();
  ~TQXExportBaseComponent() override;

  // Published
  TQXEColumns Columns{this};
  TQXEColumnBands Bands{this};
  void* DBGrid = nullptr;
  void* DataSet = nullptr;
  // Borrowed: never freed by the component, forgotten when it is destroyed.
  TQXECustomDataEngine* DataEngine() const { return FDataEngineAlive.expired() ? nullptr : FDataEngine; }
  void SetDataEngine(TQXECustomDataEngine* engine);
  TColumnSource ColumnSource = csDBGrid;
  const std::string& SpecificationDir() const { return FSpecificationDir; }
  void SetSpecificationDir(const std::string& dir);
  std::function<void(TQXECustomBaseComponent* Sender, int32_t Index, void*& Selected)> OnGetNextSelected;
  std::function<void(TQXECustomBaseComponent* Sender, int32_t& Count)> OnGetSelectedCount;
  std::function<void(TQXECustomBaseComponent* Sender, std::string& AFileName)> OnBeforeLoadSpecification;
  std::function<void(TQXECustomBaseComponent* Sender, std::string& AFileName)> OnAfterLoadSpecification;
  std::function<void(TQXECustomBaseComponent* Sender, std::string& AFileName)> OnBeforeSaveSpecification;
  std::function<void(TQXECustomBaseComponent* Sender, std::string& AFileName)> OnAfterSaveSpecification;

  std::string FileName;
  // FileName is written as it stands, without the table type's extension
  // added when it has none: for callers that name their outputs themselves
  // and have claimed exactly that name.
  bool FileNameAsGiven = false;
  TActionAfterExport ActionAfterExport = aeNone;
  TQXELayout Layout = elColumnar;
  TQXEDataLevels DetailSources;
  TQXEGroupings Groupings{this};

  // A stop from outside (the run's Stop button, Ctrl-C, a signal): polled
  // before every record and while texts are scanned; true ends the export
  // erCanceled exactly as the progress window's Cancel button does. Make it
  // cheap (an atomic read). The hand-off sets it; nothing else does.
  std::function<bool()> StopRequested;

  void SetTableType(TTableTypeExport t) override;
  void Assign(const TQXECustomBaseComponent& source) override;

  // Runs the export; ordinary errors end it erFailed and never escape.
  void Execute();
  // The message of the error that ended the last export (empty unless erFailed).
  const std::string& FailureText() const { return FFailureText; }
  // That error itself, so a caller can tell a budget or an existing file
  // from other failures (null unless erFailed by an exception).
  std::exception_ptr FailureError() const { return FFailure; }
  // The closing text of the last export (success, cancel or failure).
  const std::string& FinalText() const { return FFinalText; }

  bool IsCanceled();
  void SetCanceled(bool value);
  // Value of a system-variable column: ROWNO, COLNO, COUNT, ERRCOUNT, GENERATOR.
  TVariant GetSysVarValue(const std::string& name);
  int32_t TitleRowCount() const;
  int32_t RecordCount() const { return FRecordCount; }
  int32_t VisibleColumnCount() const { return FVisibleColumnCount; }
  // The data engine in use during an export.
  TQXECustomDataEngine* WorkingEngine() const { return FWorkingEngine; }

  // Specification files (settings in INI form).
  virtual void LoadSpecification(const std::vector<std::string>& lines);
  virtual void LoadSpecificationFromStream(TStream& stream);
  virtual void SaveSpecification(TStream& stream, const std::string& specificationName);
  virtual void CopySpecificationTo(TQXExportBaseComponent& target, const std::string& specificationName);
  // The same with a file, relative to SpecificationDir unless absolute;
  // the before/after events may change the name.
  void LoadSpecificationFromFile(const std::string& fileName);
  void SaveSpecificationToFile(const std::string& fileName, const std::string& specificationName);
  // Loads lines over the current settings: what they do not name keeps
  // its value (LoadSpecification clears strings and flags a file leaves out).
  void MergeSpecification(const std::vector<std::string>& lines);

 protected:
  virtual void CreateDataEngine();
  virtual void ReleaseDataEngine();
  virtual void PrepareExport();
  virtual void FinishExport();
  virtual void RunActionAfterExport();
  // The body, then FinishExport, each with its ordinary errors recorded as
  // the export's failure instead of escaping.
  void RunRecorded(const std::function<void()>& body);
  // Records a failure: erFailed, the progress window closed, a message box
  // with soShowMessage.
  void FailExport(const std::string& message);
  // Progress step of the row loop; false without a progress window.
  bool UpdateProgress(const std::string& text, int32_t n);
  // The most records the writer's grid could take; declared (empty) rows
  // beyond this are not visited. Writers with a grid override it.
  virtual int32_t RecordCountLimit() const { return INT32_MAX; }
  virtual int32_t ColumnCountLimit() const { return INT32_MAX; }
  // Sets the engine up for an export: flags, the grid's limits, field caches.
  void PrepareEngine(TQXECustomDataEngine& engine, TQXEColumns& columns, bool detail);
  // The engine for a data link, checked; throws for a missing link and for
  // the sources this program has none of.
  TQXECustomDataEngine* EngineFor(TColumnSource source, void* grid, void* dataSet, TQXECustomDataEngine* engine);

  TQXECustomDataEngine* FWorkingEngine = nullptr;
  int32_t FRecordCount = 0;
  int32_t FVisibleColumnCount = 0;
  bool FColumnsGenerated = false;
  std::unique_ptr<TProgressWindow> FProgress;

 private:
  bool CancelFlag() const;
  void OpenProgressWindow();
  void CloseProgressWindow();
  std::string ResolveSpecificationName(const std::string& fileName) const;
  TQXECustomDataEngine* FDataEngine = nullptr;
  std::weak_ptr<const void> FDataEngineAlive;
  std::string FSpecificationDir;
  bool FCanceled = false;
  bool FBusyCursor = false;
  bool FControlsDisabled = false;
  std::string FFailureText;
  std::exception_ptr FFailure;
  std::string FFinalText;
};

// Turns "10,20" and "10.5" into numbers whatever the separator (margins).
bool ParseSpecFloat(const std::string& text, float& value);

// The name=value pairs of specification lines, the first occurrence of a
// name winning and names compared without regard to case (sections are not
// looked at, as the family has always read them).
class TSpecValues {
 public:
  explicit TSpecValues(const std::vector<std::string>& lines);
  const std::string* Find(const std::string& name) const;
  std::string Str(const std::string& name) const;
  bool Flag(const std::string& name) const { return Str(name) == "1"; }
  template <class T>
  void Int(const std::string& name, T& value) const {
    int32_t v;
    if (const std::string* s = Find(name); s && TryInt(*s, v)) value = T(v);
  }
  // An enumeration value within 0 .. last.
  template <class E>
  void Enum(const std::string& name, E& value, int last) const {
    int32_t v;
    if (const std::string* s = Find(name); s && TryInt(*s, v) && v >= 0 && v <= last) value = E(v);
  }
  void Char(const std::string& name, char& value) const;
  void Float(const std::string& name, float& value) const;

 private:
  static bool TryInt(const std::string& text, int32_t& value);
  std::unordered_map<std::string, std::string> FValues;
};

// A specification file that cannot be used; the message names the file,
// the line and what is wrong with it.
VARNOWE_EXCEPTION(EQXESpecificationError, Exception);
// The lines of a specification text, checked: each is empty, a comment
// (";"), a section of the family's files or one of their settings (any
// writer's) with a value of its kind, no setting twice in one section, and
// at least one setting in all. Raises EQXESpecificationError naming name.
std::vector<std::string> CheckSpecification(const std::string& text, const std::string& name);
// The same for a file (of at most 1 MiB).
std::vector<std::string> ReadSpecificationFile(const std::string& fileName);
