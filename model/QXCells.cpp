#include "QXCells.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string_view>

#include "CodePage.h"
#include "FileSystem.h"
#include "QXIUtils.h"
#include "SysUtils.h"

namespace qxcells_detail {

// Cells share text blocks; the count is atomic so that two threads reading
// one sheet may copy its cells.
struct TTextA {
  explicit TTextA(std::string t) : Text(std::move(t)) {}
  std::atomic<uint32_t> Refs{1};
  std::atomic<bool> Charged{false};  // a shared text's memory is in the budget
  std::string Text;
};
struct TTextW {
  explicit TTextW(std::u16string t) : Text(std::move(t)) {}
  std::atomic<uint32_t> Refs{1};
  std::atomic<bool> Charged{false};
  std::u16string Text;
};

template <class T>
inline T* Retain(T* node) {
  node->Refs.fetch_add(1, std::memory_order_relaxed);
  return node;
}
template <class T>
inline void Release(T* node) {
  if (node->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete node;
}

// Recently stored short texts of one sheet, so a text repeated down a column
// is held once. Direct-mapped: a miss only costs one block of its own.
struct TTextCache {
  static constexpr size_t Slots = 4096;
  static constexpr size_t MaxLength = 64;  // longer texts are rarely repeated
  template <class Node>
  struct TSlot {
    Node* Text = nullptr;
    size_t Hash = 0;  // compared first, so a miss does not touch the cold block
  };
  std::array<TSlot<TTextA>, Slots> A{};
  std::array<TSlot<TTextW>, Slots> W{};
  std::array<size_t, Slots> Seen{};  // hashes of texts met once, narrow and wide alike

  ~TTextCache() {
    for (auto& s : A)
      if (s.Text) Release(s.Text);
    for (auto& s : W)
      if (s.Text) Release(s.Text);
  }

  // created tells whether a new block was made (and so takes memory).
  template <class Node, class Str>
  Node* Lookup(std::array<TSlot<Node>, Slots>& table, const Str& text, bool& created) {
    using View = std::basic_string_view<typename Str::value_type>;
    const size_t hash = std::hash<View>{}(View(text));
    TSlot<Node>& slot = table[hash & (Slots - 1)];
    created = false;
    if (slot.Text && slot.Hash == hash && slot.Text->Text == text) return Retain(slot.Text);
    created = true;
    auto* node = new Node(Str(text));
    // Only a text seen before takes the slot: evicting means touching the
    // old block, which unique texts would do on every cell.
    size_t& seen = Seen[hash & (Slots - 1)];
    if (seen != hash) {
      seen = hash;
      return node;
    }
    if (slot.Text) Release(slot.Text);
    slot.Text = Retain(node);
    slot.Hash = hash;
    return node;
  }
};

// Rows live by value in pages, so a row costs no allocation of its own and
// an untouched stretch of a sheet costs nothing.
constexpr int32_t RowPageBits = 10;
constexpr int32_t RowPageSize = 1 << RowPageBits;
struct TRowPage {
  explicit TRowPage(int32_t base) {
    Rows.reserve(RowPageSize);
    for (int32_t i = 0; i < RowPageSize; ++i) Rows.emplace_back(base + i);
  }
  std::vector<TSpreadSheetRow> Rows;
};

}  // namespace qxcells_detail

using namespace qxcells_detail;

namespace {

[[noreturn]] void ListIndexError(int64_t index) {
  throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

// What a text block of n characters takes on the heap (short strings live
// inside the block).
template <class Node>
int64_t TextBytes(size_t n) {
  using Char = typename decltype(Node::Text)::value_type;
  const size_t inline_ = 15 / sizeof(Char);
  return int64_t(sizeof(Node) + (n > inline_ ? (n + 1) * sizeof(Char) : 0));
}

// A map node of the sparse row form: the tree links around key and cell.
constexpr int64_t SparseNodeBytes = int64_t(sizeof(TQXICell)) + 48;
constexpr int64_t RowPageBytes = int64_t(sizeof(TRowPage) + RowPageSize * sizeof(TSpreadSheetRow));

const std::string EmptyA;
const std::u16string EmptyW;

}  // namespace

const char* CellTypeName(TQXICellType t) {
  static const char* const names[] = {"ictUnknown", "ictEmpty", "ictString", "ictInteger", "ictDecimal",
                                      "ictDateTime", "ictBoolean", "ictMemo",  "ictDate",    "ictTime"};
  return size_t(t) < std::size(names) ? names[t] : "";
}

const char* AlignmentName(TAlignment a) {
  static const char* const names[] = {"taLeftJustify", "taRightJustify", "taCenter"};
  return size_t(a) < std::size(names) ? names[a] : "";
}

// ---------------------------------------------------------------- TQXICell

TQXICell::TQXICell(TQXICell&& o) noexcept
    : FInt(o.FInt), FKind(o.FKind), FAlignment(o.FAlignment), FCellType(o.FCellType), FPercent(o.FPercent),
      FFormatIndex(o.FFormatIndex) {
  o.FKind = TVarType::Empty;
}

TQXICell& TQXICell::operator=(TQXICell&& o) noexcept {
  if (this != &o) {
    Reset();
    FInt = o.FInt;
    FKind = o.FKind;
    FAlignment = o.FAlignment;
    FCellType = o.FCellType;
    FPercent = o.FPercent;
    FFormatIndex = o.FFormatIndex;
    o.FKind = TVarType::Empty;
  }
  return *this;
}

void TQXICell::Reset() {
  if (FKind == TVarType::String)
    Release(FStr);
  else if (FKind == TVarType::WideString)
    Release(FWStr);
  FKind = TVarType::Empty;
  FPercent = 0;
}

void TQXICell::AdoptText(TTextA* node) {
  Reset();
  FStr = node;
  FKind = TVarType::String;
}

void TQXICell::AdoptText(TTextW* node) {
  Reset();
  FWStr = node;
  FKind = TVarType::WideString;
}

void TQXICell::Assign(const TQXICell& source) {
  if (this == &source) return;
  Reset();
  switch (source.FKind) {
    case TVarType::String: FStr = Retain(source.FStr); break;
    case TVarType::WideString: FWStr = Retain(source.FWStr); break;
    case TVarType::Empty:
    case TVarType::Null: break;
    default: FInt = source.FInt; break;
  }
  FKind = source.FKind;
  FPercent = source.FPercent;
  FAlignment = source.FAlignment;
  FFormatIndex = source.FFormatIndex;
  FCellType = source.FCellType;
}

void TQXICell::SetPercent(double stored, bool scaled) {
  if (FKind != TVarType::Float) return;
  FDouble = stored;
  FPercent = scaled ? 1 : 2;
}

TVariant TQXICell::Value() const {
  switch (FKind) {
    case TVarType::Null: return TVariant::Null();
    case TVarType::String: return TVariant(FStr->Text);
    case TVarType::WideString: return TVariant(FWStr->Text);
    case TVarType::Integer: return TVariant(FInt);
    case TVarType::Float: return TVariant(NumberValue());
    case TVarType::DateTime: return TVariant::DateTime(FDouble);
    case TVarType::Boolean: return TVariant(FBool);
    case TVarType::Empty: break;
  }
  return TVariant();
}

void TQXICell::SetValue(const TVariant& v) {
  switch (v.Type()) {
    case TVarType::String: AdoptText(new TTextA(v.AsString())); return;
    case TVarType::WideString: AdoptText(new TTextW(v.AsWide())); return;
    default: break;
  }
  Reset();
  switch (v.Type()) {
    case TVarType::Integer: FInt = v.AsInteger(); break;
    case TVarType::Float: FDouble = v.AsFloat(); break;
    case TVarType::DateTime: FDouble = v.AsDateTime(); break;
    case TVarType::Boolean: FBool = v.AsBoolean(); break;
    default: break;
  }
  FKind = v.Type();
}

void TQXICell::SetValue(TVariant&& v) {
  switch (v.Type()) {
    case TVarType::String: AdoptText(new TTextA(std::move(const_cast<std::string&>(v.AsString())))); return;
    case TVarType::WideString: AdoptText(new TTextW(std::move(const_cast<std::u16string&>(v.AsWide())))); return;
    default: SetValue(static_cast<const TVariant&>(v));
  }
}

double TQXICell::NumberValue() const {
  switch (FKind) {
    case TVarType::Integer: return double(FInt);
    // The readers' own expression, so the published bits are theirs.
    case TVarType::Float: return FPercent == 1 ? FDouble * 100 : FDouble;
    case TVarType::DateTime: return FDouble;
    case TVarType::Boolean: return FBool ? 1.0 : 0.0;
    default: return 0.0;
  }
}

const std::string& TQXICell::StringValue() const { return FKind == TVarType::String ? FStr->Text : EmptyA; }

const std::u16string& TQXICell::WideValue() const {
  return FKind == TVarType::WideString ? FWStr->Text : EmptyW;
}

// ------------------------------------------------------------- TSharedText

TSharedText::TSharedText(std::string text) : FA(new TTextA(std::move(text))) {}
TSharedText::TSharedText(std::u16string text) : FW(new TTextW(std::move(text))) {}
TSharedText::TSharedText(const TSharedText& o)
    : FA(o.FA ? Retain(o.FA) : nullptr), FW(o.FW ? Retain(o.FW) : nullptr) {}

TSharedText& TSharedText::operator=(const TSharedText& o) {
  if (this != &o) {
    TSharedText copy(o);
    *this = std::move(copy);
  }
  return *this;
}

TSharedText& TSharedText::operator=(TSharedText&& o) noexcept {
  if (this != &o) {
    Reset();
    FA = o.FA;
    FW = o.FW;
    o.FA = nullptr;
    o.FW = nullptr;
  }
  return *this;
}

void TSharedText::Reset() {
  if (FA) Release(FA);
  if (FW) Release(FW);
  FA = nullptr;
  FW = nullptr;
}

bool TSharedText::Empty() const { return FA ? FA->Text.empty() : FW ? FW->Text.empty() : true; }
const std::string& TSharedText::Text() const { return FA ? FA->Text : EmptyA; }
const std::u16string& TSharedText::WideText() const { return FW ? FW->Text : EmptyW; }

TVariant TSharedText::Value() const {
  if (FW) return TVariant(FW->Text);
  return TVariant(Text());
}

// ------------------------------------------------ budget and format grids

void TCellMemoryBudget::Exceeded() const {
  throw EBudgetExceeded("The workbook is too large for the memory budget: its cells need more than " +
                        FormatByteSize(FLimit) + " (setting MaxWorkbookMemory, section Options).");
}

void TCellMemoryBudget::TakeMore() {
  const int64_t need = FUsed - FTaken;
  const int64_t step = (need + PoolStep - 1) / PoolStep * PoolStep;
  FPool->Take(step);
  FTaken += step;
}

std::string TSheetGrid::Outside(int64_t row, int64_t column) const {
  std::string cell = column >= 0 && column < int64_t(INT32_MAX) ? ColumnNumberToLetters(int32_t(column + 1))
                                                                 : "column " + std::to_string(column + 1) + " ";
  return "cell " + cell + std::to_string(row + 1) + " lies outside the " + Name + " grid of " + FormatThousands(Rows) +
         " rows by " + FormatThousands(Cols) + " columns";
}

// -------------------------------------------------------- TSpreadSheetCols

int64_t TSpreadSheetCols::Bytes() const {
  if (FSparseCells) return int64_t(FSparseCells->size()) * SparseNodeBytes + int64_t(sizeof(*FSparseCells));
  return int64_t(FCells.capacity() * sizeof(TQXICell));
}

const TQXICell* TSpreadSheetCols::FindSparse(int32_t column) const {
  auto it = FSparseCells->find(column);
  return it == FSparseCells->end() ? nullptr : &it->second;
}

void TSpreadSheetCols::MakeSparse() {
  auto sparse = std::make_unique<std::map<int32_t, TQXICell>>();
  for (size_t i = 0; i < FCells.size(); ++i)
    if (FCells[i].Present()) sparse->emplace_hint(sparse->end(), int32_t(i), std::move(FCells[i]));
  FSparseCount = int32_t(FCells.size());
  FCells.clear();
  FCells.shrink_to_fit();
  FSparseCells = std::move(sparse);
}

void TSpreadSheetCols::MakeDense(int32_t count) {
  std::vector<TQXICell> cells(static_cast<size_t>(count));
  for (auto& [column, cell] : *FSparseCells) cells[size_t(column)] = std::move(cell);
  FCells = std::move(cells);
  FSparseCells.reset();
  FSparseCount = 0;
}

TQXICell& TSpreadSheetCols::Slot(int32_t column) {
  if (column < 0) ListIndexError(column);
  if (!FSparseCells) {
    if (size_t(column) < FCells.size()) {
      TQXICell& c = FCells[size_t(column)];
      if (!c.Present()) ++FUsed;
      return c;
    }
    // Dense only while the slots stay within a few per stored cell.
    if (int64_t(column) < 4 * int64_t(FUsed + 1) + 64) {
      if (FCells.capacity() <= size_t(column))
        FCells.reserve(std::max<size_t>(size_t(column) + 1, FCells.capacity() * 3 / 2 + 4));
      FCells.resize(size_t(column) + 1);
      ++FUsed;
      return FCells.back();
    }
    MakeSparse();
  }
  auto it = FSparseCells->find(column);
  if (it != FSparseCells->end()) return it->second;
  // Filled in enough to be dense again.
  const int32_t slots = std::max(FSparseCount, column + 1);
  ++FUsed;
  if (int64_t(slots) < 4 * int64_t(FUsed) + 64) {
    MakeDense(slots);
    return FCells[size_t(column)];
  }
  FSparseCount = slots;
  return FSparseCells->emplace(column, TQXICell()).first->second;
}

void TSpreadSheetCols::Clear() {
  // Last column first, as the list is freed.
  while (!FCells.empty()) FCells.pop_back();
  FCells.shrink_to_fit();
  FSparseCells.reset();
  FSparseCount = 0;
  FUsed = 0;
}

// ------------------------------------------------------- TSpreadSheetCells

TSpreadSheetCells::TSpreadSheetCells() = default;
TSpreadSheetCells::~TSpreadSheetCells() { Clear(); }

TSpreadSheetRow* TSpreadSheetCells::RowAt(int32_t index) const {
  size_t page = size_t(index) >> RowPageBits;
  if (index < 0 || index >= FCount || page >= FPages.size() || !FPages[page]) return nullptr;
  return &FPages[page]->Rows[size_t(index) & (RowPageSize - 1)];
}

TSpreadSheetRow& TSpreadSheetCells::Materialise(int32_t index) {
  size_t page = size_t(index) >> RowPageBits;
  if (page >= FPages.size()) FPages.resize(page + 1);
  if (!FPages[page]) {
    if (FBudget) FBudget->Charge(RowPageBytes);
    FPages[page] = std::make_unique<TRowPage>(int32_t(page << RowPageBits));
  }
  return FPages[page]->Rows[size_t(index) & (RowPageSize - 1)];
}

TSpreadSheetRow& TSpreadSheetCells::Row(int32_t index) {
  if (index < 0 || index >= FCount) ListIndexError(index);
  if (TSpreadSheetRow* r = RowAt(index)) return *r;
  return Materialise(index);
}

const TSpreadSheetRow& TSpreadSheetCells::Row(int32_t index) const {
  if (index < 0 || index >= FCount) ListIndexError(index);
  if (TSpreadSheetRow* r = RowAt(index)) return *r;
  // Reading an untouched stretch allocates nothing: a walk over a sheet with
  // one far-away cell must not build millions of rows. The row is the
  // thread's own, so writers walking one sheet side by side never share it.
  thread_local TSpreadSheetRow empty(-1);
  if (empty.Index() != index) empty = TSpreadSheetRow(index);
  return empty;
}

const TSpreadSheetCols* TSpreadSheetCells::RowCells(int32_t index) const {
  TSpreadSheetRow* r = RowAt(index);
  return r ? &r->Cells : nullptr;
}

TQXICell* TSpreadSheetCells::Store(int32_t column, int32_t row) {
  if (column < 0 || row < 0 || column >= MaxCols || row >= MaxRows)
    throw EConvertError("Cell (row " + std::to_string(row) + ", column " + std::to_string(column) +
                        ") is outside the sheet");
  TSpreadSheetRow* r = FLast;
  if (row != FLastRow || !r) {
    // Readers mostly go row by row, and rows tend to be as wide as the last.
    if (r) FRowWidth = std::min<size_t>(r->Cells.FCells.size(), 1024);
    r = RowAt(row);
    if (!r) r = &Materialise(row);
    if (row >= FCount) FCount = row + 1;
    const int64_t before = FBudget ? r->Cells.Bytes() : 0;
    if (size_t(column) < FRowWidth) r->Cells.Reserve(FRowWidth);
    if (FBudget) FBudget->Charge(r->Cells.Bytes() - before);
    FLastRow = row;
    FLast = r;
  }
  if (!FBudget) return &r->Cells.Slot(column);
  const int64_t before = r->Cells.Bytes();
  TQXICell* cell = &r->Cells.Slot(column);
  // Also charged when nothing grew: past the limit every store fails.
  FBudget->Charge(r->Cells.Bytes() - before);
  return cell;
}

void TSpreadSheetCells::Finish(TQXICell& cell, int32_t column, int32_t row, TQXICellType cellType,
                               int32_t formatIndex, TAlignment alignment) {
  cell.SetAlignment(alignment);
  cell.SetFormatIndex(formatIndex);
  cell.SetCellType(cellType);
  if (TrackExtent) {
    if (column >= ColCount) ColCount = column + 1;
    if (row >= RowCount) RowCount = row + 1;
  }
}

bool TSpreadSheetCells::UseTextCache(size_t length) {
  if (length > TTextCache::MaxLength) return false;
  if (!FTextCache) {
    // The cache is sizeable; a sheet with few texts does without it.
    if (++FTextsUncached < TTextCache::Slots) return false;
    FTextCache = std::make_unique<TTextCache>();
  }
  return true;
}

void TSpreadSheetCells::StoreText(TQXICell& cell, const std::string& text) {
  bool created = true;
  if (!UseTextCache(text.size())) cell.AdoptText(new TTextA(text));
  else cell.AdoptText(FTextCache->Lookup(FTextCache->A, text, created));
  if (FBudget && created) FBudget->Charge(TextBytes<TTextA>(text.size()));
}

void TSpreadSheetCells::StoreText(TQXICell& cell, const std::u16string& text) {
  bool created = true;
  if (!UseTextCache(text.size())) cell.AdoptText(new TTextW(text));
  else cell.AdoptText(FTextCache->Lookup(FTextCache->W, text, created));
  if (FBudget && created) FBudget->Charge(TextBytes<TTextW>(text.size()));
}

void TSpreadSheetCells::SetCell(int32_t column, int32_t row, TQXICellType cellType, int32_t formatIndex,
                                TAlignment alignment, const TVariant& value) {
  if (column < 0 || value.IsEmptyOrNull()) return;
  TQXICell& cell = *Store(column, row);
  switch (value.Type()) {
    case TVarType::String: StoreText(cell, value.AsString()); break;
    case TVarType::WideString: StoreText(cell, value.AsWide()); break;
    default: cell.SetValue(value); break;
  }
  Finish(cell, column, row, cellType, formatIndex, alignment);
}

void TSpreadSheetCells::SetCell(int32_t column, int32_t row, TQXICellType cellType, int32_t formatIndex,
                                TAlignment alignment, TVariant&& value) {
  if (column < 0 || value.IsEmptyOrNull()) return;
  TQXICell& cell = *Store(column, row);
  switch (value.Type()) {
    case TVarType::String:
      if (value.AsString().size() <= TTextCache::MaxLength) {
        StoreText(cell, value.AsString());
      } else {
        if (FBudget) FBudget->Charge(TextBytes<TTextA>(value.AsString().size()));
        cell.SetValue(std::move(value));
      }
      break;
    case TVarType::WideString:
      if (value.AsWide().size() <= TTextCache::MaxLength) {
        StoreText(cell, value.AsWide());
      } else {
        if (FBudget) FBudget->Charge(TextBytes<TTextW>(value.AsWide().size()));
        cell.SetValue(std::move(value));
      }
      break;
    default: cell.SetValue(value); break;
  }
  Finish(cell, column, row, cellType, formatIndex, alignment);
}

void TSpreadSheetCells::SetSharedCell(int32_t column, int32_t row, TQXICellType cellType, int32_t formatIndex,
                                      TAlignment alignment, const TSharedText& text) {
  if (column < 0 || (!text.FA && !text.FW)) return;
  TQXICell& cell = *Store(column, row);
  if (text.FA) {
    if (FBudget && !text.FA->Charged.exchange(true)) FBudget->Charge(TextBytes<TTextA>(text.FA->Text.size()));
    cell.AdoptText(Retain(text.FA));
  } else {
    if (FBudget && !text.FW->Charged.exchange(true)) FBudget->Charge(TextBytes<TTextW>(text.FW->Text.size()));
    cell.AdoptText(Retain(text.FW));
  }
  Finish(cell, column, row, cellType, formatIndex, alignment);
}

const TQXICell* TSpreadSheetCells::GetCell(int32_t column, int32_t row) const {
  TSpreadSheetRow* r = RowAt(row);
  return r ? r->Cells.Cell(column) : nullptr;
}

TVariant TSpreadSheetCells::GetCellValue(int32_t column, int32_t row) const {
  if (row < 0) ListIndexError(row);
  const TQXICell* c = GetCell(column, row);
  return c ? c->Value() : TVariant::Null();
}

void TSpreadSheetCells::DeleteRow(int32_t index) {
  if (index < 0 || index >= FCount) ListIndexError(index);
  // Later rows move up one slot; they keep their own position fields.
  for (int32_t i = index; i + 1 < FCount; ++i) {
    TSpreadSheetRow* next = RowAt(i + 1);
    TSpreadSheetRow* here = RowAt(i);
    if (!next && !here) {
      // Skip to the last row of this untouched page; its successor may exist.
      i = std::max(i, ((i >> RowPageBits) + 1) * RowPageSize - 2);
      continue;
    }
    if (!next) {
      // An untouched row moves up as an empty one; no page is created for it.
      if (here) *here = TSpreadSheetRow(i + 1);
      continue;
    }
    if (!here) here = &Materialise(i);
    *here = std::move(*next);
  }
  if (TSpreadSheetRow* last = RowAt(FCount - 1)) *last = TSpreadSheetRow(FCount - 1);
  --FCount;
  FLastRow = -1;
  FLast = nullptr;
}

void TSpreadSheetCells::Clear() {
  for (size_t p = FPages.size(); p-- > 0;) FPages[p].reset();
  FPages.clear();
  FPages.shrink_to_fit();
  FCount = 0;
  FLastRow = -1;
  FLast = nullptr;
  FRowWidth = 0;
  FTextCache.reset();
  FTextsUncached = 0;
  DimColCount = DimRowCount = ColCount = RowCount = 0;
}

// ----------------------------------------------------------- TSpreadSheets

const TNumberFormats& TSpreadSheet::Formats() const {
  static const TNumberFormats GeneralOnly;
  return FBook ? FBook->Formats : GeneralOnly;
}

const TDocumentProperties& TSpreadSheet::DocumentProperties() const {
  static const TDocumentProperties None;
  return FBook ? FBook->Properties : None;
}

int32_t TSpreadSheets::AddSheet() {
  auto sheet = std::make_unique<TSpreadSheet>();
  sheet->Cells.SetMemoryBudget(&FBudget);
  sheet->FBook = this;
  sheet->Caption = AnsiToWide(std::string(SDefaultSheetName) + std::to_string(FSheets.size() + 1));
  FSheets.push_back(std::move(sheet));
  return int32_t(FSheets.size() - 1);
}

TSpreadSheet& TSpreadSheets::GetSheet(int32_t index) {
  if (index < 0) index = 0;
  if (index >= MaxSheets) throw EConvertError("Sheet number " + std::to_string(index) + " is out of range");
  while (index >= Count()) AddSheet();
  return *FSheets[size_t(index)];
}

void TSpreadSheets::DeleteSheet(int32_t index) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  FSheets.erase(FSheets.begin() + index);
}

void TSpreadSheets::Clear() {
  while (!FSheets.empty()) FSheets.pop_back();
  FBudget.Reset();
  Formats.Clear();
  Properties = TDocumentProperties();
}

// -------------------------------------------------- TCustomSpreadSheetFile

TCustomSpreadSheetFile::TCustomSpreadSheetFile() = default;
TCustomSpreadSheetFile::~TCustomSpreadSheetFile() = default;

void TCustomSpreadSheetFile::LoadFromStream(TStream& stream) { ParseStream(stream); }

void TCustomSpreadSheetFile::LoadFromFile(const std::string& fileName) {
  std::string name = Trim(fileName);
  if (name.empty()) throw EQXIFileException(SFileIsNotDefined);
  if (!FileExists(name)) {
    // A link loop or a folder without access is no missing file: say what it is.
    const int err = PathStatError(name);
    if (err != 0 && err != ENOENT && err != ENOTDIR)
      throw EQXIFileException("Cannot open file \"" + name + "\". " + std::strerror(err));
    throw EQXIFileException(StringReplaceAll(SFileDoesNotExist, "%s", name));
  }
  FileName = name;
  ResetData();
}

void TCustomSpreadSheetFile::ParseStream(TStream&) { ResetData(); }

TStream& TCustomSpreadSheetFile::SourceFile(std::unique_ptr<TStream>& holder, uint32_t mode) {
  if (OpenedFile) {
    OpenedFile->SetPosition(0);
    return *OpenedFile;
  }
  holder = std::make_unique<TFileStream>(FileName, mode);
  return *holder;
}

void TCustomSpreadSheetFile::LoadFromBlobStream(TStream& stream) {
  uint8_t head[12] = {};
  int64_t got = stream.Read(head, sizeof head);
  static const uint8_t marker[4] = {0x42, 0x44, 0x4F, 0x43};
  // Move back only what was read: a short stream must not end up before its start.
  if (got < 4 || std::memcmp(head, marker, 4) != 0) {
    if (got > 0) stream.Seek(-got, soCurrent);
  }
  LoadFromStream(stream);
}

bool TCustomSpreadSheetFile::ContinueAfterError(const std::exception& error) {
  if (dynamic_cast<const EOperationCanceled*>(&error) || dynamic_cast<const EBudgetExceeded*>(&error) ||
      dynamic_cast<const EQXIFileTruncatedException*>(&error) ||
      dynamic_cast<const EQXIUnknownEncryptionException*>(&error) ||
      dynamic_cast<const EQXICryptException*>(&error) || dynamic_cast<const std::bad_alloc*>(&error))
    return false;
  bool abort = true;
  if (OnErrorProcess) OnErrorProcess(this, error, abort);
  return !abort;
}

bool TCustomSpreadSheetFile::TryPasswords(std::initializer_list<const char*> defaults,
                                          const std::function<bool(const std::string&)>& opens) {
  FPasswordsGiven = false;
  FOpenedWithPassword = false;
  for (const char* d : defaults)
    if (opens(d)) return true;
  std::string password = Password;
  for (bool first = true;; first = false) {
    PollCancel(CancelToken);
    bool more = first && !password.empty();
    if (OnPassword) {
      more = true;
      OnPassword(this, password, more);
    }
    if (!more) return false;
    FPasswordsGiven = true;
    if (opens(password)) {
      FOpenedWithPassword = true;
      return true;
    }
  }
}

std::string TCustomSpreadSheetFile::ProtectedFileMessage(const std::string& scheme) const {
  return "The file is password-protected (" + (scheme.empty() ? std::string("unknown encryption") : scheme) +
         (FPasswordsGiven ? "); the passwords given do not open it." : "); this program cannot open protected files.");
}

void TCustomSpreadSheetFile::Warn(const std::string& text) {
  EQXIFileFormatException warning(text);
  bool abort = false;
  if (OnErrorProcess) OnErrorProcess(this, warning, abort);
  if (abort) throw warning;
}

// -------------------------------------------------------- TSpreadSheetFile

TSpreadSheetFile::TSpreadSheetFile() = default;
TSpreadSheetFile::~TSpreadSheetFile() = default;

void TSpreadSheetFile::ResetData() {
  TCustomSpreadSheetFile::ResetData();
  FLoadSteps = 0;
  Sheets.Clear();
  Sheets.SetMemoryLimit(MaxCellMemory);
  Sheets.SetMemoryPool(CellMemoryPool);
  OnDimensions = [this](TCustomSpreadSheetFile*, int32_t sheetNo, int32_t firstRow, int32_t lastRow,
                        int32_t firstColumn, int32_t lastColumn) {
    DimensionsHandler(sheetNo, firstRow, lastRow, firstColumn, lastColumn);
  };
  OnCellValue = TModelCellHandler{this};
  OnGetCellValue = [this](TCustomSpreadSheetFile*, int32_t sheetNo, int32_t row, int32_t column, TVariant& value) {
    GetCellValueHandler(sheetNo, row, column, value);
  };
  OnSheet = [this](TCustomSpreadSheetFile*, const std::u16string& caption, int32_t index, bool& skip) {
    SheetHandler(caption, index, skip);
  };
  OnColumnWidth = [this](TCustomSpreadSheetFile*, int32_t sheetNo, int32_t columnNo, int32_t width) {
    ColumnWidthHandler(sheetNo, columnNo, width);
  };
}

void TSpreadSheetFile::DimensionsHandler(int32_t sheetNo, int32_t, int32_t lastRow, int32_t, int32_t lastColumn) {
  if (sheetNo >= TSpreadSheets::MaxSheets) return;
  TSpreadSheetCells& cells = Sheets.GetSheet(sheetNo).Cells;
  // A corrupt declaration must not make consumers walk billions of rows.
  cells.DimRowCount = std::clamp(lastRow, 0, TSpreadSheetCells::MaxRows);
  cells.DimColCount = std::clamp(std::min(lastColumn, Range.LastCol), 0, TSpreadSheetCells::MaxCols);
  if (!cells.TrackExtent) {
    cells.ColCount = cells.DimColCount;
    cells.RowCount = cells.DimRowCount;
  }
}

void TSpreadSheetFile::CellHandler(int32_t sheetNo, int32_t row, int32_t column, int32_t formatIndex,
                                   TVariant& value, TAlignment alignment, TQXICellType cellType) {
  PollCancel(CancelToken);
  if (Range.LastCol < column || Range.LastRow < row) return;
  try {
    TSpreadSheetCells& cells = Sheets.GetSheet(sheetNo).Cells;
    cells.SetCell(column, row, cellType, formatIndex, alignment, value);
    if (FPercentNote.Active && value.Type() == TVarType::Float) {
      // Only the reader's own number: a value a handler replaced is kept as given.
      const TPercentNote& n = FPercentNote;
      const double published = n.Scaled ? n.Stored * 100 : n.Stored, given = value.AsFloat();
      if (std::memcmp(&published, &given, sizeof published) == 0)
        if (TQXICell* cell = cells.GetCell(column, row)) cell->SetPercent(n.Stored, n.Scaled);
    }
  } catch (const EBudgetExceeded&) {
    throw;  // the workbook is too large: the load ends
  } catch (const std::exception&) {
    // A cell that cannot be stored is dropped; the load goes on.
  }
}

void TSpreadSheetFile::DeliverSharedText(int32_t sheetNo, int32_t row, int32_t column, int32_t formatIndex,
                                         TAlignment alignment, TQXICellType cellType, const TSharedText& text) {
  const TModelCellHandler* own = OnCellValue.target<TModelCellHandler>();
  if (!own || own->Self != this) {
    if (!OnCellValue) return;
    TVariant value = text.Value();
    OnCellValue(this, sheetNo, row, column, formatIndex, value, alignment, cellType);
    return;
  }
  PollCancel(CancelToken);
  if (Range.LastCol < column || Range.LastRow < row) return;
  try {
    Sheets.GetSheet(sheetNo).Cells.SetSharedCell(column, row, cellType, formatIndex, alignment, text);
  } catch (const EBudgetExceeded&) {
    throw;
  } catch (const std::exception&) {
    // A cell that cannot be stored is dropped, as CellHandler does.
  }
}

void TSpreadSheetFile::GetCellValueHandler(int32_t sheetNo, int32_t row, int32_t column, TVariant& value) {
  // A reader asking about an impossible address learns there is nothing there.
  if (sheetNo >= TSpreadSheets::MaxSheets || row < 0) {
    value = TVariant::Null();
    return;
  }
  value = Sheets.GetSheet(sheetNo).Cells.GetCellValue(column, row);
}

void TSpreadSheetFile::SheetHandler(const std::u16string& caption, int32_t index, bool& skip) {
  if (SelectedSheet >= 0) skip = index != SelectedSheet;
  int32_t n = Sheets.AddSheet();
  Sheets[n].Caption = caption;
}

void TSpreadSheetFile::ColumnWidthHandler(int32_t sheetNo, int32_t columnNo, int32_t width) {
  // Widths for columns no cell can reach are not kept.
  if (columnNo < 0 || columnNo >= TSpreadSheetCells::MaxCols || sheetNo >= TSpreadSheets::MaxSheets) return;
  std::vector<int32_t>& widths = Sheets.GetSheet(sheetNo).ColumnWidths;
  if (widths.size() <= size_t(columnNo)) widths.resize(size_t(columnNo) + 1, 0);
  widths[size_t(columnNo)] = width;
}

void TSpreadSheetFile::HideColumn(int32_t sheetNo, int32_t column) {
  if (column < 0 || column >= TSpreadSheetCells::MaxCols || sheetNo >= TSpreadSheets::MaxSheets) return;
  std::vector<bool>& hidden = Sheets.GetSheet(sheetNo).HiddenColumns;
  if (hidden.size() <= size_t(column)) hidden.resize(size_t(column) + 1, false);
  hidden[size_t(column)] = true;
}

void TSpreadSheetFile::SetDefaultColumnWidth(int32_t sheetNo, int32_t width256) {
  if (sheetNo >= TSpreadSheets::MaxSheets || width256 <= 0) return;
  Sheets.GetSheet(sheetNo).DefaultColumnWidth = std::min(width256, 255 * 256);
}

void TSpreadSheetFile::SetDefaultColumnBase(int32_t sheetNo, int32_t baseCharacters) {
  // The margin and grid line of a cell: 5 pixels of a 7-pixel "0".
  if (baseCharacters > 0 && baseCharacters != 8) SetDefaultColumnWidth(sheetNo, baseCharacters * 256 + 183);
}

void TSpreadSheetFile::SetDefaultColumnCharacters(int32_t sheetNo, int32_t characters) {
  if (characters > 0 && characters < 256) SetDefaultColumnWidth(sheetNo, characters * 256);
}

void TSpreadSheetFile::SetDefaultColumnCharactersWhereUnset(int32_t characters) {
  for (int32_t i = 0; i < Sheets.Count(); ++i)
    if (Sheets[i].DefaultColumnWidth == 0) SetDefaultColumnCharacters(i, characters);
}

int32_t TSpreadSheetFile::ColumnIndexByName(const std::string& name) {
  if (NameKind == nkFieldName) return -1;
  return ColumnLettersToIndex(name, Sheets.GetSheet(SelectedSheet).Cells.ColCount);
}

void TSpreadSheetFile::GetColumnNames(std::vector<std::pair<std::string, int32_t>>& list,
                                      const std::string& fieldNames) {
  list.clear();
  if (NameKind == nkAlphabet) FillColumnNameList(list, fieldNames, Sheets.GetSheet(SelectedSheet).Cells.ColCount);
}

// ---------------------------------------------------------- column letters

std::string ColumnNumberToLetters(int32_t n) {
  std::string s;
  while (n > 0) {
    s.insert(s.begin(), char('A' + (n - 1) % 26));
    n = (n - 1) / 26;
  }
  return s;
}

int32_t ColumnLettersToIndex(const std::string& name, int32_t columnCount) {
  if (name.empty()) return -1;
  int64_t value = 0;
  for (char ch : name) {
    if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
    if (ch < 'A' || ch > 'Z') return -1;
    value = value * 26 + (ch - 64);
    // Past the column count already: a long name must not overflow.
    if (value > columnCount) return -1;
  }
  return int32_t(value - 1);
}

void FillColumnNameList(std::vector<std::pair<std::string, int32_t>>& list, const std::string& fieldNames,
                        int32_t columnCount) {
  if (fieldNames.empty()) {
    for (int32_t n = 1; n <= columnCount; ++n) list.emplace_back(ColumnNumberToLetters(n), n);
    return;
  }
  size_t start = 0;
  while (start < fieldNames.size()) {
    size_t semi = fieldNames.find(';', start);
    if (semi == std::string::npos) semi = fieldNames.size();
    std::string name = fieldNames.substr(start, semi - start);
    list.emplace_back(name, ColumnLettersToIndex(name, columnCount));
    start = semi + 1;
  }
}
