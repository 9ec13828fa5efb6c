#include "Variant.h"

#include "CodePage.h"
#include "DateTime.h"
#include "FormatSettings.h"
#include "SysUtils.h"

double TVariant::ToDouble() const {
  switch (Type()) {
    case TVarType::Integer: return double(AsInteger());
    case TVarType::Float: return AsFloat();
    case TVarType::DateTime: return AsDateTime();
    case TVarType::Boolean: return AsBoolean() ? 1.0 : 0.0;
    default: return 0.0;
  }
}

std::string VarToStr(const TVariant& v, const TFormatSettings& fs) {
  switch (v.Type()) {
    case TVarType::String: return v.AsString();
    case TVarType::WideString: return WideToAnsi(v.AsWide());
    case TVarType::Integer: return IntToStr(v.AsInteger());
    case TVarType::Float: return FloatToStr(v.AsFloat(), fs);
    case TVarType::DateTime: return DateTimeToStr(v.AsDateTime(), fs);
    case TVarType::Boolean: return v.AsBoolean() ? "True" : "False";
    default: return std::string();
  }
}

std::string VarToStr(const TVariant& v) { return VarToStr(v, DefaultFormatSettings()); }

std::u16string VarToWideStr(const TVariant& v, const TFormatSettings& fs) {
  switch (v.Type()) {
    case TVarType::WideString: return v.AsWide();
    case TVarType::Empty:
    case TVarType::Null: return std::u16string();
    default: return AnsiToWide(VarToStr(v, fs));
  }
}

std::u16string VarToWideStr(const TVariant& v) { return VarToWideStr(v, DefaultFormatSettings()); }
