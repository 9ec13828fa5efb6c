#include "QXIXML.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

#include "CodePage.h"

// ---------------------------------------------------------------------------
// Nodes

void TQXXMLItems::Remove(TQXXMLItem* node) {
  // Nodes are mostly freed right after they were added: search from the back.
  for (size_t i = FItems.size(); i-- > 0;) {
    if (FItems[i].get() == node) {
      FItems.erase(FItems.begin() + std::ptrdiff_t(i));
      return;
    }
  }
}

struct TQXXMLNodePool {
  static constexpr size_t MaxKept = 1024;
  std::vector<TQXXMLItem*> Kept;
  ~TQXXMLNodePool() {
    for (TQXXMLItem* n : Kept) delete n;
  }
  TQXXMLItem* Take() {
    if (Kept.empty()) return new TQXXMLItem();
    TQXXMLItem* n = Kept.back();
    Kept.pop_back();
    return n;
  }
  // Emptied, but its texts keep their room for the next element.
  void Give(TQXXMLItem* n) {
    if (n->FCounter) --*n->FCounter;
    n->FCounter = nullptr;
    n->Items.Clear();
    if (Kept.size() >= MaxKept) {
      delete n;
      return;
    }
    n->Kind = ikProperty;
    n->TagName.clear();
    n->Value = TVariant();
    n->AttributeText.clear();
    n->FParent = nullptr;
    n->FLevel = 0;
    n->FRawContent = false;
    Kept.push_back(n);
  }
};

void TQXXMLItemDeleter::operator()(TQXXMLItem* node) const {
  if (node->FPool) node->FPool->Give(node);
  else delete node;
}

TQXXMLItem* TQXXMLItem::AddChild() {
  TQXXMLItem* node = FPool ? FPool->Take() : new TQXXMLItem();
  node->FParent = this;
  node->FLevel = FLevel + 1;
  node->FCodePage = FCodePage;
  node->FCounter = FCounter;
  node->FPool = FPool;
  if (FCounter) ++*FCounter;
  Items.FItems.emplace_back(node);
  return node;
}

void TQXXMLItem::Free() {
  if (FParent) {
    FParent->Items.Remove(this);  // destroys this
    return;
  }
  Items.Clear();
  TagName.clear();
  Value = TVariant();
  AttributeText.clear();
}

std::u16string TQXXMLItem::ValueText() const {
  switch (Value.Type()) {
    case TVarType::WideString: return Value.AsWide();
    case TVarType::String: return AnsiToWide(Value.AsString());
    case TVarType::Empty:
    case TVarType::Null: return std::u16string();
    default: return VarToWideStr(Value);
  }
}

// ---------------------------------------------------------------------------
// Text decoding

namespace {

void AppendCodePoint(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

struct TEntityName {
  std::u16string_view Name;
  std::u16string_view Text;
};
// The XML entities and the names the old table knew, with its replacements.
constexpr TEntityName EntityNames[] = {
    {u"amp", u"&"},     {u"lt", u"<"},       {u"gt", u">"},      {u"quot", u"\""}, {u"apos", u"'"},
    {u"brvbar", u"|"},  {u"deg", u"\u00B0"}, {u"plusmn", u"+"},  {u"para", u"\u00B6"},
    {u"copy", u"c"},    {u"trade", u"T"},    {u"nbsp", u""},     {u"car", u"\n"},  {u"ret", u"\r"},
};

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

void DecodeXMLEntitiesInPlace(std::u16string& text) {
  size_t amp = text.find(u'&');
  if (amp == std::u16string::npos) return;
  std::u16string out;
  out.reserve(text.size());
  out.append(text, 0, amp);
  size_t i = amp;
  const size_t n = text.size();
  while (i < n) {
    char16_t c = text[i];
    if (c != u'&') {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool done = false;
    if (j < n && text[j] == u'#') {
      ++j;
      bool hex = j < n && (text[j] == u'x' || text[j] == u'X');
      if (hex) ++j;
      uint32_t cp = 0;
      size_t digits = 0;
      while (j < n && digits < 9) {
        int d = hex ? HexDigit(text[j]) : (text[j] >= u'0' && text[j] <= u'9' ? text[j] - u'0' : -1);
        if (d < 0) break;
        cp = cp * (hex ? 16 : 10) + uint32_t(d);
        ++digits;
        ++j;
      }
      if (digits > 0 && cp > 0 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
        if (j < n && text[j] == u';') ++j;
        if (cp >= 0x10000) {
          cp -= 0x10000;
          out.push_back(char16_t(0xD800 + (cp >> 10)));
          out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
          out.push_back(char16_t(cp));
        }
        i = j;
        done = true;
      }
    } else {
      std::u16string_view rest(text.data() + j, n - j);
      for (const auto& e : EntityNames) {
        if (rest.substr(0, e.Name.size()) == e.Name) {
          j += e.Name.size();
          if (j < n && text[j] == u';') ++j;
          out.append(e.Text);
          i = j;
          done = true;
          break;
        }
      }
    }
    if (!done) {
      out.push_back(c);
      ++i;
    }
  }
  text.swap(out);
}

std::u16string DecodeXMLEntities(const std::u16string& text) {
  std::u16string s = text;
  DecodeXMLEntitiesInPlace(s);
  return s;
}

bool FindXMLAttribute(const std::u16string& a, const char* name, std::u16string& value, bool matchLocal) {
  const size_t nameLen = std::strlen(name);
  bool found = false;
  ForEachXMLAttribute(a, [&](std::u16string_view n, std::u16string_view v) {
    if (matchLocal) {
      size_t colon = n.rfind(u':');
      if (colon != std::u16string_view::npos) n.remove_prefix(colon + 1);
    }
    if (n.size() != nameLen) return true;
    for (size_t k = 0; k < nameLen; ++k)
      if (n[k] != char16_t(uint8_t(name[k]))) return true;
    value.assign(v);
    found = true;
    return false;
  });
  if (!found) value.clear();
  return found;
}

// ---------------------------------------------------------------------------
// Elements read from bytes in hand

const std::array<bool, 256> XMLNameChars = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[size_t(c)] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                   c == ':' || c == '-' || c == '!' || c == '?' || c == '.' || c >= 0x80;
  return t;
}();

bool XMLLocalNameIs(std::string_view name, std::string_view local) {
  if (name.size() == local.size()) return name == local;
  return name.size() > local.size() && name[name.size() - local.size() - 1] == ':' && XMLLocalName(name) == local;
}

const char* TQXXMLScan::FindFar(const char* p, char c) {
  const void* hit = p < End ? std::memchr(p, c, size_t(End - p)) : nullptr;
  if (hit) return static_cast<const char*>(hit);
  Short = true;
  return End;
}

bool TQXXMLScan::SkipContent(const char*& p) {
  int64_t depth = 1;
  while (depth > 0) {
    p = Find(p, '<');
    if (End - p < 2) return Short = true, false;
    if (p[1] == '!' || p[1] == '?') return false;
    if (p[1] == '/') {
      p = Find(p, '>');
      if (p == End) return false;
      ++p;
      --depth;
      continue;
    }
    const char* q = p + 1;
    if (!TagEnd(q)) return false;
    if (!(q - 1 > p + 1 && q[-2] == '/')) ++depth;
    p = q;
  }
  return true;
}


// ---------------------------------------------------------------------------
// The byte source: a window over the stream, refilled as the scan moves on.
// UTF-16 input is turned into UTF-8 on the way in; a NUL ends the text.

class TQXXMLEngine::Source {
 public:
  static constexpr size_t Chunk = 1 << 16;

  Source(TStream* s, int64_t limit) : FStream(s), FLeft(limit) {}

  bool Utf16() const { return FMode != 0; }

  bool More() {
    if (FEnd) return false;
    if (FPos > 0) {
      FBuf.erase(0, FPos);
      FBase += int64_t(FPos);
      FPos = 0;
    }
    const size_t old = FBuf.size();
    while (FBuf.size() == old && !FEnd) {
      FRaw.resize(FRawKeep + Chunk);
      int64_t want = int64_t(Chunk);
      if (FLeft >= 0) want = std::min<int64_t>(want, FLeft);
      int64_t k = want > 0 ? FStream->Read(FRaw.data() + FRawKeep, want) : 0;
      const bool eof = k <= 0;
      if (!eof && FLeft >= 0) FLeft -= k;
      size_t len = FRawKeep + (eof ? 0 : size_t(k));
      size_t start = 0;
      if (eof) {
        FEnd = true;
        if (FStarted || len == 0) break;  // a lone odd byte of UTF-16 is dropped
      }
      if (!FStarted) {
        if (len < 4 && !eof) {
          FRawKeep = len;
          continue;
        }
        FStarted = true;
        const auto* b = reinterpret_cast<const uint8_t*>(FRaw.data());
        if (len >= 2 && b[0] == 0xFF && b[1] == 0xFE) { FMode = 1; start = 2; }
        else if (len >= 2 && b[0] == 0xFE && b[1] == 0xFF) { FMode = 2; start = 2; }
        else if (len >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) start = 3;
        else if (len >= 4 && b[0] == '<' && b[1] == 0 && b[2] == '?' && b[3] == 0) FMode = 1;
        else if (len >= 4 && b[0] == 0 && b[1] == '<' && b[2] == 0 && b[3] == '?') FMode = 2;
      }
      if (FMode == 0) {
        const char* p = FRaw.data() + start;
        size_t m = len - start;
        const void* nul = std::memchr(p, 0, m);
        if (nul) {
          m = size_t(static_cast<const char*>(nul) - p);
          FEnd = true;
        }
        FBuf.append(p, m);
        FRawKeep = 0;
      } else {
        size_t i = start;
        const auto* b = reinterpret_cast<const uint8_t*>(FRaw.data());
        for (; i + 1 < len; i += 2) {
          uint32_t u = FMode == 1 ? uint32_t(b[i] | (b[i + 1] << 8)) : uint32_t((b[i] << 8) | b[i + 1]);
          if (u == 0) {
            FEnd = true;
            break;
          }
          if (FHigh) {
            if (u >= 0xDC00 && u <= 0xDFFF) {
              AppendCodePoint(0x10000 + ((FHigh - 0xD800) << 10) + (u - 0xDC00), FBuf);
              FHigh = 0;
              continue;
            }
            AppendCodePoint(0xFFFD, FBuf);
            FHigh = 0;
          }
          if (u >= 0xD800 && u <= 0xDBFF) FHigh = u;
          else if (u >= 0xDC00 && u <= 0xDFFF) AppendCodePoint(0xFFFD, FBuf);
          else AppendCodePoint(u, FBuf);
        }
        FRawKeep = 0;
        if (!FEnd && i < len) {
          FRaw[0] = FRaw[i];
          FRawKeep = 1;
        }
      }
    }
    return FBuf.size() > old;
  }

  int Peek() {
    if (FPos < FBuf.size()) return uint8_t(FBuf[FPos]);
    if (!More()) return -1;
    return uint8_t(FBuf[FPos]);
  }
  void Skip(size_t n) { FPos += n; }
  int64_t Offset() const { return FBase + int64_t(FPos); }
  const char* Data() const { return FBuf.data() + FPos; }
  size_t Size() const { return FBuf.size() - FPos; }
  bool Ensure(size_t n) {
    while (FBuf.size() - FPos < n)
      if (!More()) return false;
    return true;
  }
  bool StartsWith(std::string_view s) {
    return Ensure(s.size()) && std::memcmp(FBuf.data() + FPos, s.data(), s.size()) == 0;
  }

  // Up to the next "<" (not consumed).
  void ReadText(std::string* out) {
    for (;;) {
      const char* p = FBuf.data() + FPos;
      size_t m = FBuf.size() - FPos;
      const void* lt = m ? std::memchr(p, '<', m) : nullptr;
      if (lt) {
        size_t k = size_t(static_cast<const char*>(lt) - p);
        if (out) out->append(p, k);
        FPos += k;
        return;
      }
      if (out) out->append(p, m);
      FPos += m;
      if (!More()) return;
    }
  }

  // Past the next occurrence of seq; what lies before it goes to out.
  bool SkipPast(std::string_view seq, std::string* out) {
    for (;;) {
      std::string_view view(FBuf.data() + FPos, FBuf.size() - FPos);
      size_t at = view.find(seq);
      if (at != std::string_view::npos) {
        if (out) out->append(view.data(), at);
        FPos += at + seq.size();
        return true;
      }
      size_t keep = std::min(view.size(), seq.size() - 1);
      size_t take = view.size() - keep;
      if (out) out->append(view.data(), take);
      FPos += take;
      if (!More()) {
        if (out) out->append(FBuf.data() + FPos, FBuf.size() - FPos);
        FPos = FBuf.size();
        return false;
      }
    }
  }

  static bool NameChar(int c) { return XMLNameChar(char(c)); }

  void ReadName(std::string& out) {
    for (;;) {
      const size_t start = FPos;
      while (FPos < FBuf.size() && NameChar(uint8_t(FBuf[FPos]))) ++FPos;
      out.append(FBuf, start, FPos - start);
      if (FPos < FBuf.size() || !More()) return;
    }
  }

  // Up to the ">" that ends the start tag outside quotes; a "/" right before
  // it makes the element empty. False when the text ended first.
  bool ReadAttributes(std::string& out, bool& selfClosing) {
    char quote = 0;
    for (;;) {
      if (FPos >= FBuf.size() && !More()) return false;
      const char* p = FBuf.data() + FPos;
      const char* e = FBuf.data() + FBuf.size();
      const char* q = p;
      bool done = false;
      for (; q < e; ++q) {
        const char c = *q;
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          done = true;
          break;
        }
      }
      out.append(p, size_t(q - p));
      FPos += size_t(q - p);
      if (done) {
        ++FPos;
        selfClosing = !out.empty() && out.back() == '/';
        if (selfClosing) out.pop_back();
        return true;
      }
    }
  }

  // A "<!DOCTYPE ...>" or similar, with an internal subset in brackets.
  void SkipDeclaration() {
    int depth = 0;
    char quote = 0;
    for (int c = Peek(); c >= 0; c = Peek()) {
      ++FPos;
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = char(c);
      } else if (c == '[') {
        ++depth;
      } else if (c == ']') {
        if (depth > 0) --depth;
      } else if (c == '>' && depth == 0) {
        return;
      }
    }
  }

  // The content and end tag of an element whose start tag was just read;
  // false when the text ends first.
  bool SkipElement() {
    std::string scratch;
    int64_t depth = 1;
    while (depth > 0) {
      ReadText(nullptr);
      if (Peek() != '<') return false;
      ++FPos;
      if (StartsWith("!--")) {
        SkipPast("-->", nullptr);
      } else if (StartsWith("![CDATA[")) {
        SkipPast("]]>", nullptr);
      } else if (Peek() == '?') {
        SkipPast("?>", nullptr);
      } else if (Peek() == '!') {
        SkipDeclaration();
      } else if (Peek() == '/') {
        if (!SkipPast(">", nullptr)) return false;
        --depth;
      } else {
        scratch.clear();
        bool empty = false;
        if (!ReadAttributes(scratch, empty)) return false;
        if (!empty) ++depth;
      }
    }
    return true;
  }

 private:
  TStream* FStream;
  int64_t FLeft;  // bytes still to read; -1 without limit
  std::string FBuf;
  size_t FPos = 0;
  int64_t FBase = 0;  // bytes dropped from the front of FBuf
  std::string FRaw;
  size_t FRawKeep = 0;
  uint32_t FHigh = 0;
  int FMode = 0;  // 0 bytes, 1 UTF-16LE, 2 UTF-16BE
  bool FStarted = false;
  bool FEnd = false;
};

const char* TQXXMLRawText::Data() const { return FSource.Data(); }
size_t TQXXMLRawText::Size() const { return FSource.Size(); }
bool TQXXMLRawText::More() { return FSource.More(); }
void TQXXMLRawText::Consume(size_t n) { FSource.Skip(std::min(n, FSource.Size())); }

// ---------------------------------------------------------------------------
// Engine

TQXXMLEngine::TQXXMLEngine() : FPool(std::make_unique<TQXXMLNodePool>()), FRoot(std::make_unique<TQXXMLItem>()) {
  FRoot->FCounter = &FLive;
  FRoot->FPool = FPool.get();
}
TQXXMLEngine::~TQXXMLEngine() = default;

void TQXXMLEngine::Decode(const char* data, size_t size, std::u16string& out) const {
  if (FCodePage != CP_UTF8) {
    out = DecodeBytes(data, size, FCodePage);
    return;
  }
  DecodeXMLUtf8(data, size, out);
}

void DecodeXMLUtf8(const char* data, size_t size, std::u16string& out) {
  // Mostly ASCII: widen byte by byte until the first multi-byte sequence.
  out.resize(size);
  size_t i = 0;
  for (; i < size && uint8_t(data[i]) < 0x80; ++i) out[i] = char16_t(uint8_t(data[i]));
  if (i == size) return;
  out.resize(i);
  AppendUtf8AsUtf16(data + i, size - i, out);
}

void TQXXMLEngine::SetEncoding(const std::u16string& wname) {
  if (FForcedUtf8) return;
  std::string n;
  for (char16_t c : wname) n.push_back(c < 0x80 ? char(std::tolower(int(c))) : '?');
  auto num = [&](size_t from) {
    int v = 0;
    for (size_t i = from; i < n.size() && v < 100000; ++i) {
      if (n[i] < '0' || n[i] > '9') return 0;
      v = v * 10 + (n[i] - '0');
    }
    return v;
  };
  int cp = 0;
  if (n.empty() || n == "utf-8" || n == "utf8" || n.rfind("utf-16", 0) == 0 || n == "us-ascii" || n == "ascii")
    cp = CP_UTF8;
  else if (n == "iso-8859-1" || n == "latin1" || n == "iso_8859-1" || n == "latin-1")
    cp = CP_LATIN1;
  else if (n.rfind("iso-8859-", 0) == 0 && num(9) > 0)
    cp = 28590 + num(9);
  else if (n.rfind("windows-", 0) == 0)
    cp = num(8);
  else if (n.rfind("cp", 0) == 0)
    cp = num(2);
  else if (n == "shift_jis" || n == "shift-jis" || n == "sjis")
    cp = 932;
  else if (n == "gb2312" || n == "gbk")
    cp = 936;
  else if (n == "big5")
    cp = 950;
  else if (n == "euc-kr")
    cp = 949;
  FCodePage = cp > 0 ? cp : GetACP();
}

void TQXXMLEngine::LoadFromStream(TStream* stream, int64_t endPosition) {
  FRoot->Free();
  FCodePage = CP_UTF8;
  FForcedUtf8 = false;
  FOverflowed = false;
  FResult = TQXXMLParseResult();
  if (!stream) return;
  int64_t limit = -1;
  if (endPosition > 0) limit = std::max<int64_t>(0, endPosition - stream->Position());
  Source src(stream, limit);
  Run(src);
}

void TQXXMLEngine::Parse(const char* text, size_t length) {
  TCustomMemoryStream s(text, int64_t(length));
  LoadFromStream(&s, 0);
}

bool TQXXMLEngine::Close(TQXXMLItem*& cur, bool& rootDone) {
  TQXXMLItem* closed = cur;
  cur = cur->FParent;
  if (!cur) rootDone = true;
  if (!OnAfterTag) return true;
  bool cancel = false;
  TQXXMLItem* node = closed;
  OnAfterTag(this, node, cancel);
  return !cancel;
}

namespace {
void SetOrAppend(TVariant& v, std::u16string&& text) {
  if (v.Type() == TVarType::WideString) v = TVariant(v.AsWide() + text);
  else v = TVariant(std::move(text));
}
}  // namespace

void TQXXMLEngine::ReadTail(Source& src, TQXXMLItem* cur) {
  if (!KeepTailText || !cur) {
    src.ReadText(nullptr);
    return;
  }
  FTail.clear();
  src.ReadText(&FTail);
  if (FTail.empty()) return;
  std::u16string wide;
  Decode(FTail.data(), FTail.size(), wide);
  SetOrAppend(cur->Value, std::move(wide));
}

void TQXXMLEngine::Run(Source& src) {
  TQXXMLItem* cur = nullptr;
  bool rootDone = false;
  bool rootUsed = false;
  std::string name, attrs, value;
  std::u16string wide;
  // The text ended inside an element, or inside the tag of one.
  auto unclosed = [&](const std::string& element) {
    FResult.Status = psUnclosed;
    FResult.Element = element;
  };
  auto cancelled = [&] {
    FResult.Status = psCancelled;
    FResult.Offset = src.Offset();
  };
  // Damage the parse goes on over: the first one is kept.
  auto noted = [&](TQXXMLParseStatus status, const std::string& element) {
    if (FResult.Status != psComplete) return;
    FResult.Status = status;
    FResult.Element = element;
    FResult.Offset = src.Offset();
  };
  // The declaration node stays current after the document element closed.
  bool declaration = false;
  auto inElement = [&] { return cur && !(declaration && cur == FRoot.get()); };

  src.ReadText(nullptr);
  if (src.Utf16()) FForcedUtf8 = true;
  while (src.Peek() == '<') {
    if (cur && cur->FRawContent && OnRawContent) {
      const int64_t before = src.Offset();
      TQXXMLRawText raw(src);
      OnRawContent(this, cur, raw);
      if (src.Offset() != before) {
        ReadTail(src, cur);
        continue;
      }
    }
    src.Skip(1);
    int c = src.Peek();
    if (c < 0) break;
    if (c == '!') {
      if (src.StartsWith("!--")) {
        src.Skip(3);
        value.clear();
        src.SkipPast("-->", &value);
        if (cur && cur->FLevel < MaxDepth && FLive < MaxItems) {
          bool accept = true;
          Decode(value.data(), value.size(), FValueW);
          if (OnTag) {
            FAttrW.clear();
            OnTag(this, cur, "Comment", FValueW, FAttrW, accept);
          }
          if (accept) {
            TQXXMLItem* node = cur->AddChild();
            node->Kind = ikComment;
            node->TagName = "Comment";
            node->Value = TVariant(FValueW);
          }
        }
      } else if (src.StartsWith("![CDATA[")) {
        src.Skip(8);
        value.clear();
        src.SkipPast("]]>", &value);
        src.ReadText(&value);
        if (cur && !value.empty()) {
          wide.clear();
          Decode(value.data(), value.size(), wide);
          SetOrAppend(cur->Value, std::move(wide));
        }
        continue;
      } else {
        src.SkipDeclaration();
      }
      ReadTail(src, cur);
      continue;
    }
    if (c == '?') {
      name.clear();
      src.ReadName(name);
      attrs.clear();
      src.SkipPast("?>", &attrs);
      if (!cur && !rootUsed && (name == "?xml" || name == "?XML")) {
        rootUsed = true;
        FRoot->TagName = name;
        FRoot->Kind = ikProperty;
        FRoot->AttributeText = attrs;
        FRoot->FCodePage = CP_UTF8;
        std::u16string enc = AttributeValue(FRoot.get(), "encoding");
        SetEncoding(enc);
        FRoot->FCodePage = FCodePage;
        cur = FRoot.get();
        declaration = true;
        src.ReadText(nullptr);
        continue;
      }
      ReadTail(src, cur);
      continue;
    }
    if (c == '/') {
      src.Skip(1);
      name.clear();
      src.ReadName(name);
      // An end tag cut short still ends its element: everything in it was read.
      src.SkipPast(">", nullptr);
      // An end tag that names an enclosing element closes the ones inside it
      // too; one that names no open element is stray and changes nothing.
      int depth = 0;
      bool found = name.empty();
      for (TQXXMLItem* n = cur; !found && n && !(declaration && n == FRoot.get()); n = n->FParent, ++depth)
        found = n->TagName == name;
      if (!inElement() || !found) {
        noted(psStrayEndTag, name);
      } else {
        for (int k = name.empty() ? 1 : depth; k > 0 && cur; --k)
          if (!Close(cur, rootDone)) return cancelled();
      }
      ReadTail(src, cur);
      continue;
    }

    name.clear();
    src.ReadName(name);
    if (name.empty()) {  // a stray "<"
      src.ReadText(nullptr);
      continue;
    }
    attrs.clear();
    bool empty = false;
    if (!src.ReadAttributes(attrs, empty)) {
      unclosed(name);
      break;
    }
    value.clear();
    if (!empty) {
      src.ReadText(&value);
      while (src.StartsWith("<![CDATA[")) {
        src.Skip(9);
        src.SkipPast("]]>", &value);
        src.ReadText(&value);
      }
    }

    bool accept = true;
    bool decoded = false;
    if (!cur) {
      if (rootDone || rootUsed) accept = false;
    } else if (cur->FLevel + 1 > MaxDepth) {
      accept = false;
    } else {
      if (FLive >= MaxItems) {
        accept = false;
        if (!FOverflowed) noted(psOverflowed, name);
        FOverflowed = true;
      } else if (OnTag) {
        Decode(value.data(), value.size(), FValueW);
        Decode(attrs.data(), attrs.size(), FAttrW);
        decoded = true;
        FRawNext = false;
        OnTag(this, cur, name, FValueW, FAttrW, accept);
      }
    }
    if (accept) {
      TQXXMLItem* node;
      if (cur) {
        node = cur->AddChild();
      } else {
        node = FRoot.get();
        rootUsed = true;
      }
      node->TagName = name;
      node->Kind = ikProperty;
      node->FCodePage = FCodePage;
      if (!value.empty()) {
        if (decoded) {
          SetOrAppend(node->Value, std::u16string(FValueW));
        } else {
          wide.clear();
          Decode(value.data(), value.size(), wide);
          SetOrAppend(node->Value, std::move(wide));
        }
      }
      node->AttributeText = attrs;
      node->FRawContent = decoded && FRawNext;
      cur = node;
      if (empty) {
        if (!Close(cur, rootDone)) return cancelled();
        ReadTail(src, cur);
      }
    } else {
      if (!empty && !src.SkipElement()) {
        unclosed(inElement() ? cur->TagName : name);
        break;
      }
      ReadTail(src, cur);
    }
  }
  // Elements still open when the text ran out: the document is cut short.
  if (inElement() && FResult.Status != psUnclosed && FResult.Status != psCancelled) unclosed(cur->TagName);
  if (FResult.Status == psUnclosed || FResult.Status == psComplete) FResult.Offset = src.Offset();
}

TQXXMLItem* TQXXMLEngine::Find(TQXXMLItem* start, const std::string& name, bool ignoreCase) {
  if (!start) start = FRoot.get();
  auto same = [&](const std::string& a) {
    if (!ignoreCase) return a == name;
    if (a.size() != name.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (std::tolower(uint8_t(a[i])) != std::tolower(uint8_t(name[i]))) return false;
    return true;
  };
  std::vector<TQXXMLItem*> stack{start};
  while (!stack.empty()) {
    TQXXMLItem* it = stack.back();
    stack.pop_back();
    if (same(it->TagName)) return it;
    for (int32_t i = it->Items.Count(); i-- > 0;) stack.push_back(it->Items.Item(i));
  }
  return nullptr;
}

TQXXMLItem* TQXXMLEngine::FindItem(TQXXMLItem* start, const std::string& name) { return Find(start, name, true); }
TQXXMLItem* TQXXMLEngine::FindChild(TQXXMLItem* start, const std::string& name) { return Find(start, name, false); }

void TQXXMLEngine::ParseAttributes(TQXXMLItem* node) {
  if (!node || node->AttributeText.empty()) return;
  const std::string a = std::move(node->AttributeText);
  node->AttributeText.clear();
  const size_t n = a.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  size_t i = 0;
  while (i < n) {
    while (i < n && (blank(a[i]) || a[i] == '/' || a[i] == '?')) ++i;
    size_t ns = i;
    while (i < n && a[i] != '=' && !blank(a[i])) ++i;
    size_t ne = i;
    while (i < n && blank(a[i])) ++i;
    if (i >= n || a[i] != '=') continue;
    ++i;
    while (i < n && blank(a[i])) ++i;
    size_t vs = i;
    if (i < n && (a[i] == '"' || a[i] == '\'')) {
      char q = a[i++];
      while (i < n && a[i] != q) ++i;
      if (i < n) ++i;
    } else {
      while (i < n && !blank(a[i])) ++i;
    }
    if (ne == ns || i == vs) continue;
    TQXXMLItem* attr = node->AddChild();
    attr->Kind = ikAttribute;
    attr->TagName = a.substr(ns, ne - ns);
    std::u16string w;
    int saved = FCodePage;
    FCodePage = node->FCodePage;
    Decode(a.data() + vs, i - vs, w);
    FCodePage = saved;
    attr->Value = TVariant(std::move(w));
  }
}

std::u16string TQXXMLEngine::GetValue(TQXXMLItem* node) {
  if (!node) return std::u16string();
  std::u16string s = node->ValueText();
  // Attribute values keep their quotes until asked for.
  if (node->Kind == ikAttribute && !s.empty() && (s[0] == u'"' || s[0] == u'\'')) {
    char16_t q = s[0];
    size_t e = s.size();
    while (e > 1 && IsBlank(s[e - 1])) --e;
    if (e > 1 && s[e - 1] == q) --e;
    s = s.substr(1, e - 1);
  }
  DecodeXMLEntitiesInPlace(s);
  return s;
}

std::u16string TQXXMLEngine::AttributeValue(TQXXMLItem* node, const std::string& name) {
  if (!node) return std::u16string();
  ParseAttributes(node);
  for (const auto& ch : node->Items)
    if (ch->Kind == ikAttribute && ch->TagName == name) return GetValue(ch.get());
  return std::u16string();
}
