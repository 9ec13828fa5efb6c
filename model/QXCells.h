#pragma once
// The workbook model: sheets of sparse, typed cells, and the reader base
// whose events every spreadsheet reader reports through.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Budgets.h"
#include "CancelToken.h"
#include "DocumentProperties.h"
#include "Exception.h"
#include "NumberFormats.h"
#include "Streams.h"
#include "Variant.h"

enum TQXICellType : uint8_t {
  ictUnknown, ictEmpty, ictString, ictInteger, ictDecimal,
  ictDateTime, ictBoolean, ictMemo, ictDate, ictTime
};
enum TAlignment : uint8_t { taLeftJustify, taRightJustify, taCenter };
enum TQXIRowStatus : uint8_t { rsNormal, rsDeleted, rsError };
using TQXIRowStatuses = uint8_t;  // bit set of TQXIRowStatus
constexpr TQXIRowStatuses RowStatusBit(TQXIRowStatus s) { return TQXIRowStatuses(1u << s); }
enum TQXIColumnNameKind : uint8_t { nkAlphabet, nkFieldName };

const char* CellTypeName(TQXICellType t);   // "ictDecimal"
const char* AlignmentName(TAlignment a);    // "taRightJustify"

struct TBIFFRecordHeader {
  uint16_t RecNo = 0;
  uint16_t RecLen = 0;
};
using TByteArray = std::vector<uint8_t>;

namespace qxcells_detail {
struct TTextA;
struct TTextW;
struct TTextCache;
struct TRowPage;
}  // namespace qxcells_detail

// One stored cell, 16 bytes. Numbers are held inline; a text is a shared,
// reference-counted block (copies and repeated texts share it). Value()
// rebuilds a variant.
class TQXICell {
 public:
  TQXICell() = default;
  TQXICell(const TQXICell& o) { Assign(o); }
  TQXICell& operator=(const TQXICell& o) { Assign(o); return *this; }
  TQXICell(TQXICell&& o) noexcept;
  TQXICell& operator=(TQXICell&& o) noexcept;
  ~TQXICell() { Reset(); }

  TVariant Value() const;
  void SetValue(const TVariant& v);
  void SetValue(TVariant&& v);
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment a) { FAlignment = a; }
  // The entry of the workbook's number formats (TSpreadSheet::Formats) the
  // cell is shown with; 0 is General.
  int32_t FormatIndex() const { return FFormatIndex; }
  void SetFormatIndex(int32_t f) { FFormatIndex = f; }
  TQXICellType CellType() const { return FCellType; }
  void SetCellType(TQXICellType t) { FCellType = t; }
  // Copies Value, Alignment, FormatIndex and CellType.
  void Assign(const TQXICell& source);

  // A number in a percent format. Readers of some formats publish such a
  // number × 100 (50 for a cell showing 50 %); the cell keeps the file's own
  // double so that a writer of a typed format can give it back bit for bit.
  // PercentScaled: Value() is StoredNumber() × 100. PercentFormatted: either
  // that or a percent number published as it stands (a formula result).
  bool PercentScaled() const { return FPercent == 1; }
  bool PercentFormatted() const { return FPercent != 0; }
  double StoredNumber() const { return FKind == TVarType::Float ? FDouble : NumberValue(); }
  // Makes a float cell a percent one; scaled: stored is the file's fraction.
  void SetPercent(double stored, bool scaled);

  bool Present() const { return FKind != TVarType::Empty; }
  // Cheap typed peeks for writers that don't want a variant per cell.
  TVarType ValueType() const { return FKind; }
  double NumberValue() const;                   // Integer/Float/DateTime/Boolean as double
  const std::string& StringValue() const;       // valid when ValueType() == String
  const std::u16string& WideValue() const;      // valid when ValueType() == WideString
  // The stored text block: cells that share a text (an entry of a
  // shared-string table, a text repeated down a column) answer the same
  // address while the sheet lives; nullptr for a cell without text.
  const void* TextIdentity() const {
    return FKind == TVarType::String ? static_cast<const void*>(FStr)
           : FKind == TVarType::WideString ? static_cast<const void*>(FWStr) : nullptr;
  }

 private:
  friend class TSpreadSheetCells;
  void Reset();
  void AdoptText(qxcells_detail::TTextA* node);
  void AdoptText(qxcells_detail::TTextW* node);
  union {
    double FDouble;
    int64_t FInt = 0;
    bool FBool;
    qxcells_detail::TTextA* FStr;
    qxcells_detail::TTextW* FWStr;
  };
  TVarType FKind = TVarType::Empty;
  TAlignment FAlignment = taLeftJustify;
  TQXICellType FCellType = ictUnknown;
  uint8_t FPercent = 0;  // 0: none, 1: scaled, 2: percent format, not scaled
  int32_t FFormatIndex = 0;
};
static_assert(sizeof(TQXICell) == 16, "a cell is 16 bytes");

// One stored copy of a text that many cells refer to (an entry of a
// shared-string table): a cell given it holds a reference, not a copy, so a
// table entry costs its memory once however many cells show it.
class TSharedText {
 public:
  TSharedText() = default;
  explicit TSharedText(std::string text);     // 8-bit, system code page
  explicit TSharedText(std::u16string text);  // wide
  TSharedText(const TSharedText& o);
  TSharedText& operator=(const TSharedText& o);
  TSharedText(TSharedText&& o) noexcept : FA(o.FA), FW(o.FW) { o.FA = nullptr; o.FW = nullptr; }
  TSharedText& operator=(TSharedText&& o) noexcept;
  ~TSharedText() { Reset(); }

  bool Wide() const { return FW != nullptr; }
  bool Empty() const;
  // The 8-bit text ("" for a wide one) and the wide text ("" for an 8-bit one).
  const std::string& Text() const;
  const std::u16string& WideText() const;
  TVariant Value() const;
  bool operator==(const std::string& text) const { return !Wide() && Text() == text; }

 private:
  friend class TSpreadSheetCells;
  void Reset();
  qxcells_detail::TTextA* FA = nullptr;
  qxcells_detail::TTextW* FW = nullptr;
};

// The cells of one row, by column; an absent cell is a slot that is not Present().
// A row whose cells are few and far apart is held sparsely, so a stray column
// number cannot make a row cost more than a few bytes per stored cell.
class TSpreadSheetCols {
 public:
  // Number of slots: one more than the highest column that has one.
  int32_t Count() const { return FSparseCells ? FSparseCount : int32_t(FCells.size()); }
  // nullptr for an index outside the list or an empty slot.
  const TQXICell* Cell(int32_t column) const {
    if (column < 0 || column >= Count()) return nullptr;
    const TQXICell* c = FSparseCells ? FindSparse(column) : &FCells[size_t(column)];
    return c && c->Present() ? c : nullptr;
  }
  TQXICell* Cell(int32_t column) {
    return const_cast<TQXICell*>(static_cast<const TSpreadSheetCols*>(this)->Cell(column));
  }
  // visit(column, cell) for every cell there is, in column order: the
  // stored cells only, however wide the row.
  template <class F>
  void ForEachCell(F&& visit) const {
    if (FSparseCells) {
      for (const auto& [column, cell] : *FSparseCells)
        if (column < FSparseCount && cell.Present()) visit(column, cell);
      return;
    }
    for (size_t k = 0; k < FCells.size(); ++k)
      if (FCells[k].Present()) visit(int32_t(k), FCells[k]);
  }
  // Grows the list with empty slots and returns the slot at column (valid
  // until the list changes). Raises for a negative column.
  TQXICell& Slot(int32_t column);
  void Clear();
  // Heap bytes the slots take (not the texts).
  int64_t Bytes() const;

 private:
  friend class TSpreadSheetCells;
  // Room for the width the previous row had, so a new row is allocated once.
  void Reserve(size_t count) {
    if (FCells.empty() && !FSparseCells) FCells.reserve(count);
  }
  const TQXICell* FindSparse(int32_t column) const;
  void MakeSparse();
  void MakeDense(int32_t count);
  std::vector<TQXICell> FCells;                                   // dense form: slot = column
  std::unique_ptr<std::map<int32_t, TQXICell>> FSparseCells;     // sparse form, by column
  int32_t FSparseCount = 0;
  int32_t FUsed = 0;  // slots handed out by Slot (bounds the dense size)
};

class TSpreadSheetRow {
 public:
  explicit TSpreadSheetRow(int32_t index) : FIndex(index), FRowNo(index) {}
  int32_t Index() const { return FIndex; }
  int32_t RowNo() const { return FRowNo; }
  TQXIRowStatus Status = rsNormal;
  bool Visible = true;
  TSpreadSheetCols Cells;

 private:
  int32_t FIndex;
  int32_t FRowNo;
};

// The bytes of cells one workbook may hold: every sheet of it charges what
// its rows, cell slots and texts take, and a charge that goes past the limit
// raises EBudgetExceeded (so does every later one), which ends the load.
class TCellMemoryBudget {
 public:
  int64_t Limit() const { return FLimit; }
  void SetLimit(int64_t bytes) { FLimit = bytes; }  // 0: no limit
  int64_t Used() const { return FUsed; }
  void Reset() {
    FUsed = 0;
    GiveBack();
  }
  void Charge(int64_t bytes) {
    FUsed += bytes;
    if (FLimit > 0 && FUsed > FLimit) Exceeded();
    if (FPool && FUsed > FTaken) TakeMore();
  }
  // What is charged is drawn from pool too, in steps of PoolStep (nullptr:
  // none); all of it goes back on Reset or when the pool changes.
  void SetPool(IMemoryPool* pool) {
    if (pool == FPool) return;
    GiveBack();
    FPool = pool;
  }
  static constexpr int64_t PoolStep = int64_t(1) << 20;
  TCellMemoryBudget() = default;
  TCellMemoryBudget(const TCellMemoryBudget&) = delete;
  TCellMemoryBudget& operator=(const TCellMemoryBudget&) = delete;
  ~TCellMemoryBudget() { GiveBack(); }

 private:
  [[noreturn]] void Exceeded() const;
  void TakeMore();
  void GiveBack() {
    if (FPool && FTaken > 0) FPool->Give(FTaken);
    FTaken = 0;
  }
  int64_t FLimit = 0;
  int64_t FUsed = 0;
  IMemoryPool* FPool = nullptr;
  int64_t FTaken = 0;  // drawn from the pool
};

// The rows and columns a file format can address. A reader passes a cell
// outside its grid to its error path instead of to the model: such an
// address is damage, and writers would otherwise be asked for the whole grid
// up to it.
struct TSheetGrid {
  int64_t Rows;
  int64_t Cols;
  const char* Name;  // "BIFF8", "Open XML"
  bool Contains(int64_t row, int64_t column) const { return row >= 0 && column >= 0 && row < Rows && column < Cols; }
  // "cell IV65537 lies outside the BIFF8 grid of 65,536 rows by 256 columns"
  std::string Outside(int64_t row, int64_t column) const;
};

class TSpreadSheetCells {
 public:
  // Cells at or beyond these are dropped (far past any spreadsheet program's
  // grid; protects against absurd addresses from corrupt files).
  static constexpr int32_t MaxRows = 1 << 24;
  static constexpr int32_t MaxCols = 1 << 16;

  TSpreadSheetCells();
  ~TSpreadSheetCells();
  TSpreadSheetCells(const TSpreadSheetCells&) = delete;
  TSpreadSheetCells& operator=(const TSpreadSheetCells&) = delete;

  int32_t DimColCount = 0;
  int32_t DimRowCount = 0;
  int32_t ColCount = 0;
  int32_t RowCount = 0;
  bool TrackExtent = true;

  // Number of row slots (rows are contiguous: the highest stored row + 1).
  int32_t Count() const { return FCount; }
  // Rows without cells read as empty rows (the const form hands out an
  // empty row of the calling thread for those, valid until that thread's
  // next call). Raises
  // "List index out of bounds (n)" outside 0 .. Count() - 1.
  TSpreadSheetRow& Row(int32_t index);
  const TSpreadSheetRow& Row(int32_t index) const;
  // The row's cells without creating anything; nullptr for a row in an
  // untouched stretch of the sheet (or outside it).
  const TSpreadSheetCols* RowCells(int32_t index) const;

  // Null and empty values and negative columns are ignored; a negative row
  // or an address at or beyond MaxRows/MaxCols raises EConvertError.
  void SetCell(int32_t column, int32_t row, TQXICellType cellType, int32_t formatIndex, TAlignment alignment,
               const TVariant& value);
  void SetCell(int32_t column, int32_t row, TQXICellType cellType, int32_t formatIndex, TAlignment alignment,
               TVariant&& value);
  // Stores a reference to the shared text (a default-constructed one stores nothing).
  // The text's memory is charged to the budget once, by the first cell.
  void SetSharedCell(int32_t column, int32_t row, TQXICellType cellType, int32_t formatIndex, TAlignment alignment,
                     const TSharedText& text);
  // Null when there is no cell; raises for a negative row.
  TVariant GetCellValue(int32_t column, int32_t row) const;
  // nullptr when there is no cell (any index).
  const TQXICell* GetCell(int32_t column, int32_t row) const;
  TQXICell* GetCell(int32_t column, int32_t row) {
    return const_cast<TQXICell*>(static_cast<const TSpreadSheetCells*>(this)->GetCell(column, row));
  }
  void DeleteRow(int32_t index);
  void Clear();
  // Not owned; the workbook's budget that storing charges (nullptr: none).
  void SetMemoryBudget(TCellMemoryBudget* budget) { FBudget = budget; }

 private:
  TQXICell* Store(int32_t column, int32_t row);
  TSpreadSheetRow* RowAt(int32_t index) const;          // nullptr when not created
  TSpreadSheetRow& Materialise(int32_t index);
  bool UseTextCache(size_t length);
  void StoreText(TQXICell& cell, const std::string& text);
  void StoreText(TQXICell& cell, const std::u16string& text);
  void Finish(TQXICell& cell, int32_t column, int32_t row, TQXICellType cellType, int32_t formatIndex,
              TAlignment alignment);
  // Rows in pages of fixed size, created when one of their rows is touched.
  std::vector<std::unique_ptr<qxcells_detail::TRowPage>> FPages;
  int32_t FCount = 0;
  int32_t FLastRow = -1;  // row that received the previous cell
  TSpreadSheetRow* FLast = nullptr;
  size_t FRowWidth = 0;   // slots the previous row ended with
  std::unique_ptr<qxcells_detail::TTextCache> FTextCache;
  size_t FTextsUncached = 0;
  TCellMemoryBudget* FBudget = nullptr;
};

class TSpreadSheets;

class TSpreadSheet {
 public:
  TSpreadSheetCells Cells;
  std::u16string Caption;
  // Each column's width in 1/256 of a character (the width of "0" in the
  // sheet's default font), whatever the reader's own unit; 0 where the file
  // gives none.
  std::vector<int32_t> ColumnWidths;
  // Columns the file hides (true); positions never reported are shown.
  std::vector<bool> HiddenColumns;
  // The width of a column without one of its own, 1/256 of a character,
  // where the file gives one other than the usual 8.43 characters (0: none).
  int32_t DefaultColumnWidth = 0;

  // The number formats cells' FormatIndex refers to: the workbook's when
  // the sheet belongs to one, else a table holding General alone.
  const TNumberFormats& Formats() const;
  // The workbook's document properties (none for a sheet of no workbook).
  const TDocumentProperties& DocumentProperties() const;
  bool ColumnHidden(int32_t column) const {
    return column >= 0 && size_t(column) < HiddenColumns.size() && HiddenColumns[size_t(column)];
  }

  // Expires when the sheet is destroyed, so a borrower (a data engine) can
  // tell that its sheet is gone instead of dangling.
  std::weak_ptr<const void> AliveToken() const { return FAlive; }

 private:
  friend class TSpreadSheets;
  std::shared_ptr<const char> FAlive = std::make_shared<const char>('\0');
  const TSpreadSheets* FBook = nullptr;  // the workbook the sheet belongs to
};

class TSpreadSheets {
 public:
  // GetSheet refuses an index at or beyond this (a corrupt sheet number must
  // not create millions of sheets).
  static constexpr int32_t MaxSheets = 1 << 16;

  TSpreadSheets() = default;
  // Sheets point at the budget held here.
  TSpreadSheets(const TSpreadSheets&) = delete;
  TSpreadSheets& operator=(const TSpreadSheets&) = delete;

  int32_t Count() const { return int32_t(FSheets.size()); }
  int32_t AddSheet();
  // Negative means 0, missing sheets up to index are created; raises only
  // for an index at or beyond MaxSheets.
  TSpreadSheet& GetSheet(int32_t index);
  TSpreadSheet& operator[](int32_t index) { return *FSheets.at(size_t(index)); }
  const TSpreadSheet& operator[](int32_t index) const { return *FSheets.at(size_t(index)); }
  void DeleteSheet(int32_t index);
  // Frees every sheet; the memory budget starts again from nothing.
  void Clear();
  // What the cells of all sheets may take together (0: no limit).
  void SetMemoryLimit(int64_t bytes) { FBudget.SetLimit(bytes); }
  void SetMemoryPool(IMemoryPool* pool) { FBudget.SetPool(pool); }
  const TCellMemoryBudget& MemoryBudget() const { return FBudget; }

  // The workbook's number formats and document properties; Clear empties
  // them too.
  TNumberFormats Formats;
  TDocumentProperties Properties;

 private:
  std::vector<std::unique_ptr<TSpreadSheet>> FSheets;
  TCellMemoryBudget FBudget;
};

class TQXRange {
 public:
  int32_t FirstRow = 1;
  int32_t LastRow = 2147483647;
  int32_t FirstCol = 1;
  int32_t LastCol = 2147483647;
  void Assign(const TQXRange& o) { *this = o; }
};

class TCustomSpreadSheetFile;

using TColumnWidthEvent = std::function<void(TCustomSpreadSheetFile* Sender, int32_t SheetNo, int32_t ColumnNo, int32_t Width)>;
using TRowHeightEvent = std::function<void(TCustomSpreadSheetFile* Sender, int32_t SheetNo, int32_t RowNo, int32_t Height)>;
using TDimensionsEvent = std::function<void(TCustomSpreadSheetFile* Sender, int32_t SheetNo, int32_t FirstRow,
                                            int32_t LastRow, int32_t FirstColumn, int32_t LastColumn)>;
using TCellValueEvent = std::function<void(TCustomSpreadSheetFile* Sender, int32_t SheetNo, int32_t Row, int32_t Column,
                                           int32_t FormatIndex, TVariant& Value, TAlignment Alignment,
                                           TQXICellType CellType)>;
using TGetCellValueEvent = std::function<void(TCustomSpreadSheetFile* Sender, int32_t SheetNo, int32_t Row,
                                              int32_t Column, TVariant& Value)>;
using TSheetEvent = std::function<void(TCustomSpreadSheetFile* Sender, const std::u16string& Caption, int32_t Index,
                                       bool& Skip)>;
using TRecordEvent = std::function<void(TCustomSpreadSheetFile* Sender, const TBIFFRecordHeader& Header, TByteArray& Data)>;
using TRecordStatusChangedEvent = std::function<void(TCustomSpreadSheetFile* Sender, int32_t SheetNo,
                                                     TSpreadSheetRow* ARow, TQXIRowStatus AStatus)>;
using TErrorProcessEvent = std::function<void(TCustomSpreadSheetFile* Sender, const std::exception& Error, bool& Abort)>;
using TLoadProgressEvent = std::function<void(TCustomSpreadSheetFile* Sender, int64_t Position, int64_t TotalSize)>;
using TPasswordEvent = std::function<void(TCustomSpreadSheetFile* Sender, std::string& APassword, bool& Continue)>;

class TCustomSpreadSheetFile {
 public:
  TCustomSpreadSheetFile();
  virtual ~TCustomSpreadSheetFile();
  TCustomSpreadSheetFile(const TCustomSpreadSheetFile&) = delete;
  TCustomSpreadSheetFile& operator=(const TCustomSpreadSheetFile&) = delete;

  // Published
  std::string FileName;
  bool LoadNULLs = false;
  TColumnWidthEvent OnColumnWidth;
  TRowHeightEvent OnRowHeight;
  TDimensionsEvent OnDimensions;
  TCellValueEvent OnCellValue;
  TGetCellValueEvent OnGetCellValue;
  TSheetEvent OnSheet;
  TRecordEvent OnRecord;
  TRecordStatusChangedEvent OnRecordStatusChanged;
  TErrorProcessEvent OnErrorProcess;

  int32_t SelectedSheet = -1;
  TQXRange Range;
  // Not owned: the run's stop, polled between cells and records (nullptr:
  // the load is never stopped). A stop ends the load with EOperationCanceled.
  const TCancelToken* CancelToken = nullptr;
  // Not owned: the file LoadFromFile reads, opened already by the caller
  // (nullptr: LoadFromFile opens it), so that a file is opened once.
  TStream* OpenedFile = nullptr;

  // A protected file is opened with the password its format uses when none
  // was given, else with Password, else with each password OnPassword gives
  // (APassword comes preset with the last one tried, Password at first)
  // until it clears Continue. Without a handler a non-empty Password is
  // tried alone. Passwords are UTF-8 text.
  std::string Password;
  TPasswordEvent OnPassword;

  virtual bool PasswordProtected() { return false; }
  // The last load opened a protected file with a password the caller gave.
  bool OpenedWithPassword() const { return FOpenedWithPassword; }
  virtual void ResetData() {
    FPasswordsGiven = false;
    FOpenedWithPassword = false;
  }
  virtual void LoadFromStream(TStream& stream);
  // The name is 8-bit text in the system code page. Raises
  // EQXIFileException for an empty name or a missing file.
  virtual void LoadFromFile(const std::string& fileName);
  virtual void ParseStream(TStream& stream);
  virtual void LoadFromBlobStream(TStream& stream);

  // Offers an error met in one record or cell to OnErrorProcess; true when
  // the handler lets the load go on without it. Without a handler the load
  // ends (the published default). A stop, a budget, a cut-short file, an
  // encryption and running out of memory always end it.
  bool ContinueAfterError(const std::exception& error);
  // Tells OnErrorProcess of something the reader mended on its own (Abort
  // starts false); raises EQXIFileFormatException with the text when the
  // handler refuses to go on.
  void Warn(const std::string& text);

 protected:
  // The file LoadFromFile reads, from its start: OpenedFile, or the file
  // of FileName opened here and held by holder.
  TStream& SourceFile(std::unique_ptr<TStream>& holder, uint32_t mode = fmOpenRead | fmShareDenyWrite);
  // Tries the format's default passwords, then those the caller gives,
  // until opens answers true; false when none did.
  bool TryPasswords(std::initializer_list<const char*> defaults,
                    const std::function<bool(const std::string& password)>& opens);
  // "The file is password-protected (RC4); this program cannot open
  // protected files." ("...; the passwords given do not open it." when the
  // last TryPasswords was given any.) The caller that knows the file puts
  // its name in.
  std::string ProtectedFileMessage(const std::string& scheme) const;
  bool FPasswordsGiven = false;
  bool FOpenedWithPassword = false;

  // Set by a reader while it reports a number in a percent format: the
  // file's double and whether the reported value is it × 100. The model
  // keeps the file's double beside the flag (when the handler did not change
  // the value); the event itself stays as it is.
  struct TPercentNote {
    bool Active = false;
    bool Scaled = false;
    double Stored = 0;
  };
  TPercentNote FPercentNote;
  class TPercentScope {
   public:
    TPercentScope(TCustomSpreadSheetFile& file, double stored, bool scaled) : FFile(file) {
      file.FPercentNote = {true, scaled, stored};
    }
    ~TPercentScope() { FFile.FPercentNote.Active = false; }
    TPercentScope(const TPercentScope&) = delete;
    TPercentScope& operator=(const TPercentScope&) = delete;

   private:
    TCustomSpreadSheetFile& FFile;
  };
};

class TSpreadSheetFile : public TCustomSpreadSheetFile {
 public:
  TSpreadSheetFile();
  ~TSpreadSheetFile() override;

  // Published
  TQXIColumnNameKind NameKind = nkAlphabet;
  TQXIRowStatuses LoadRowStatutes = RowStatusBit(rsNormal);
  TLoadProgressEvent OnLoadProgress;
  bool ParseBLOB = true;

  TSpreadSheets Sheets;
  // Bytes of cells one load may hold (0: no limit); past it the load ends
  // with EBudgetExceeded, which says the workbook is too large for the budget.
  int64_t MaxCellMemory = DefaultWorkbookMemoryBudget();
  // Shared by the loads running at once (not owned; nullptr: none).
  IMemoryPool* CellMemoryPool = nullptr;
  // Bytes the parts of a zip package may inflate to together, for the
  // readers of packages (0: 4 GiB, or 1,000 times the package when larger).
  int64_t MaxInflatedBytes = 0;

  // Clears the sheets and installs the model's five handlers.
  void ResetData() override;
  virtual int32_t ColumnIndexByName(const std::string& name);
  // (name, associated integer) pairs.
  virtual void GetColumnNames(std::vector<std::pair<std::string, int32_t>>& list, const std::string& fieldNames);

  // A cell whose text is a shared-string entry: with the model's own cell
  // handler in place the cell refers to the entry; any other OnCellValue
  // gets the text as a variant, as for every other cell.
  void DeliverSharedText(int32_t sheetNo, int32_t row, int32_t column, int32_t formatIndex, TAlignment alignment,
                         TQXICellType cellType, const TSharedText& text);

  // A column the file hides, kept with the sheet (a reported width stays).
  void HideColumn(int32_t sheetNo, int32_t column);
  // The sheet's default column width, 1/256 of a character; baseCharacters
  // (the width of "0" count without the cell's margin) when the file gives
  // that: a base of 8 is the usual default and sets nothing.
  void SetDefaultColumnWidth(int32_t sheetNo, int32_t width256);
  void SetDefaultColumnBase(int32_t sheetNo, int32_t baseCharacters);
  // A default width counted in characters, as the Lotus family keeps it
  // (1 to 255; anything else sets nothing).
  void SetDefaultColumnCharacters(int32_t sheetNo, int32_t characters);
  // The program's own default, for the sheets whose file gave none.
  void SetDefaultColumnCharactersWhereUnset(int32_t characters);
  // A physical width as 1/256 of a character: the default font's "0" is
  // 7 pixels at 96 dpi, 105 twips, the width the Excel formats measure in.
  static int32_t ColumnWidthFromTwips(double twips) {
    return int32_t(std::clamp(twips / 105, 0.0, 255.0) * 256 + 0.5);
  }

  // Readers report progress between records, so a stop is noticed here too.
  void DoLoadProgress(int64_t position, int64_t totalSize) {
    PollCancel(CancelToken);
    if (OnLoadProgress) OnLoadProgress(this, position, totalSize);
  }
  // At every record or row of a reader's loop: polls the stop, and is true
  // at every LoadProgressStep-th call, when the loop reports through
  // DoLoadProgress; so a loop tells its progress at no cost per cell. A
  // reader reports the whole once its loop is over.
  static constexpr uint32_t LoadProgressStep = 4096;
  bool LoadProgressDue() {
    PollCancel(CancelToken);
    return ++FLoadSteps % LoadProgressStep == 0;
  }

 protected:
  // The model's handlers.
  void DimensionsHandler(int32_t sheetNo, int32_t firstRow, int32_t lastRow, int32_t firstColumn, int32_t lastColumn);
  void CellHandler(int32_t sheetNo, int32_t row, int32_t column, int32_t formatIndex, TVariant& value,
                   TAlignment alignment, TQXICellType cellType);
  // What ResetData installs as OnCellValue, so DeliverSharedText can tell it.
  struct TModelCellHandler {
    TSpreadSheetFile* Self;
    void operator()(TCustomSpreadSheetFile*, int32_t sheetNo, int32_t row, int32_t column, int32_t formatIndex,
                    TVariant& value, TAlignment alignment, TQXICellType cellType) const {
      Self->CellHandler(sheetNo, row, column, formatIndex, value, alignment, cellType);
    }
  };
  void GetCellValueHandler(int32_t sheetNo, int32_t row, int32_t column, TVariant& value);

  // How every reader publishes a number the file shows in format (an entry
  // of Sheets.Formats): a format that shows a date or a time makes it a
  // date-time (the number + dateBase); in a percent format a decimal is
  // published × 100 when scalePercent (the model keeps the file's number
  // beside it) and as it stands otherwise; anything else stays as given,
  // of type numberType. report(value, cellType) delivers it.
  template <class Report>
  void PublishNumber(int32_t format, const TVariant& number, TQXICellType numberType, double dateBase,
                     bool scalePercent, Report&& report) {
    const TNumberFormatKind kind = Sheets.Formats.Kind(format);
    if (IsDateTimeKind(kind)) {
      report(TVariant::DateTime(number.ToDouble() + dateBase), ictDateTime);
    } else if (kind == nfPercent && number.Type() == TVarType::Float) {
      const double v = number.AsFloat();
      TPercentScope percent(*this, v, scalePercent);
      report(TVariant(scalePercent ? v * 100 : v), ictDecimal);
    } else {
      report(TVariant(number), numberType);
    }
  }
  void SheetHandler(const std::u16string& caption, int32_t index, bool& skip);
  void ColumnWidthHandler(int32_t sheetNo, int32_t columnNo, int32_t width);

 private:
  uint32_t FLoadSteps = 0;
};

// Column letters: 1 -> "A", 27 -> "AA".
std::string ColumnNumberToLetters(int32_t n);
// "AB" -> 27 (0-based) or -1 when not a column within columnCount.
int32_t ColumnLettersToIndex(const std::string& name, int32_t columnCount);
void FillColumnNameList(std::vector<std::pair<std::string, int32_t>>& list, const std::string& fieldNames,
                        int32_t columnCount);
