#include "CellTexts.h"

#include <charconv>
#include <cmath>

#include "CodePage.h"
#include "DateTime.h"
#include "SysUtils.h"

namespace {

constexpr double Shift1904 = 1462;

std::string_view Digits(int64_t v, std::string& scratch) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof(buf), v);
  scratch.assign(buf, res.ptr);
  return scratch;
}

// v in at least width digits, zeros in front (no printf: one per cell adds up).
void AppendPadded(std::string& out, int64_t v, int width) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof(buf), v);
  for (int n = int(res.ptr - buf); n < width; ++n) out += '0';
  out.append(buf, res.ptr);
}

// "hh:mm:ss" with the hours counted on past a day ("25:30:00"), and the
// milliseconds when there are any: elapsed times and times of day alike.
void AppendClock(double days, bool twoDigitHours, std::string& out) {
  if (days < 0) {
    out += '-';
    days = -days;
  }
  const int64_t ms = std::llround(days * 86400000.0);
  const int64_t s = ms / 1000, h = s / 3600;
  AppendPadded(out, h, twoDigitHours ? 2 : 1);
  out += ':';
  AppendPadded(out, s / 60 % 60, 2);
  out += ':';
  AppendPadded(out, s % 60, 2);
  if (ms % 1000) {
    out += '.';
    AppendPadded(out, ms % 1000, 3);
  }
}

}  // namespace

TCellTexts::TCellTexts(const TNumberFormats& formats, TCellValues values, const TFormatSettings& settings)
    : FFormats(formats), FSettings(settings), FValues(values == cvAuto ? cvStored : values),
      FConvert(GetACP() != CP_UTF8), FDates(DateSystemOf(formats)) {
  if (FValues == cvDisplayed) FRenderer = std::make_unique<TNumberFormatRenderer>(formats, settings, FDates);
}

TCellTexts::~TCellTexts() = default;

bool TCellTexts::TimeOnly(const TQXICell& cell) const {
  if (cell.ValueType() != TVarType::DateTime) return false;
  if (cell.CellType() == ictTime || FFormats.Kind(cell.FormatIndex()) == nfTime) return true;
  const double v = cell.NumberValue();
  return v > 0 && v < 1;  // day 0: 30 December 1899 is no date anybody meant
}

std::string_view TCellTexts::Text(const TQXICell* cell, std::string& scratch, int32_t width) {
  if (!cell) return {};
  switch (FValues) {
    case cvDisplayed: return Displayed(*cell, scratch, width);
    case cvData: return Data(*cell, scratch);
    default: return Own(*cell, scratch);
  }
}

bool TCellTexts::ShowsOwnText(const TQXICell& cell) {
  const TVarType type = cell.ValueType();
  if (type != TVarType::String && type != TVarType::WideString) return false;
  // Most texts meet no text section when displayed: they show as they stand.
  return FValues != cvDisplayed || cell.CellType() == ictUnknown || !FRenderer->Code(cell.FormatIndex()).TextSection();
}

std::string_view TCellTexts::Own(const TQXICell& cell, std::string& scratch) const {
  switch (cell.ValueType()) {
    case TVarType::String: return cell.StringValue();
    case TVarType::WideString: return scratch = WideToAnsi(cell.WideValue());
    case TVarType::Boolean: return cell.NumberValue() != 0 ? "True" : "False";
    case TVarType::Integer: return Digits(cell.Value().AsInteger(), scratch);
    case TVarType::Float: {
      // Whole numbers below 10^15 print the same under the 15-digit rule.
      const double d = cell.NumberValue();
      if (d == std::trunc(d) && std::fabs(d) < 1e15 && !(d == 0 && std::signbit(d))) return Digits(int64_t(d), scratch);
      return scratch = FloatToStr(d, FSettings);
    }
    case TVarType::DateTime:
      if (TimeOnly(cell)) {
        const double v = cell.NumberValue();
        if (v >= 0 && v < 1) return scratch = TimeToStr(v, FSettings);
        scratch.clear();
        AppendClock(v, false, scratch);
        return scratch;
      }
      [[fallthrough]];
    default: return scratch = VarToStr(cell.Value(), FSettings);
  }
}

std::string_view TCellTexts::Data(const TQXICell& cell, std::string& scratch) {
  char buf[32];
  switch (cell.ValueType()) {
    case TVarType::Float: {
      // The file's own number: a percentage as its fraction.
      double d = cell.StoredNumber();
      if (d == 0) d = 0;  // no "-0"
      const auto res = std::to_chars(buf, buf + sizeof(buf), d);
      return scratch.assign(buf, res.ptr);
    }
    case TVarType::DateTime: {
      double v = cell.NumberValue();
      scratch.clear();
      if (TimeOnly(cell)) {
        AppendClock(v, true, scratch);
        return scratch;
      }
      // Serials 1 to 59 of the 1900 system count the 29 February 1900 that
      // never was: they mean the day after the plain count.
      if (FDates == dsExcel1900 && v >= 1 && v < 60) v += 1;
      double day = std::floor(v);
      double time = v - day;
      if (std::llround(time * 86400000.0) >= 86400000) day += 1, time = 0;
      int y, m, d;
      DecodeDate(day, y, m, d);
      if (y < 0) scratch += '-';
      AppendPadded(scratch, y < 0 ? -y : y, y < 0 ? 3 : 4);  // as "%04d"
      scratch += '-';
      AppendPadded(scratch, m, 2);
      scratch += '-';
      AppendPadded(scratch, d, 2);
      if (time > 0 && std::llround(time * 86400000.0) > 0) {
        scratch += 'T';
        AppendClock(time, true, scratch);
      }
      return scratch;
    }
    default: return Own(cell, scratch);
  }
}

std::string_view TCellTexts::Displayed(const TQXICell& cell, std::string& scratch, int32_t width) {
  FWork.clear();
  const TVarType type = cell.ValueType();
  if (type == TVarType::String || type == TVarType::WideString) {
    if (ShowsOwnText(cell)) return Own(cell, scratch);
    const std::string utf8 = type == TVarType::String ? AnsiToUtf8(cell.StringValue()) : Utf16ToUtf8(cell.WideValue());
    FRenderer->AppendText(utf8, cell.FormatIndex(), FWork);
  } else if (type == TVarType::Boolean) {
    FRenderer->AppendBoolean(cell.NumberValue() != 0, cell.FormatIndex(), FWork);
  } else if (type == TVarType::Integer || type == TVarType::Float || type == TVarType::DateTime) {
    if (width > 0)
      FRenderer->Code(cell.FormatIndex()).AppendNumberInWidth(cell.StoredNumber(), FDates, width, FWork);
    else
      FRenderer->AppendNumber(cell.StoredNumber(), cell.FormatIndex(), FWork);
  } else {
    return Own(cell, scratch);
  }
  // Rendered texts are UTF-8; the program's 8-bit text is the system code page's.
  if (!FConvert) return scratch = FWork;
  bool ascii = true;
  for (char c : FWork) ascii = ascii && uint8_t(c) < 0x80;
  return scratch = ascii ? FWork : Utf8ToAnsi(FWork);
}

// The error values a spreadsheet cell can hold.
bool IsErrorValue(std::string_view text) {
  static constexpr std::string_view codes[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                               "#NAME?", "#NUM!",   "#N/A",    "#GETTING_DATA"};
  for (auto c : codes)
    if (text == c) return true;
  return false;
}

bool IsErrorValue(const TQXICell& c) {
  if (c.CellType() != ictUnknown) return false;
  if (c.ValueType() == TVarType::String) return IsErrorValue(c.StringValue());
  if (c.ValueType() == TVarType::WideString) {
    const std::u16string& w = c.WideValue();
    if (w.size() > 14) return false;
    return IsErrorValue(std::string(w.begin(), w.end()));
  }
  return false;
}

TAlignment GeneralAlignment(TAlignment stored, TValueKind kind) {
  if (stored != taLeftJustify) return stored;
  switch (kind) {
    case vkNumber: return taRightJustify;
    case vkBoolean:
    case vkError: return taCenter;
    default: return taLeftJustify;
  }
}

TAlignment DisplayAlignment(const TQXICell& cell) {
  TValueKind kind = vkNumber;
  switch (cell.ValueType()) {
    case TVarType::String:
    case TVarType::WideString: kind = IsErrorValue(cell) ? vkError : vkText; break;
    case TVarType::Boolean: kind = vkBoolean; break;
    case TVarType::Integer:
    case TVarType::Float:
    case TVarType::DateTime: kind = cell.CellType() == ictBoolean ? vkBoolean : vkNumber; break;
    default: kind = vkText; break;
  }
  return GeneralAlignment(cell.Alignment(), kind);
}
