#include "CodePage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

std::atomic<int> gACPOverride{0};

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return s;
}

}  // namespace

int CodePageFromCharset(const std::string& codeset) {
  std::string n;
  for (char c : UpperAscii(codeset))
    if (c != '-' && c != '_') n += c;
  if (n.empty() || n == "UTF8" || n == "ANSIX3.41968" || n == "ASCII" || n == "USASCII") return CP_UTF8;
  // Latin-1 is a subset of 1252 in every printable character; Windows uses 1252 there.
  if (n == "ISO88591" || n == "ISO885915" || n == "LATIN1" || n == "CP1252") return 1252;
  if (n.rfind("ISO8859", 0) == 0) {
    int part = std::atoi(n.c_str() + 7);
    if (part >= 2 && part <= 16) return 28590 + part;
  }
  if (n.rfind("CP", 0) == 0 && n.size() > 2) {
    int cp = std::atoi(n.c_str() + 2);
    if (cp > 0) return cp;
  }
  if (n == "KOI8R") return 20866;
  if (n == "KOI8U") return 21866;
  if (n == "EUCJP" || n == "SHIFTJIS" || n == "SJIS") return 932;
  if (n == "GBK" || n == "GB2312" || n == "EUCCN") return 936;
  if (n == "GB18030") return 54936;
  if (n == "BIG5" || n == "BIG5HKSCS" || n == "EUCTW") return 950;
  if (n == "EUCKR") return 949;
  if (n == "TIS620") return 874;
  return CP_UTF8;
}

namespace {

int EnvironmentACP() {
  if (const char* env = std::getenv("VARNOWE_CODEPAGE")) {
    int cp = std::atoi(env);
    if (cp > 0) return cp;
  }
  // The environment's locale, without touching the process locale.
  locale_t loc = newlocale(LC_CTYPE_MASK, "", locale_t(0));
  if (!loc) return CP_UTF8;
  std::string codeset = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return CodePageFromCharset(codeset);
}

bool IsDoubleByte(int cp) {
  switch (cp) {
    case 932: case 936: case 949: case 950: case 1361: case 20932: case 20936: case 51932: case 51936:
    case 51949: case 54936: case 65000: case CP_UTF8: case 1200: case 1201: case 12000: case 12001:
      return true;
    default:
      return false;
  }
}

// Windows-1252 0x80..0x9F. The five undefined bytes map to the C1 control of
// the same number, as Windows does, so nothing is lost on a round trip.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char Cp1252FromWide(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return char(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c) return char(0x80 + i);
  return '?';
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += char16_t(c);
  } else {
    c -= 0x10000;
    out += char16_t(0xD800 + (c >> 10));
    out += char16_t(0xDC00 + (c & 0x3FF));
  }
}

// Index-based form of NextUtf8CodePoint for the loops below.
char32_t NextUtf8(const unsigned char* s, size_t n, size_t& i) {
  const uint8_t* p = s + i;
  char32_t c = NextUtf8CodePoint(p, s + n);
  i = size_t(p - s);
  return c;
}

// Code pages whose bytes below 0x80 are ASCII characters.
bool IsAsciiCompatible(int cp) {
  switch (cp) {
    case 1200: case 1201: case 12000: case 12001: case 65000:
    case 37: case 500: case 875: case 1026: case 1047: case 20273: case 20277: case 20278: case 20280:
    case 20284: case 20285: case 20290: case 20297: case 20420: case 20423: case 20424: case 20833:
    case 20838: case 20871: case 20880: case 20905: case 20924: case 21025:
      return false;  // EBCDIC
    default:
      if (cp >= 50220 && cp <= 50229) return false;     // ISO-2022 escapes
      if (cp >= 1140 && cp <= 1149) return false;       // EBCDIC
      return true;
  }
}


std::string IconvName(int cp) {
  switch (cp) {
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 12000: return "UTF-32LE";
    case 12001: return "UTF-32BE";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 20932: case 51932: return "EUC-JP";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 65000: return "UTF-7";
    case 10000: return "MACINTOSH";
    case 10007: return "MAC-CYRILLIC";
    case 10029: return "MAC-CENTRALEUROPE";
    case 10079: return "MAC-IS";
    case 10017: return "MACUKRAINIAN";
    case 1361: return "JOHAB";
    case 37: return "IBM037";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 50225: return "ISO-2022-KR";
    case 50227: return "ISO-2022-CN";
    default:
      if (cp >= 1140 && cp <= 1149) return "IBM0" + std::to_string(cp);
      if (cp >= 20273 && cp <= 20871) return "IBM" + std::to_string(cp - 20000);
      if (cp == 500 || cp == 875 || cp == 1026 || cp == 1047) return "IBM" + std::to_string(cp);
      if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
      return "CP" + std::to_string(cp);
  }
}

// iconv descriptors per thread, opened on first use.
struct TIconvCache {
  std::map<std::pair<int, bool>, iconv_t> Map;
  ~TIconvCache() {
    for (auto& [k, cd] : Map)
      if (cd != iconv_t(-1)) iconv_close(cd);
  }
  iconv_t Get(int cp, bool toWide) {
    auto key = std::make_pair(cp, toWide);
    auto it = Map.find(key);
    if (it != Map.end()) return it->second;
    std::string name = IconvName(cp);
    iconv_t cd = toWide ? iconv_open("UTF-16LE", name.c_str()) : iconv_open(name.c_str(), "UTF-16LE");
    Map[key] = cd;
    return cd;
  }
};
thread_local TIconvCache tIconv;

std::u16string IconvToWide(const char* data, size_t size, int cp) {
  iconv_t cd = tIconv.Get(cp, true);
  std::u16string out;
  if (cd == iconv_t(-1)) {
    // Unknown code page: keep ASCII, mark the rest.
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) out += (unsigned char)data[i] < 0x80 ? char16_t(data[i]) : char16_t(0xFFFD);
    return out;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.reserve(size);
  char* in = const_cast<char*>(data);
  size_t inLeft = size;
  char16_t buf[1024];
  while (inLeft > 0) {
    char* o = reinterpret_cast<char*>(buf);
    size_t oLeft = sizeof(buf);
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    size_t produced = (sizeof(buf) - oLeft) / 2;
    for (size_t k = 0; k < produced; ++k) {
      const auto* b = reinterpret_cast<const unsigned char*>(buf + k);
      out += char16_t(b[0] | (b[1] << 8));
    }
    if (r == size_t(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or a sequence cut short at the end: one replacement, skip a byte.
      out += char16_t(0xFFFD);
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  // Windows-1255 and 1258 hold back the last character, waiting for a
  // combining mark; it comes out only on the final flush.
  char* o = reinterpret_cast<char*>(buf);
  size_t oLeft = sizeof(buf);
  if (iconv(cd, nullptr, nullptr, &o, &oLeft) != size_t(-1)) {
    for (size_t k = 0; k < (sizeof(buf) - oLeft) / 2; ++k) {
      const auto* b = reinterpret_cast<const unsigned char*>(buf + k);
      out += char16_t(b[0] | (b[1] << 8));
    }
  }
  return out;
}

std::string IconvFromWide(const std::u16string& s, int cp) {
  iconv_t cd = tIconv.Get(cp, false);
  std::string out;
  if (cd == iconv_t(-1)) {
    for (char16_t c : s) out += c < 0x80 ? char(c) : '?';
    return out;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string le;
  le.resize(s.size() * 2);
  for (size_t i = 0; i < s.size(); ++i) {
    le[2 * i] = char(s[i] & 0xFF);
    le[2 * i + 1] = char(s[i] >> 8);
  }
  char* in = le.data();
  size_t inLeft = le.size();
  out.reserve(s.size());
  char buf[2048];
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof(buf);
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, sizeof(buf) - oLeft);
    if (r == size_t(-1)) {
      if (errno == E2BIG) continue;
      // A character the target cannot hold (or a lone surrogate): "?".
      out += '?';
      size_t skip = 2;
      if (inLeft >= 4) {
        char16_t u = char16_t((unsigned char)in[0] | ((unsigned char)in[1] << 8));
        char16_t u2 = char16_t((unsigned char)in[2] | ((unsigned char)in[3] << 8));
        if (u >= 0xD800 && u <= 0xDBFF && u2 >= 0xDC00 && u2 <= 0xDFFF) skip = 4;
      }
      if (skip > inLeft) skip = inLeft;
      in += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  // Flush any shift state (stateful encodings).
  char* o = buf;
  size_t oLeft = sizeof(buf);
  iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buf, sizeof(buf) - oLeft);
  return out;
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    if (p[i] < 0x80) { ++i; continue; }
    size_t before = i;
    char32_t c = NextUtf8(p, n, i);
    // U+FFFD is valid only where the text really holds it.
    if (c == 0xFFFD && !(i - before == 3 && p[before] == 0xEF && p[before + 1] == 0xBF && p[before + 2] == 0xBD))
      return false;
  }
  return true;
}

int GetACP() {
  int over = gACPOverride.load(std::memory_order_relaxed);
  if (over > 0) return over;
  static const int acp = EnvironmentACP();
  return acp;
}

int GetOEMCP() {
  static const int oem = [] {
    if (const char* env = std::getenv("VARNOWE_OEMCP")) {
      int cp = std::atoi(env);
      if (cp > 0) return cp;
    }
    return 437;
  }();
  return oem;
}

void SetACPOverride(int codePage) { gACPOverride.store(codePage > 0 ? codePage : 0); }

namespace {

// Copies the ASCII at p to the end of out in one step (texts of megabytes
// pass here); false when p holds none.
template <class Unit, class Text>
bool AppendAsciiRun(const Unit*& p, const Unit* end, Text& out) {
  const Unit* run = p;
  while (p < end && *p < 0x80) ++p;
  if (p == run) return false;
  const size_t at = out.size();
  out.resize(at + size_t(p - run));
  std::copy(run, p, out.data() + at);
  return true;
}

}  // namespace

std::string Utf16ToUtf8(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  const char16_t* p = s.data();
  const char16_t* end = p + s.size();
  while (p < end) {
    if (AppendAsciiRun(p, end, out)) continue;
    char32_t c = *p++;
    if (c >= 0xD800 && c <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // lone surrogate
    }
    AppendUtf8(out, c);
  }
  return out;
}

char32_t NextUtf8CodePoint(const uint8_t*& p, const uint8_t* end) {
  uint8_t lead = *p++;
  if (lead < 0x80) return lead;
  int more;
  char32_t cp;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0xFFFD;
  }
  for (int i = 0; i < more; ++i) {
    if (p >= end) return 0xFFFD;
    uint8_t c = *p;
    if (c < lo || c > hi) return 0xFFFD;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (c & 0x3F);
    ++p;
  }
  return cp;
}

void AppendUtf8AsUtf16(const char* data, size_t size, std::u16string& out) {
  const auto* p = reinterpret_cast<const uint8_t*>(data);
  const uint8_t* end = p + size;
  while (p < end) {
    if (AppendAsciiRun(p, end, out)) continue;
    AppendUtf16(out, NextUtf8CodePoint(p, end));
  }
}

std::u16string Utf8ToUtf16(const std::string& s) { return DecodeBytes(s.data(), s.size(), CP_UTF8); }

std::u16string DecodeBytes(const void* data, size_t size, int codePage) {
  const char* p = static_cast<const char*>(data);
  if (size == 0) return {};
  switch (codePage) {
    case CP_UTF8: {
      std::u16string out;
      out.reserve(size);
      AppendUtf8AsUtf16(p, size, out);
      return out;
    }
    case CP_WINDOWS_1252: {
      std::u16string out(size, u'\0');
      for (size_t i = 0; i < size; ++i) {
        unsigned char b = (unsigned char)p[i];
        out[i] = (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : char16_t(b);
      }
      return out;
    }
    case CP_LATIN1: {
      std::u16string out(size, u'\0');
      for (size_t i = 0; i < size; ++i) out[i] = char16_t((unsigned char)p[i]);
      return out;
    }
    case 1200: {
      std::u16string out(size / 2, u'\0');
      for (size_t i = 0; i < size / 2; ++i)
        out[i] = char16_t((unsigned char)p[2 * i] | ((unsigned char)p[2 * i + 1] << 8));
      if (size % 2) out += char16_t(0xFFFD);
      return out;
    }
    default:
      return IconvToWide(p, size, codePage);
  }
}

std::u16string AnsiToWide(const std::string& s, int codePage) { return DecodeBytes(s.data(), s.size(), codePage); }
std::u16string AnsiToWide(const std::string& s) { return AnsiToWide(s, GetACP()); }

std::string WideToAnsi(const std::u16string& s, int codePage) {
  switch (codePage) {
    case CP_UTF8:
      return Utf16ToUtf8(s);
    case CP_WINDOWS_1252:
    case CP_LATIN1: {
      std::string out(s.size(), '\0');
      size_t k = 0;
      for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
        if (codePage == CP_LATIN1)
          out[k++] = c <= 0xFF ? char(c) : '?';
        else
          out[k++] = Cp1252FromWide(c);
      }
      out.resize(k);
      return out;
    }
    case 1200: {
      std::string out(s.size() * 2, '\0');
      for (size_t i = 0; i < s.size(); ++i) {
        out[2 * i] = char(s[i] & 0xFF);
        out[2 * i + 1] = char(s[i] >> 8);
      }
      return out;
    }
    default:
      return IconvFromWide(s, codePage);
  }
}
std::string WideToAnsi(const std::u16string& s) { return WideToAnsi(s, GetACP()); }

std::string BytesToAnsi(const void* data, size_t size, int codePage) {
  int acp = GetACP();
  std::string raw(static_cast<const char*>(data), size);
  bool pureAscii = true;
  for (unsigned char c : raw)
    if (c >= 0x80) {
      pureAscii = false;
      break;
    }
  // ASCII is the same in every code page we hold text in.
  if (pureAscii && IsAsciiCompatible(codePage) && IsAsciiCompatible(acp)) return raw;
  if (codePage == acp) {
    // Same code page; UTF-8 is still checked so bad bytes never pass through.
    if (acp != CP_UTF8 || IsValidUtf8(raw)) return raw;
  }
  if (codePage == CP_LATIN1 && acp == CP_WINDOWS_1252) {
    bool c1 = false;
    for (unsigned char c : raw)
      if (c >= 0x80 && c < 0xA0) c1 = true;
    if (!c1) return raw;
  }
  return WideToAnsi(DecodeBytes(data, size, codePage), acp);
}

std::string AnsiToUtf8(const std::string& s) {
  int acp = GetACP();
  if (acp == CP_UTF8) return s;
  return Utf16ToUtf8(AnsiToWide(s, acp));
}

std::string Utf8ToAnsi(const std::string& s) {
  int acp = GetACP();
  if (acp == CP_UTF8) return s;
  return WideToAnsi(Utf8ToUtf16(s), acp);
}

std::string CodePageName(int codePage) {
  switch (codePage) {
    case CP_UTF8: return "utf-8";
    case 65000: return "utf-7";
    case 1200: return "utf-16";
    case 1201: return "utf-16BE";
    case 20127: return "us-ascii";
    case 932: return "shift_jis";
    case 936: return "gb2312";
    case 949: return "ks_c_5601-1987";
    case 950: return "big5";
    case 54936: return "GB18030";
    case 20866: return "koi8-r";
    case 21866: return "koi8-u";
    case 20932: case 51932: return "euc-jp";
    case 51949: return "euc-kr";
    case 437: return "IBM437";
    case 850: return "ibm850";
    case 852: return "ibm852";
    case 866: return "cp866";
    case 874: return "windows-874";
    case 10000: return "macintosh";
    default:
      if (codePage >= 28591 && codePage <= 28606) return "iso-8859-" + std::to_string(codePage - 28590);
      return "windows-" + std::to_string(codePage);
  }
}

size_t AnsiCharCount(const std::string& s) {
  int acp = GetACP();
  if (acp == CP_UTF8) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0, count = 0;
    while (i < n) {
      if (p[i] < 0x80) ++i;
      else NextUtf8(p, n, i);
      ++count;
    }
    return count;
  }
  if (!IsDoubleByte(acp)) return s.size();
  std::u16string w = AnsiToWide(s, acp);
  size_t count = 0;
  for (size_t i = 0; i < w.size(); ++i)
    if (!(w[i] >= 0xDC00 && w[i] <= 0xDFFF && i > 0 && w[i - 1] >= 0xD800 && w[i - 1] <= 0xDBFF)) ++count;
  return count;
}
