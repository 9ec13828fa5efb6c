#include "QXE2Cell.h"

#include <algorithm>

#include "CodePage.h"
#include "FileSystem.h"
#include "SysUtils.h"

namespace {

// Printable ASCII (32..126) to EBCDIC, in code order.
const uint8_t EbcdicPrintable[95] = {
    0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,  //  !"#$%&'()*+,-./
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9,                                      // 0-9
    0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F, 0x7C,                                                        // :;<=>?@
    0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,                                            // A-I
    0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9,                                            // J-R
    0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9,                                                  // S-Z
    0xAD, 0xE0, 0xBD, 0x5F, 0x6D, 0x7D,                                                              // [\]^_`
    0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,                                            // a-i
    0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,                                            // j-r
    0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9,                                                  // s-z
    0xC0, 0x6A, 0xD0, 0xA1,                                                                          // {|}~
};

// Sheet.xls with index 1 is Sheet001.xls.
std::string IndexedFileName(const std::string& name, int32_t index) {
  if (index == 0) return name;
  const std::string ext = ExtractFileExt(name);
  return name.substr(0, name.size() - ext.size()) + Format("%.3d", index) + ext;
}

}  // namespace

std::string AnsiToEbcdic(const std::string& text) {
  std::string out = text;
  for (char& ch : out) {
    const uint8_t c = uint8_t(ch);
    if (c < 32) continue;
    ch = char(c >= 127 ? 0x4B : EbcdicPrintable[c - 32]);
  }
  return out;
}

TQXExportToCellFile::TQXExportToCellFile() = default;
TQXExportToCellFile::~TQXExportToCellFile() = default;

int32_t TQXExportToCellFile::ComputeTitleRows() const {
  if (!AddTitle || !CanWriteTitles()) return 0;
  int32_t n = 1;
  if (HasOption(soBlankRowAfterCaptions)) ++n;
  if (HasOption(soExportBands) && !Bands.Empty()) ++n;
  return n;
}

int32_t TQXExportToCellFile::RecordCountLimit() const {
  const int64_t fixed = int64_t(Header.size()) + int64_t(Footer.size()) + ComputeTitleRows();
  int64_t limit;
  switch (Layout) {
    case elReversedColumnar: limit = int64_t(GridColLimit()) - fixed; break;
    case elTabularForm: limit = GridRowLimit(); break;
    default: limit = int64_t(GridRowLimit()) - fixed; break;
  }
  return int32_t(std::clamp<int64_t>(limit, 0, INT32_MAX));
}

int32_t TQXExportToCellFile::ColumnCountLimit() const {
  return Layout == elColumnar ? GridColLimit() : GridRowLimit();
}

void TQXExportToCellFile::CreateDataEngine() {
  TQXExportBaseComponent::CreateDataEngine();
  PrepareLevels(DetailSources);
}

void TQXExportToCellFile::PrepareLevels(TQXEDataLevels& levels) {
  for (const auto& level : levels) {
    level->WorkingEngine = EngineFor(level->ColumnSource, level->DBGrid, level->DataSet, level->DataEngine);
    PrepareEngine(*level->WorkingEngine, level->Columns, true);
    if (level->Columns.Empty()) {
      level->WorkingEngine->FillColumns(level->Columns, level->Bands, RightToLeft);
      level->ColumnsGenerated = true;
    }
    PrepareLevels(*level->DetailSources);
  }
}

void TQXExportToCellFile::ReleaseLevels(TQXEDataLevels& levels) {
  for (const auto& level : levels) {
    ReleaseLevels(*level->DetailSources);
    if (level->ColumnsGenerated) {
      level->Columns.Clear();
      level->Bands.Clear();
      level->ColumnsGenerated = false;
    }
    level->WorkingEngine = nullptr;
  }
}

void TQXExportToCellFile::ReleaseDataEngine() {
  ReleaseLevels(DetailSources);
  TQXExportBaseComponent::ReleaseDataEngine();
}

// --- files ---------------------------------------------------------------

void TQXExportToCellFile::CreateFileStream(const std::string& fileName) {
  if (!FOwnFile) return;
  FStream = nullptr;
  FFileStream = nullptr;
  if (HasOption(soMergeData) && CanAppend() && FileExists(fileName)) {
    FOwnedStream = std::make_unique<TFileStream>(fileName, fmOpenReadWrite);
    FOwnedStream->Seek(0, soEnd);
    FAppending = true;
  } else {
    const std::string dir = ExtractFileDir(fileName);
    if (!dir.empty() && !DirectoryExists(dir)) ForceDirectories(dir);
    FOwnedStream = std::make_unique<TAtomicFileStream>(fileName, Output);
    FAppending = false;
  }
  FStream = FFileStream = FOwnedStream.get();
}

void TQXExportToCellFile::FinishStream() {
  if (!FOwnedStream) return;
  // A full disk at the last buffer must fail the export, not vanish in a destructor.
  FOwnedStream->Flush();
  FFinished.push_back(std::move(FOwnedStream));
  FStream = nullptr;
  FFileStream = nullptr;
}

void TQXExportToCellFile::DiscardFiles() {
  FOwnedStream.reset();
  FFinished.clear();
  FStream = nullptr;
  FFileStream = nullptr;
  FFileOpen = false;
}

void TQXExportToCellFile::CommitFiles() {
  for (auto& file : FFinished)
    if (auto* atomic = dynamic_cast<TAtomicFileStream*>(file.get())) atomic->Commit();  // by Output
  FFinished.clear();
}

void TQXExportToCellFile::OpenFile(const std::string& fileName, int32_t fileIndex) {
  if (fileIndex > 0) CloseFile();
  std::string name = IndexedFileName(fileName, fileIndex);
  if (OnGetFileName) OnGetFileName(this, fileIndex, name);
  CreateFileStream(name);
  FFileOpen = true;
  StartFile();

  const int32_t v = FVisibleColumnCount;
  int64_t r = int64_t(FTitleRows) + FLoopRecordCount;
  if (RowsPerFile > 0)
    r = FTitleRows + std::clamp<int64_t>(int64_t(FLoopRecordCount) - int64_t(fileIndex) * RowsPerFile, 0, RowsPerFile);
  const int32_t rows = int32_t(std::min<int64_t>(r, INT32_MAX));
  switch (Layout) {
    case elColumnar: {
      std::vector<int32_t> widths;
      WidenGridColumns(Columns, DetailSources, widths);
      SetDimensions(rows, std::max(v, int32_t(widths.size())) + 1);
      for (size_t k = 0; k < widths.size(); ++k) SetColumnWidth(int32_t(k), widths[k]);
      break;
    }
    case elReversedColumnar: {
      SetDimensions(v, rows + 1);
      const int32_t w = MaxVisibleWidth();
      for (int32_t c = 0; c <= rows; ++c) SetColumnWidth(c, w);
      break;
    }
    case elTabularForm: {
      SetDimensions(int32_t(std::min<int64_t>(int64_t(rows) * v, INT32_MAX)), FTitleRows + 2);
      const int32_t w = MaxVisibleWidth();
      for (int32_t c = 0; c <= FTitleRows; ++c) SetColumnWidth(c, w);
      break;
    }
  }
  WriteHeader();
  WriteTitleRows(*FWorkingEngine, Columns, true);
}

void TQXExportToCellFile::CloseFile() {
  EndLevel();
  WriteFooter();
  FFileOpen = false;
  FinishStream();
}

void TQXExportToCellFile::WidenGridColumns(const TQXEColumns& columns, const TQXEDataLevels& details,
                                           std::vector<int32_t>& widths) const {
  size_t k = 0;
  for (const auto& c : columns) {
    if (!IsVisible(*c)) continue;
    if (k < widths.size()) widths[k] = std::max(widths[k], c->Width);
    else widths.push_back(c->Width);
    ++k;
  }
  for (const auto& level : details) WidenGridColumns(level->Columns, *level->DetailSources, widths);
}

int32_t TQXExportToCellFile::MaxVisibleWidth() const {
  int32_t w = 0;
  for (const auto& c : Columns)
    if (IsVisible(*c)) w = std::max(w, c->Width);
  return w;
}

// --- the export body -------------------------------------------------------

void TQXExportToCellFile::ExportData() {
  FOwnFile = true;
  try {
    ExportBody(nullptr);
  } catch (...) {
    FOwnFile = false;
    DiscardFiles();
    throw;
  }
  FOwnFile = false;
  if (IsCanceled()) DiscardFiles();
  else CommitFiles();
}

TDocumentProperties TQXExportToCellFile::OutputProperties() const {
  TDocumentProperties p = DocumentProperties;
  p.Title = p.TitleOr(FileName);
  return p;
}

void TQXExportToCellFile::ExportToStream(TStream& stream) {
  RunRecorded([&] { ExportBody(&stream); });
}

void TQXExportToCellFile::ExportBody(TStream* callerStream) {
  if (callerStream) {
    PrepareExport();
    FStream = callerStream;
    FFileStream = dynamic_cast<TFileStream*>(callerStream);
  }
  FWorkingFont = TQXEFont();
  FFileIndex = 0;
  FFileOpen = false;
  try {
    TQXECustomDataEngine& engine = *FWorkingEngine;
    engine.BeforeExecute();
    engine.First();
    FLoopRecordCount = engine.GetRecordCount();
    if (FLoopRecordCount > 0 || ExportIfEmpty) {
      FTitleRows = ComputeTitleRows();
      Statistic.TotalCount = int32_t(std::min<int64_t>(
          int64_t(Header.size()) + FTitleRows + std::max(FLoopRecordCount, 0) + int64_t(Footer.size()), INT32_MAX));
      PrepareOutput();
      FStoredOnly = VisitsStoredCells(engine);
      OpenFile(FileName, 0);
      Statistic.Section = esData;
      FDataRow = Statistic.CurrentRow;
      int32_t i = 0;
      while (!IsCanceled() && !engine.Eof()) {
        if (AnimatedStatus) UpdateProgress(TitleStatus, i);
        bool accept = true;
        if (OnBeforeRecord) OnBeforeRecord(this, accept);
        if (accept) {
          bool abort = false;
          if (OnProgress) OnProgress(this, i, FLoopRecordCount, abort);
          if (abort) {
            SetCanceled(true);
            break;
          }
          if (RowsPerFile > 0 && i > 0 && i % RowsPerFile == 0) {
            ++FFileIndex;
            if (!callerStream) OpenFile(FileName, FFileIndex);
          }
          ++i;
          WriteDataRow(i, engine, Columns, DetailSources);
          Statistic.Section = esData;
        }
        bool abort = false;
        if (OnAfterRecord) OnAfterRecord(this, abort);
        if (abort) SetCanceled(true);
        engine.Next();
        if (Layout != elTabularForm) ++FDataRow;
      }
    }
    engine.AfterExecute();
    if (FFileOpen) CloseFile();
  } catch (...) {
    // An owned file is dropped whole (ExportData discards it); a caller's
    // stream still gets its closing records.
    if (callerStream && FFileOpen) {
      try {
        CloseFile();
      } catch (const std::exception&) {
        // The first error is the one to report.
      }
    }
    FFileOpen = false;
    if (callerStream) FStream = nullptr;
    throw;
  }
  if (callerStream) FStream = nullptr;
}

// --- rows ---------------------------------------------------------------

void TQXExportToCellFile::ConvertCharacterSet(std::string& text) const {
  switch (CharacterSet) {
    case csASCII_MSDOS: text = WideToAnsi(AnsiToWide(text), GetOEMCP()); break;
    case csEBCDIC: text = AnsiToEbcdic(text); break;
    case csUTF8: text = AnsiToUtf8(text); break;
    default: break;
  }
}

void TQXExportToCellFile::PrepareCell(std::string& text, TColor& color, TCellType& type, TAlignment& alignment,
                                      TQXEFont& font, int64_t styleRow, bool applyStyle, int32_t column) {
  type = ctString;
  if (applyStyle) ExportStyle.ApplyRowColor(styleRow, color);
  if (OnGetCellParams) {
    Statistic.CurrentColumn = column;
    OnGetCellParams(this, nullptr, text, font, alignment, color, type);
  }
  ConvertCharacterSet(text);
}

void TQXExportToCellFile::WriteHeader() {
  Statistic.Section = esHeaderLines;
  for (size_t i = 0; i < Header.size(); ++i) {
    BeginRow();
    TColor color = clWhite;
    TAlignment alignment = taLeftJustify;
    std::string text = Header[i];
    TCellType type;
    FWorkingFont = TQXEFont();
    FCellValueValid = false;
    PrepareCell(text, color, type, alignment, FWorkingFont, int64_t(i), true, 1);
    WriteCell(nullptr, type, int32_t(i), 1, text, alignment, FWorkingFont, color);
    EndRow();
  }
}

void TQXExportToCellFile::WriteFooter() {
  Statistic.Section = esFooterLines;
  for (const std::string& line : Footer) {
    BeginRow();
    TColor color = clWhite;
    TAlignment alignment = taLeftJustify;
    std::string text = line;
    TCellType type;
    FWorkingFont = TQXEFont();
    FCellValueValid = false;
    PrepareCell(text, color, type, alignment, FWorkingFont, 0, false, 1);
    WriteCell(nullptr, type, Statistic.CurrentRow, 1, text, alignment, FWorkingFont, color);
    EndRow();
  }
  EndOfFile();
}

void TQXExportToCellFile::WriteString(const std::string& text) {
  if (!FStream || text.empty()) return;
  if (CharacterSet == csUnicode) {
    const std::u16string w = AnsiToWide(text);
    std::string le(w.size() * 2, '\0');
    for (size_t i = 0; i < w.size(); ++i) {
      le[2 * i] = char(w[i] & 0xFF);
      le[2 * i + 1] = char(w[i] >> 8);
    }
    FStream->WriteString(le);
  } else {
    FStream->WriteString(text);
  }
}

void TQXExportToCellFile::StartFile() {
  FRowsSinceFlush = 0;
  // Text blocks of an earlier workbook may have been freed and their
  // addresses reused.
  FTextKey = nullptr;
  FCell.ValueKey = nullptr;
  Statistic.CurrentRow = 0;
}

void TQXExportToCellFile::BeginLevel() { FBlockOpen = true; }

void TQXExportToCellFile::EndLevel() {
  if (!Statistic.InDetail) FBlockOpen = false;
}

void TQXExportToCellFile::BeginRow() { Statistic.CurrentColumn = 0; }

void TQXExportToCellFile::EndRow() {
  // A plain buffered write every 1024 rows, no fsync: the file grows as it goes.
  if (++FRowsSinceFlush > 1024 && FFileStream) {
    FFileStream->Flush();
    FRowsSinceFlush = 0;
  }
  ++Statistic.CurrentRow;
}

void TQXExportToCellFile::WriteCell(TQXEField*, TCellType, int32_t, int32_t column, const std::string&, TAlignment,
                                    const TQXEFont&, TColor) {
  Statistic.CurrentColumn = column;
}

void TQXExportToCellFile::WriteMergedCell(TCellType cellType, int32_t row, int32_t column, int32_t, const std::string& text,
                                          TAlignment alignment, const TQXEFont& font, TColor color) {
  WriteCell(nullptr, cellType, row, column, text, alignment, font, color);
}

void TQXExportToCellFile::WriteTitleRows(TQXECustomDataEngine&, TQXEColumns& columns, bool mainLevel) {
  BeginLevel();
  if (!AddTitle || !CanWriteTitles() || Layout == elTabularForm) return;
  const bool reversed = Layout == elReversedColumnar;
  FCellValueValid = false;
  int32_t r = Statistic.CurrentRow;
  auto place = [&](TCellType type, int32_t row, int32_t k, const std::string& text, TAlignment a, TColor color) {
    if (reversed) WriteCell(nullptr, type, k, row, text, a, FWorkingFont, color);
    else WriteCell(nullptr, type, row, k, text, a, FWorkingFont, color);
  };

  if (mainLevel && HasOption(soExportBands) && !Bands.Empty()) {
    Statistic.Section = esBandCaptions;
    BeginRow();
    std::vector<const TQXEColumn*> visible;
    for (const auto& c : columns)
      if (IsVisible(*c)) visible.push_back(c.get());
    for (size_t k = 0; k < visible.size();) {
      const TQXEColumn* c = visible[k];
      const int32_t b = c->BandIndex;
      if (b >= 0 && b < Bands.Count() && Bands[b]->Visible) {
        const TQXEColumnBand* band = Bands[b];
        size_t span = 1;
        while (k + span < visible.size() && visible[k + span]->BandIndex == b) ++span;
        std::string text = band->Caption;
        TColor color = band->Color;
        TAlignment a = band->Alignment;
        TCellType type;
        FWorkingFont = band->Font;
        PrepareCell(text, color, type, a, FWorkingFont, int64_t(r) + 1, true, int32_t(k));
        if (reversed) WriteCell(nullptr, type, int32_t(k), r, text, a, FWorkingFont, color);
        else WriteMergedCell(type, r, int32_t(k), int32_t(span), text, a, FWorkingFont, color);
        k += span;
      } else {
        std::string text;
        TColor color = c->Color;
        TAlignment a = c->Alignment;
        TCellType type;
        FWorkingFont = c->Font;
        PrepareCell(text, color, type, a, FWorkingFont, int64_t(r) + 1, true, int32_t(k));
        place(ctBlank, r, int32_t(k), text, a, color);
        ++k;
      }
    }
    EndRow();
    ++r;
  }

  Statistic.Section = esColumnTitles;
  BeginRow();
  int32_t k = 0;
  for (const auto& c : columns) {
    if (!IsVisible(*c)) continue;
    std::string text = HasOption(soUseFieldNameAsCaption) ? c->FieldName : c->Title.Caption;
    TColor color = c->Title.Color;
    TAlignment a = c->Title.Alignment;
    TCellType type;
    FWorkingFont = c->Title.Font;
    PrepareCell(text, color, type, a, FWorkingFont, int64_t(r) + 1, true, k);
    place(type, r, k, text, a, color);
    ++k;
  }
  EndRow();
  ++r;

  if (HasOption(soBlankRowAfterCaptions)) {
    BeginRow();
    k = 0;
    for (const auto& c : columns) {
      if (!IsVisible(*c)) continue;
      TColor color = c->Color;
      ExportStyle.ApplyRowColor(int64_t(r) + 1, color);
      FWorkingFont = TQXEFont();
      place(ctBlank, Statistic.CurrentRow, k, std::string(), taCenter, color);
      ++k;
    }
    EndRow();
  }
}

bool TQXExportToCellFile::VisitsStoredCells(TQXECustomDataEngine& engine) {
  // Row colours and a handler can make an empty cell write something.
  if (Layout != elColumnar || OnGetCellParams || DetailSources.Count() > 0 || !SkipsEmptyCells() ||
      ExportStyle.Style() != esNormal || !engine.StoredColumns(Columns, FStored))
    return false;
  FVisibleIndex.clear();
  int32_t k = 0;
  for (const auto& c : Columns) FVisibleIndex.push_back(IsVisible(*c) ? k++ : -1);
  return true;
}

void TQXExportToCellFile::WriteDataRow(int32_t n, TQXECustomDataEngine& engine, TQXEColumns& columns,
                                       TQXEDataLevels& details) {
  const bool tabular = Layout == elTabularForm;
  if (!tabular) BeginRow();
  const bool valueText = WantsValueText() || OnGetCellParams;
  if (FStoredOnly && &columns == &Columns && engine.StoredColumns(columns, FStored)) {
    // The cells the record holds, and no empty one between them.
    for (const int32_t position : FStored)
      if (position < int32_t(FVisibleIndex.size()) && FVisibleIndex[size_t(position)] >= 0)
        WriteDataCell(engine, *columns[position], FVisibleIndex[size_t(position)], n, valueText);
  } else {
    int32_t k = 0;
    for (const auto& cp : columns) {
      if (!IsVisible(*cp)) continue;
      WriteDataCell(engine, *cp, k++, n, valueText);
    }
  }
  // The master row ends before its details begin: each detail row gets a
  // row of its own below it.
  if (!tabular) EndRow();
  if (details.Count() > 0) WriteDetailLevels(details);
  if (tabular && HasOption(soBlankRowAfterCaptions) && (TableType() == teText || TableType() == teClipboard)) {
    BeginRow();
    EndRow();
    ++FDataRow;
  }
}

void TQXExportToCellFile::WriteDataCell(TQXECustomDataEngine& engine, TQXEColumn& c, int32_t k, int32_t n,
                                        bool valueText) {
  TColor color = c.Color;
  FWorkingFont = c.Font;
  TAlignment alignment = c.Alignment;
  TCellType type;
  TQXEField* field = nullptr;
  FCellValueValid = false;
  std::string& text = FCellText;
  // The text of the shared block FTextKey is still in FCellText, converted.
  const void* textKey = FTextKey;
  FTextKey = nullptr;
  bool reused = false;
  switch (c.ColumnKind) {
    case ckConstant:
      text = c.FieldName;
      type = c.DataType;
      break;
    case ckSysVar:
      Statistic.CurrentColumn = k;
      text = VarToStr(GetSysVarValue(c.FieldName), FFormatSettings);
      type = c.DataType;
      break;
    default:
      if (engine.UseFieldObjects() && !c.FieldObjectLooked) {
        c.FieldObject = engine.FindFieldObject(c);
        c.FieldObjectLooked = true;
      }
      field = c.FieldObject;
      if (field) {
        text = FieldToText(field);
        type = CellTypeOfValue(field->DataType(), BlankIfZero, field->Value());
      } else {
        engine.GetCellValue(c, BlankIfZero, FCell);
        type = FCell.CellType;
        FCellValueValid = true;
        if (FCell.Repeated && textKey && textKey == FCell.ValueKey && !OnGetCellParams) {
          FTextKey = textKey;
          reused = true;
        } else if (valueText || !IsValueCellType(type) || FCell.Value.IsText()) {
          text = FCell.HasText ? FCell.Text : VarToStr(FCell.Value, FFormatSettings);
          if (!OnGetCellParams) FTextKey = FCell.ValueKey;
        } else {
          text.clear();
        }
      }
      break;
  }
  ExportStyle.ApplyRowColor(int64_t(Header.size()) + FTitleRows + n, color);
  if (OnGetCellParams) {
    Statistic.CurrentColumn = k;
    const std::string before = text;
    OnGetCellParams(this, field, text, FWorkingFont, alignment, color, type);
    if (text != before) FCellValueValid = false;
  }
  if (!reused) ConvertCharacterSet(text);
  switch (Layout) {
    case elColumnar:
      engine.GetCellParams(Statistic.CurrentRow - TitleRowCount() + 1, k, color, FWorkingFont, alignment);
      WriteCell(field, type, Statistic.CurrentRow, k, text, alignment, FWorkingFont, color);
      break;
    case elReversedColumnar:
      WriteCell(field, type, k, Statistic.CurrentRow, text, alignment, FWorkingFont, color);
      break;
    case elTabularForm: {
      BeginRow();
      if (AddTitle) {
        const bool valueValid = FCellValueValid;
        FCellValueValid = false;
        const std::string label = HasOption(soUseFieldNameAsCaption) ? c.FieldName : c.Title.Caption;
        TQXEFont titleFont = c.Title.Font;
        WriteCell(nullptr, ctString, FDataRow, 0, label, c.Title.Alignment, titleFont, c.Title.Color);
        if (HasOption(soBlankRowAfterCaptions))
          WriteCell(nullptr, ctBlank, FDataRow, 1, std::string(), taLeftJustify, titleFont, clWhite);
        FCellValueValid = valueValid;
      }
      WriteCell(field, type, FDataRow, FTitleRows, text, alignment, FWorkingFont, color);
      EndRow();
      ++FDataRow;
      break;
    }
  }
  FCellValueValid = false;
}

void TQXExportToCellFile::WriteDetailLevels(TQXEDataLevels& levels) {
  Statistic.Section = esDetailLevel;
  BeginDetail();
  const bool savedInDetail = Statistic.InDetail;
  const int32_t savedLevel = Statistic.CurrentLevel;
  for (int32_t l = 0; l < levels.Count(); ++l) {
    TQXEDataLevel& level = *levels.Items(l);
    if (!level.WorkingEngine) continue;
    TQXECustomDataEngine& engine = *level.WorkingEngine;
    Statistic.InDetail = engine.IsDetail;
    Statistic.CurrentLevel = l;
    engine.First();
    WriteTitleRows(engine, level.Columns, false);
    for (int32_t j = 1; !engine.Eof() && !IsCanceled(); ++j) {
      WriteDataRow(j, engine, level.Columns, *level.DetailSources);
      engine.Next();
      ++FDataRow;
    }
    EndLevel();
  }
  EndDetail();
  Statistic.InDetail = savedInDetail;
  Statistic.CurrentLevel = savedLevel;
}

// --- texts ahead of writing -------------------------------------------------

void TQXExportToCellFile::ForEachOutputText(const std::function<void(const TVariant&)>& visit) {
  for (const auto& line : Header) visit(TVariant(line));
  for (const auto& line : Footer) visit(TVariant(line));
  std::vector<TQXEColumn*> fields;
  for (const auto& c : Columns) {
    if (!IsVisible(*c)) continue;
    if (AddTitle) visit(TVariant(HasOption(soUseFieldNameAsCaption) ? c->FieldName : c->Title.Caption));
    if (c->ColumnKind == ckConstant) visit(TVariant(c->FieldName));
    if (c->ColumnKind == ckSysVar && SameText(c->FieldName, "GENERATOR")) visit(TVariant(KeyGenerator));
    if (c->ColumnKind == ckField) fields.push_back(c.get());
  }
  if (AddTitle)
    for (const auto& b : Bands) visit(TVariant(b->Caption));
  if (!FWorkingEngine) return;
  FWorkingEngine->ForEachText(fields, visit, [this] { return IsCanceled(); });
  FWorkingEngine->First();
}
