#pragma once
// One tagged value: empty, Null, 8-bit text, wide text, integer, float,
// date-time or boolean. Null and empty differ from the empty text.
#include <cstdint>
#include <string>
#include <variant>

struct TFormatSettings;

enum class TVarType : uint8_t { Empty, Null, String, WideString, Integer, Float, DateTime, Boolean };

class TVariant {
 public:
  TVariant() = default;  // empty
  TVariant(const char* s) : FValue(std::string(s)) {}
  TVariant(std::string s) : FValue(std::move(s)) {}
  TVariant(std::u16string s) : FValue(std::move(s)) {}
  TVariant(int32_t v) : FValue(int64_t(v)) {}
  TVariant(int64_t v) : FValue(v) {}
  TVariant(double v) : FValue(v) {}
  TVariant(bool v) : FValue(v) {}

  static TVariant Null() { TVariant v; v.FValue = NullTag{}; return v; }
  static TVariant DateTime(double d) { TVariant v; v.FValue = DateTimeTag{d}; return v; }

  TVarType Type() const { return static_cast<TVarType>(FValue.index()); }
  bool IsEmpty() const { return Type() == TVarType::Empty; }
  bool IsNull() const { return Type() == TVarType::Null; }
  bool IsEmptyOrNull() const { return IsEmpty() || IsNull(); }
  bool IsText() const { return Type() == TVarType::String || Type() == TVarType::WideString; }
  bool IsNumeric() const {
    auto t = Type();
    return t == TVarType::Integer || t == TVarType::Float || t == TVarType::DateTime;
  }

  // Typed access; the caller checks Type() first.
  const std::string& AsString() const { return std::get<std::string>(FValue); }
  const std::u16string& AsWide() const { return std::get<std::u16string>(FValue); }
  int64_t AsInteger() const { return std::get<int64_t>(FValue); }
  double AsFloat() const { return std::get<double>(FValue); }
  double AsDateTime() const { return std::get<DateTimeTag>(FValue).Value; }
  bool AsBoolean() const { return std::get<bool>(FValue); }

  // Integer, float, date-time and boolean as a double; 0 for anything else.
  double ToDouble() const;

  bool operator==(const TVariant& o) const { return FValue == o.FValue; }

 private:
  struct NullTag { bool operator==(const NullTag&) const { return true; } };
  struct DateTimeTag {
    double Value;
    bool operator==(const DateTimeTag& o) const { return Value == o.Value; }
  };
  std::variant<std::monostate, NullTag, std::string, std::u16string, int64_t, double, DateTimeTag, bool> FValue;
};

// The old runtime's default text form: integers in decimal, floats by the
// 15-digit general rule with the regional decimal separator, date-times as
// short date + long time (time left out at exactly midnight), booleans
// "True"/"False", Null and empty as "". Wide text is converted to the system
// code page.
std::string VarToStr(const TVariant& v);
std::string VarToStr(const TVariant& v, const TFormatSettings& fs);
std::u16string VarToWideStr(const TVariant& v);
std::u16string VarToWideStr(const TVariant& v, const TFormatSettings& fs);
