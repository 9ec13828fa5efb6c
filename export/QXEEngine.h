#pragma once
// The column model of the export family and the abstract data engine through
// which every export component sees its rows.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QXCells.h"
#include "Variant.h"

// Colours in the 32-bit form of the old runtime: low three bytes red, green,
// blue; a value with the high bit set names a system colour.
using TColor = int32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clSilver = 0xC0C0C0;  // 12632256
inline constexpr TColor clWindowText = int32_t(0x80000008);
inline constexpr TColor clWindow = int32_t(0x80000005);
inline constexpr TColor cl3DLight = int32_t(0x80000016);
// An RGB colour from its parts.
constexpr TColor RGBColor(int r, int g, int b) { return TColor(r | (g << 8) | (b << 16)); }

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = uint8_t;  // bit set of TFontStyle

struct TQXEFont {
  std::string Name = "MS Sans Serif";
  int32_t Size = 8;  // points
  TColor Color = clWindowText;
  TFontStyles Style = 0;
  uint8_t Charset = 1;  // DEFAULT_CHARSET
  bool operator==(const TQXEFont&) const = default;
};

enum TCellType : uint8_t {
  ctBlank, ctInteger, ctDouble, ctString, ctDateTime, ctDate, ctCurrency, ctTime, ctMEMO, ctGraphic, ctBoolean
};
// Types whose value a writer can take from the cell itself (numbers,
// date-times, booleans and blanks); the others are written as text.
constexpr bool IsValueCellType(TCellType t) {
  return t == ctBlank || t == ctInteger || t == ctDouble || t == ctDateTime || t == ctDate || t == ctCurrency ||
         t == ctTime || t == ctBoolean;
}
enum TQXEColumnKind : uint8_t { ckField, ckConstant, ckSysVar };

// Field types of the data-access layer, by their stored numbers.
enum TFieldType : int32_t {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD, ftDate, ftTime,
  ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle,
  ftTypedBinary, ftCursor, ftFixedChar, ftWideString, ftLargeint
};

// A data-source field, for engines over datasets. No engine of this program
// has one; writers and FieldToText accept them all the same.
class TQXEField {
 public:
  virtual ~TQXEField() = default;
  virtual TFieldType DataType() const = 0;
  virtual TVariant Value() const = 0;
  virtual std::string Text() const = 0;
  virtual std::string DisplayText() const { return Text(); }
  bool IsNull() const { return Value().IsEmptyOrNull(); }
};

// The cell type a value of a data-source field type gets; a zero (or empty)
// number or date becomes ctBlank when blankIfZero is set.
TCellType CellTypeOfValue(TFieldType fieldType, bool blankIfZero, const TVariant& value);

class TQXECustomBaseComponent;

struct TQXEColumnTitle {
  std::string Caption;
  TAlignment Alignment = taLeftJustify;
  TQXEFont Font;
  TColor Color = clSilver;
};

class TQXEColumn {
 public:
  TAlignment Alignment = taLeftJustify;
  TColor Color = clWhite;
  std::string FieldName;
  TQXEFont Font;
  int32_t Width = 0;  // characters
  int32_t Precision = 0;
  bool Visible = true;
  TQXEColumnTitle Title;
  TCellType DataType = ctString;
  TQXEColumnKind ColumnKind = ckField;
  int32_t BandIndex = -1;

  // The data-source field found for this column (cached per export).
  TQXEField* FieldObject = nullptr;
  bool FieldObjectLooked = false;
  // What an engine knows of the source column: its width in 1/256 of a
  // character (0: none given; -1: the engine knows no source) and whether
  // the source hides it (the column is exported all the same; workbook
  // writers keep it hidden).
  int32_t SourceWidth = -1;
  bool SourceHidden = false;

  // Copies every published property (not the field cache).
  void Assign(const TQXEColumn& source);
};

struct TQXEColumnBand {
  TAlignment Alignment = taCenter;
  std::string Caption;
  bool Visible = true;
  TQXEFont Font;
  TColor Color = clSilver;
  void Assign(const TQXEColumnBand& source) { *this = source; }
};

struct TQXEGrouping {
  std::string Caption;
  TQXEFont Font;
  TColor Color = clSilver;
  std::string Expression;
  void Assign(const TQXEGrouping& source) { *this = source; }
};

// An owning collection that remembers the component it belongs to.
template <class T>
class TQXECollection {
 public:
  explicit TQXECollection(TQXECustomBaseComponent* owner = nullptr) : FOwner(owner) {}
  TQXECollection(const TQXECollection&) = delete;
  TQXECollection& operator=(const TQXECollection&) = delete;

  TQXECustomBaseComponent* Owner() const { return FOwner; }
  int32_t Count() const { return int32_t(FItems.size()); }
  bool Empty() const { return FItems.empty(); }
  T* Add() {
    FItems.push_back(std::make_unique<T>());
    return FItems.back().get();
  }
  // Raises for an index outside the collection.
  T* Items(int32_t index) const;
  T* operator[](int32_t index) const { return Items(index); }
  void Delete(int32_t index);
  void Clear() { FItems.clear(); }
  // Same items, copied.
  void Assign(const TQXECollection& source) {
    if (&source == this) return;
    FItems.clear();
    for (const auto& item : source.FItems) Add()->Assign(*item);
  }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  TQXECustomBaseComponent* FOwner;
  std::vector<std::unique_ptr<T>> FItems;
};

class TQXEColumns : public TQXECollection<TQXEColumn> {
 public:
  using TQXECollection::TQXECollection;
  void ClearFieldObjects();
  // Visible columns of band bandIndex in a row from start on; 0 when start is
  // past the last column.
  int32_t VisibleBandColumns(int32_t bandIndex, int32_t start) const;
};
using TQXEColumnBands = TQXECollection<TQXEColumnBand>;
using TQXEGroupings = TQXECollection<TQXEGrouping>;

enum TQXEMeasure : uint8_t { emPoint, emInch, emCentimeters, emPicas };
enum TQXEOrientation : uint8_t { emDefault, emPortrait, emLandscape };

struct TQXEPageSetup {
  TQXEMeasure Measure = emPoint;
  bool UseDefault = true;
  float TopMargin = 0, BottomMargin = 0, LeftMargin = 0, RightMargin = 0;
  int32_t Zoom = 100;
  int32_t FitToPagesWide = 1;
  int32_t FitToPagesTall = 1;
  float TableWidth = 0;
  TQXEOrientation Orientation = emDefault;
  void Assign(const TQXEPageSetup& source) { *this = source; }
};

// One data cell as an engine gives it to a writer: the value with its own
// type, and (for engines that know better than the type) the built-in
// number format to show it with.
struct TQXECellValue {
  TVariant Value;
  TCellType CellType = ctString;
  int32_t NumberFormat = -1;  // Excel built-in format index; -1: the writer's choice for the type
  // The number format the source shows the cell with, in Excel's
  // format-code language (UTF-8), and the Excel built-in id the source
  // referred to (-1: a code of its own); empty: the writer's choice.
  std::string_view FormatCode;
  int32_t BuiltInFormat = -1;
  // A text value that is an error code ("#N/A", "#DIV/0!").
  bool Error = false;
  // The stored text block of a text value: cells showing one shared text
  // give one address (nullptr: none known).
  const void* TextKey = nullptr;
  // A number shown as a percentage. Value stays what readers publish (for
  // some formats the file's number × 100, which text outputs show); a typed
  // writer writes Fraction, the file's own number, with NumberFormat.
  bool PercentFraction = false;
  double Fraction = 0;
  // The text the engine shows the cell with (HasText), 8-bit text of the
  // system code page; otherwise the writer makes one from Value.
  bool HasText = false;
  std::string Text;
  // The stored text block Value (and Text) were last made from. Repeated:
  // this cell shows the same block as the one before, and Value and Text
  // were left as they were rather than copied again (a 1 MB shared string
  // in 12,000 cells is copied once, not 12,000 times).
  const void* ValueKey = nullptr;
  int32_t TextFormatIndex = -1;
  bool Repeated = false;
};

class TQXECustomDataEngine {
 public:
  TQXECustomDataEngine() = default;
  virtual ~TQXECustomDataEngine() = default;
  TQXECustomDataEngine(const TQXECustomDataEngine&) = delete;
  TQXECustomDataEngine& operator=(const TQXECustomDataEngine&) = delete;

  std::function<void(TQXECustomDataEngine* Sender)> OnFirst;
  std::function<void(TQXECustomDataEngine* Sender, bool& Abort)> OnNext;
  std::function<void(TQXECustomDataEngine* Sender, int32_t& Count)> OnCount;
  std::function<void(TQXECustomDataEngine* Sender)> OnBeforeExecute;
  std::function<void(TQXECustomDataEngine* Sender)> OnAfterExecute;
  std::function<void(TQXEColumns* Sender)> OnFillColumns;
  std::function<void(TQXECustomDataEngine* Sender, TQXEColumn* Column, TVariant& Value)> OnGetValue;

  // Set by the export component.
  bool SelectedOnly = false;
  bool IsDetail = false;
  bool Abort = false;
  // The writer's grid: padding a source declares beyond the rows and columns
  // that hold data is cut to these, so a declared size never makes work
  // (the component sets them before it asks for counts and columns).
  int32_t MaxRecordCount = INT32_MAX;
  int32_t MaxColumnCount = INT32_MAX;

  virtual int32_t SelectedCount() { return 0; }
  virtual void EnableControls() {}
  virtual void DisableControls() {}
  virtual void BeforeExecute();
  virtual void AfterExecute();
  // Empties both collections, then OnFillColumns.
  virtual void FillColumns(TQXEColumns& columns, TQXEColumnBands& bands, bool rightToLeft);
  virtual bool UseFieldObjects() { return true; }
  virtual bool Eof() { return true; }
  virtual void First();
  virtual void Next();
  virtual void GetValue(TQXEColumn& column, TVariant& value);
  // Per-cell colour, font and alignment; the caller's values stand by default.
  virtual void GetCellParams(int32_t row, int32_t column, TColor& color, TQXEFont& font, TAlignment& alignment);
  virtual int32_t GetRecordCount();
  virtual TFieldType GetCellType(const TQXEColumn& column);
  virtual int32_t SelectedBookmarkCount() { return 0; }
  virtual int32_t CurrentBookmark() { return 0; }
  virtual TQXEField* FindFieldObject(const TQXEColumn&) { return nullptr; }

  // The typed path: the value of column in the current row and its cell
  // type. The base asks GetValue and types the value by the column's field
  // type; engines that know each cell's own type override it.
  virtual void GetCellValue(TQXEColumn& column, bool blankIfZero, TQXECellValue& cell);
  // The positions in columns of the cells the current record holds, in
  // ascending order (a writer that writes nothing for an empty cell need
  // visit no others); false when the engine cannot tell, and every column
  // is to be visited.
  virtual bool StoredColumns(const TQXEColumns& /*columns*/, std::vector<int32_t>& /*positions*/) { return false; }
  // Calls visit with every text value of the given columns in every record
  // (in any order), for writers that must know their texts before they
  // write (code page choice). Moves the engine; call First afterwards.
  // stop is polled now and then; true ends the walk.
  virtual void ForEachText(const std::vector<TQXEColumn*>& columns, const std::function<void(const TVariant&)>& visit,
                           const std::function<bool()>& stop);
  // Calls visit with every number format (code, built-in id) the cells of
  // the given columns will carry, each once, for writers that declare their
  // formats before any cell. The base knows none.
  virtual void ForEachFormatCode(const std::vector<TQXEColumn*>& /*columns*/,
                                 const std::function<void(std::string_view code, int32_t builtIn)>& /*visit*/) {}

  // Expires when the engine is destroyed, so a component that borrows it
  // can tell.
  std::weak_ptr<const void> AliveToken() const { return FAlive; }

 private:
  std::shared_ptr<const char> FAlive = std::make_shared<const char>('\0');
};
