// Random and mutated input through every text parser of the platform layer;
// run under the sanitizers this catches reads outside buffers and hangs.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "CodePage.h"
#include "DateTime.h"
#include "IniFile.h"
#include "SysUtils.h"

namespace {
std::string RandomText(std::mt19937& rng, const std::string& alphabet, size_t maxLen) {
  std::uniform_int_distribution<size_t> len(0, maxLen);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s(len(rng), ' ');
  for (char& c : s) c = alphabet[pick(rng)];
  return s;
}
std::string RandomBytes(std::mt19937& rng, size_t maxLen) {
  std::uniform_int_distribution<size_t> len(0, maxLen);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(len(rng), '\0');
  for (char& c : s) c = char(byte(rng));
  return s;
}
}  // namespace

TEST(HostileInput, NumberAndDateParsersNeverMisbehave) {
  std::mt19937 rng(1234);
  const TFormatSettings fs = TFormatSettings::UnitedStates();
  const std::string alphabet = "0123456789 .,:/-+eExX$AaPpMmT\t";
  for (int i = 0; i < 20000; ++i) {
    std::string s = RandomText(rng, alphabet, 24);
    double d;
    int32_t n;
    int64_t n64;
    TDateTime dt;
    if (TryStrToFloat(s, d, fs)) {
      EXPECT_FALSE(std::isnan(d)) << s;
    }
    TryStrToInt(s, n);
    TryStrToInt64(s, n64);
    if (TryStrToDateTime(s, dt, fs)) {
      // Whatever parses as a date prints as one.
      EXPECT_FALSE(DateTimeToStr(dt, fs).empty()) << s;
    }
    FormatDateTime(s, 45000.5, fs);
  }
}

TEST(HostileInput, CodePageDecodersAcceptAnyBytes) {
  std::mt19937 rng(99);
  for (int cp : {65001, 1252, 28591, 1251, 932, 936, 949, 950, 437, 1200, 20866, 50220, 99999}) {
    for (int i = 0; i < 300; ++i) {
      std::string bytes = RandomBytes(rng, 64);
      std::u16string w = DecodeBytes(bytes.data(), bytes.size(), cp);
      std::string back = WideToAnsi(w, cp);
      if (cp == 1252 || cp == 28591) {
        EXPECT_EQ(back, bytes);
      }
      std::string held = BytesToAnsi(bytes, cp);
      EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(Utf8ToUtf16(held))), Utf8ToUtf16(held));
    }
  }
}

TEST(HostileInput, IniParserKeepsEveryLine) {
  std::mt19937 rng(7);
  const std::string alphabet = "[]=;ab \r\n\"'x\xC3\xA9";
  for (int i = 0; i < 3000; ++i) {
    std::string text = RandomText(rng, alphabet, 80);
    TIniFile ini("/nonexistent/fuzz.ini");
    ini.LoadFromString(text);
    for (const auto& sec : ini.ReadSections())
      for (const auto& key : ini.ReadSection(sec)) ini.ReadInteger(sec, key, 0);
    // Parsing and saving again is stable.
    std::string saved = ini.SaveToString();
    TIniFile again("/nonexistent/fuzz.ini");
    again.LoadFromString(saved);
    EXPECT_EQ(again.SaveToString(), saved);
  }
}
