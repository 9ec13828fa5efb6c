#pragma once
// The common base of the writers that produce a grid of cells (Excel BIFF,
// Excel Open XML, PDF): one row loop that opens the output, writes header
// lines, band captions, column titles, one row per record (with detail
// levels) and footer lines, and closes it. Writers override the cell hooks.
//
// Outputs are atomic: each file is written to a temporary file and put in
// place only when the whole export succeeded; a failure or a stop leaves no
// file and keeps an older file of the same name. Output says how (the byte
// budget, counted as the file grows, and whether an existing file may be
// replaced).
//
// The row loop visits what is stored: when the writer writes nothing for
// an empty cell (SkipsEmptyCells) and the engine can tell which cells a
// record holds (StoredColumns), only those are handed to WriteCell; an
// empty record costs a BeginRow and an EndRow.
//
// A writer that will put several sheets into one output later keeps its
// per-file state in StartFile/EndOfFile and its per-export state in
// PrepareExport/FinishExport, so a sheet's rows can be separated from
// opening and closing the output.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DocumentProperties.h"
#include "ExportDS.h"

class TAtomicFileStream;
class TFileStream;

class TQXExportToCellFile : public TQXExportBaseComponent {
 public:
  TQXExportToCellFile();
  ~TQXExportToCellFile() override;

  // How its own files are written (not a caller's stream).
  TOutputPolicy Output;
  // The document's title, author and so on, for the formats that carry
  // them (PDF, .xlsx, Excel 97-2003 workbooks).
  TDocumentProperties DocumentProperties;
  // What such an output records: DocumentProperties with a blank title
  // replaced by FileName's base name (never a text of this component's own).
  TDocumentProperties OutputProperties() const;

  // Runs the export into a stream the caller owns instead of FileName (no
  // file is created; RowsPerFile does not split). Errors end it erFailed as
  // in Execute.
  void ExportToStream(TStream& stream);

  void ExportData() override;

  // The cell in hand while WriteCell runs: the typed value of a data cell
  // as the engine gave it (empty for header, title and footer cells, for
  // constants, and when OnGetCellParams changed the text), and the number
  // format the engine asked for (-1: the writer's choice for the type).
  bool HasCellValue() const { return FCellValueValid; }
  const TVariant& CellValue() const { return FCell.Value; }
  int32_t CellNumberFormat() const { return FCellValueValid ? FCell.NumberFormat : -1; }
  // For a percent cell, the file's own number (CellValue() may be it × 100).
  const double* CellPercentFraction() const {
    return FCellValueValid && FCell.PercentFraction ? &FCell.Fraction : nullptr;
  }
  // The whole typed cell in hand (format code, error mark, text identity);
  // nullptr when the cell has no typed value.
  const TQXECellValue* TypedCell() const { return FCellValueValid ? &FCell : nullptr; }

 protected:
  virtual bool CanAppend() const { return false; }
  virtual bool CanWriteTitles() const { return true; }
  virtual void CreateFileStream(const std::string& fileName);
  virtual void WriteHeader();
  virtual void WriteFooter();
  virtual void WriteString(const std::string& text);
  virtual void StartFile();
  virtual void EndOfFile() {}
  virtual void SetDimensions(int32_t /*rowCount*/, int32_t /*colCount*/) {}
  virtual void SetColumnWidth(int32_t /*column*/, int32_t /*width*/) {}
  virtual void BeginLevel();
  virtual void EndLevel();
  virtual void BeginRow();
  virtual void EndRow();
  virtual void BeginDetail() {}
  virtual void EndDetail() {}
  virtual void WriteCell(TQXEField* field, TCellType cellType, int32_t row, int32_t column, const std::string& text,
                         TAlignment alignment, const TQXEFont& font, TColor color);
  virtual void WriteMergedCell(TCellType cellType, int32_t row, int32_t column, int32_t span, const std::string& text,
                               TAlignment alignment, const TQXEFont& font, TColor color);
  virtual void OpenFile(const std::string& fileName, int32_t fileIndex);
  virtual void CloseFile();

  // Once per export, before the first file is opened.
  virtual void PrepareOutput() {}
  // Whether data cells with a typed number, date or boolean value need
  // their text too; writers that write the value itself answer false.
  virtual bool WantsValueText() const { return true; }
  // Whether an empty data cell (no value, the column's own look) writes
  // nothing, so that the row loop may pass it over.
  virtual bool SkipsEmptyCells() const { return false; }
  // Rows and columns one output file can hold.
  virtual int32_t GridRowLimit() const { return INT32_MAX; }
  virtual int32_t GridColLimit() const { return INT32_MAX; }
  int32_t RecordCountLimit() const override;
  int32_t ColumnCountLimit() const override;

  void CreateDataEngine() override;
  void ReleaseDataEngine() override;

  // Every text the export would write (header and footer lines, titles,
  // band captions, constants, data texts), as 8-bit text of the system code
  // page or wide text. Leaves the engine at its first record.
  void ForEachOutputText(const std::function<void(const TVariant&)>& visit);

  TStream* Stream() const { return FStream; }
  bool Appending() const { return FAppending; }
  int32_t TitleRows() const { return FTitleRows; }
  int32_t FileIndex() const { return FFileIndex; }
  // The title rows an export with these settings has.
  int32_t ComputeTitleRows() const;

 private:
  void ExportBody(TStream* callerStream);
  void WriteTitleRows(TQXECustomDataEngine& engine, TQXEColumns& columns, bool mainLevel);
  void WriteDataRow(int32_t n, TQXECustomDataEngine& engine, TQXEColumns& columns, TQXEDataLevels& details);
  void WriteDataCell(TQXECustomDataEngine& engine, TQXEColumn& c, int32_t k, int32_t n, bool valueText);
  // Whether the main level's data rows visit stored cells only.
  bool VisitsStoredCells(TQXECustomDataEngine& engine);
  void WriteDetailLevels(TQXEDataLevels& levels);
  // Colour, type, style colouring, OnGetCellParams and character set of a
  // cell that is not a data value.
  void PrepareCell(std::string& text, TColor& color, TCellType& type, TAlignment& alignment, TQXEFont& font,
                   int64_t styleRow, bool applyStyle, int32_t column);
  void ConvertCharacterSet(std::string& text) const;
  bool IsVisible(const TQXEColumn& c) const { return c.Visible || HasOption(soExportInvisibleFields); }
  int32_t MaxVisibleWidth() const;
  // The width of each grid column in the columnar layout: detail rows share
  // the grid with the main rows, so a position takes the widest visible
  // column any level puts there.
  void WidenGridColumns(const TQXEColumns& columns, const TQXEDataLevels& details, std::vector<int32_t>& widths) const;
  // The finished file joins the list of files to commit.
  void FinishStream();
  // Drops the open file and every finished one: nothing appears.
  void DiscardFiles();
  void CommitFiles();
  void PrepareLevels(TQXEDataLevels& levels);
  void ReleaseLevels(TQXEDataLevels& levels);

  TStream* FStream = nullptr;
  std::unique_ptr<TFileStream> FOwnedStream;
  TFileStream* FFileStream = nullptr;  // FStream when it is a file
  std::vector<std::unique_ptr<TFileStream>> FFinished;
  bool FOwnFile = false;
  bool FFileOpen = false;
  bool FAppending = false;
  bool FBlockOpen = false;
  int32_t FTitleRows = 0;
  int32_t FLoopRecordCount = 0;
  int32_t FRowsSinceFlush = 0;
  int32_t FFileIndex = 0;
  int32_t FDataRow = 0;
  TQXEFont FWorkingFont;
  TQXECellValue FCell;
  bool FCellValueValid = false;
  bool FStoredOnly = false;
  std::vector<int32_t> FVisibleIndex;  // by position in Columns: k of a visible column, else -1
  std::vector<int32_t> FStored;        // scratch: positions of a record's cells
  std::string FCellText;               // scratch: a data cell's text
  const void* FTextKey = nullptr;      // the shared text block FCellText holds, converted
};

// EBCDIC form of 8-bit text (printable ASCII mapped, control bytes kept,
// everything from 127 upwards as 4B).
std::string AnsiToEbcdic(const std::string& text);
