#pragma once
// A small, forgiving XML reader. It scans a part in one forward pass straight
// from a stream (so an inflating zip entry is never held whole), builds
// TQXXMLItem nodes for the elements it keeps, and lets a reader refuse
// elements (OnTag) or consume and drop finished ones (OnAfterTag), so that a
// sheet of a million cells never becomes a tree.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Streams.h"
#include "Variant.h"

enum TQXXMLItemKind : uint8_t { ikProperty, ikAttribute, ikComment, ikCDATA };

class TQXXMLItem;
class TQXXMLEngine;
class TQXXMLRawText;
struct TQXXMLNodePool;

// Frees a child node, or gives it back to its engine's pool for the next one.
struct TQXXMLItemDeleter {
  void operator()(TQXXMLItem* node) const;
};

// The children of a node; owns them.
class TQXXMLItems {
 public:
  int32_t Count() const { return int32_t(FItems.size()); }
  TQXXMLItem* Item(int32_t index) const { return FItems.at(size_t(index)).get(); }
  TQXXMLItem* operator[](int32_t index) const { return Item(index); }
  void Clear() { FItems.clear(); }
  // Frees the node if it is one of the children.
  void Remove(TQXXMLItem* node);

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  friend class TQXXMLItem;
  friend struct TQXXMLNodePool;
  std::vector<std::unique_ptr<TQXXMLItem, TQXXMLItemDeleter>> FItems;
};

class TQXXMLItem {
 public:
  TQXXMLItem() = default;
  ~TQXXMLItem() {
    if (FCounter) --*FCounter;
  }
  TQXXMLItem(const TQXXMLItem&) = delete;
  TQXXMLItem& operator=(const TQXXMLItem&) = delete;

  // Published
  TQXXMLItemKind Kind = ikProperty;
  std::string TagName;
  TVariant Value;  // wide text once set
  TQXXMLItems Items;

  // The start tag's attributes as scanned (bytes in the document's encoding,
  // which is UTF-8 for UTF-16 input); emptied by ParseAttributes.
  std::string AttributeText;

  int32_t Level() const { return FLevel; }
  TQXXMLItem* Parent() const { return FParent; }
  // A new last child.
  TQXXMLItem* AddChild();
  // Frees the node and removes it from its parent; the root only loses its
  // children and contents.
  void Free();
  // Value as wide text ("" when unset).
  std::u16string ValueText() const;

 private:
  friend class TQXXMLEngine;
  friend struct TQXXMLItemDeleter;
  friend struct TQXXMLNodePool;
  TQXXMLItem* FParent = nullptr;
  int32_t FLevel = 0;
  int FCodePage = 65001;  // how AttributeText is encoded
  bool FRawContent = false;  // its children are offered to OnRawContent
  int64_t* FCounter = nullptr;  // the engine's live-node count
  TQXXMLNodePool* FPool = nullptr;  // where a freed node goes (nullptr: deleted)
};

// How the last parse ended. Offset counts the bytes of the text consumed
// (for UTF-16 input, of its UTF-8 form), or up to the stray end tag or the
// first skipped element; Element is the innermost element still open when
// the text ended inside the document. A cut-short text outranks the rest.
enum TQXXMLParseStatus : uint8_t {
  psComplete,    // every element that was opened was closed (or none was)
  psUnclosed,    // the text ended inside an element or inside a tag
  psCancelled,   // OnAfterTag stopped the parse
  psStrayEndTag, // an end tag closed no open element (it was ignored); Element names it
  psOverflowed,  // MaxItems nodes were alive and later elements were skipped; Element is the first
};
struct TQXXMLParseResult {
  TQXXMLParseStatus Status = psComplete;
  int64_t Offset = 0;
  std::string Element;
};

using TQXIXMLOnTagEvent =
    std::function<void(TQXXMLEngine* Sender, TQXXMLItem* ParentNode, const std::string& ATagName,
                       const std::u16string& ATagValue, const std::u16string& ATagAttributes, bool& Accept)>;
// Node may be freed by the handler (set it to nullptr then); Cancel stops the parse.
using TQXIXMLOnAfterTagEvent = std::function<void(TQXXMLEngine* Sender, TQXXMLItem*& Node, bool& Cancel)>;
// Node is the innermost open element; Text stands at the "<" of its next child.
using TQXIXMLOnRawContentEvent = std::function<void(TQXXMLEngine* Sender, TQXXMLItem* Node, TQXXMLRawText& Text)>;

// UTF-8 bytes of a document as the engine decodes them, to wide text.
void DecodeXMLUtf8(const char* data, size_t size, std::u16string& out);

// Entity decoding, once and left to right: the five XML entities, decimal
// and hexadecimal character references (supplementary planes as surrogate
// pairs) and the names of the old table (brvbar, deg, plusmn, para, copy,
// trade, nbsp, car, ret); the ";" is optional. Anything else stays as it is.
std::u16string DecodeXMLEntities(const std::u16string& text);
void DecodeXMLEntitiesInPlace(std::u16string& text);

class TQXXMLEngine {
 public:
  TQXXMLEngine();
  ~TQXXMLEngine();
  TQXXMLEngine(const TQXXMLEngine&) = delete;
  TQXXMLEngine& operator=(const TQXXMLEngine&) = delete;

  // Elements nested deeper than this are skipped with their content, and no
  // more than MaxItems nodes are alive at once (later elements are skipped
  // and Overflowed() says so): a hostile part cannot exhaust the stack or memory.
  static constexpr int32_t MaxDepth = 2048;
  int64_t MaxItems = 4000000;
  // Mixed content (paragraphs holding spans): the text that follows a
  // child's end tag is appended to the parent's Value, so a reader that
  // folds each child's text into its parent when it closes sees the text in
  // document order. Off: that text is dropped.
  bool KeepTailText = false;

  // Published
  TQXXMLItem* RootItem() { return FRoot.get(); }
  TQXIXMLOnTagEvent OnTag;
  TQXIXMLOnAfterTagEvent OnAfterTag;

  // Raw content, for a reader that knows the usual shape of an element's
  // children and takes them faster from the bytes than as nodes: OnTag calls
  // TakeRawContent() for an element it accepts; whenever that element is
  // the innermost open one and the text stands at a tag, OnRawContent may
  // consume whole children of it. The engine reads the text after them and
  // parses whatever the handler leaves as usual, so the handler may stop at
  // anything it does not know.
  TQXIXMLOnRawContentEvent OnRawContent;
  void TakeRawContent() { FRawNext = true; }

  // Clears the tree and parses the stream from its position to endPosition
  // (0: to its end). UTF-16 with a byte order mark (or starting "<?" in
  // UTF-16) is recognised; a UTF-8 byte order mark is skipped.
  void LoadFromStream(TStream* stream, int64_t endPosition = 0);
  // The same over bytes in memory.
  void Parse(const char* text, size_t length);
  void Parse(const std::string& text) { Parse(text.data(), text.size()); }

  // Depth-first, starting with start itself (nullptr: the root): the first
  // node whose TagName equals name without regard to ASCII case (FindItem)
  // or exactly (FindChild).
  TQXXMLItem* FindItem(TQXXMLItem* start, const std::string& name);
  TQXXMLItem* FindChild(TQXXMLItem* start, const std::string& name);
  // Splits AttributeText into ikAttribute children (name, quoted value).
  void ParseAttributes(TQXXMLItem* node);
  // The node's value, unquoted and entity-decoded.
  std::u16string GetValue(TQXXMLItem* node);
  // ParseAttributes, then the decoded value of the attribute named name
  // (exact case); "" when it is missing.
  std::u16string AttributeValue(TQXXMLItem* node, const std::string& name);

  // The code page the current document's text is decoded with (65001 for
  // UTF-8 and UTF-16 input).
  int CodePage() const { return FCodePage; }
  // Whether MaxItems stopped nodes from being made.
  bool Overflowed() const { return FOverflowed; }
  const TQXXMLParseResult& ParseResult() const { return FResult; }
  // Wide text from bytes in the document's encoding.
  void Decode(const char* data, size_t size, std::u16string& out) const;

 private:
  friend class TQXXMLRawText;
  class Source;
  void Run(Source& src);
  TQXXMLItem* Find(TQXXMLItem* start, const std::string& name, bool ignoreCase);
  void SetEncoding(const std::u16string& name);
  bool Close(TQXXMLItem*& cur, bool& rootDone);  // false: cancelled
  // Text up to the next tag: the current node's tail when KeepTailText is set.
  void ReadTail(Source& src, TQXXMLItem* cur);
  void NoteRemoved(TQXXMLItem* node);

  int64_t FLive = 0;  // before FRoot: the nodes count down as they go
  // Before FRoot too: freed nodes are kept for the next element, so a part
  // of a million elements does not cost a million allocations.
  std::unique_ptr<TQXXMLNodePool> FPool;
  std::unique_ptr<TQXXMLItem> FRoot;
  int FCodePage = 65001;
  bool FForcedUtf8 = false;
  bool FOverflowed = false;
  bool FRawNext = false;
  TQXXMLParseResult FResult;
  std::u16string FValueW, FAttrW;
  std::string FTail;
};

// The bytes of the part being parsed, as OnRawContent sees them: UTF-8 (or
// the declared single-byte encoding; see TQXXMLEngine::CodePage), from the
// current position on.
class TQXXMLRawText {
 public:
  // The unread bytes in hand; more of the part follows unless AtEnd().
  const char* Data() const;
  size_t Size() const;
  // Appends more of the part to what is in hand (Data() may move; what is
  // in hand stays); false when the part has ended.
  bool More();
  // Marks the first n bytes in hand as read.
  void Consume(size_t n);

 private:
  friend class TQXXMLEngine;
  explicit TQXXMLRawText(TQXXMLEngine::Source& source) : FSource(source) {}
  TQXXMLEngine::Source& FSource;
};

// One attribute of a start tag, as ForEachXMLAttribute gives them.
template <class Ch>
struct TXMLAttributeView {
  std::basic_string_view<Ch> Name, Value;
};

// The characters of element names, as the engine reads them.
extern const std::array<bool, 256> XMLNameChars;
inline bool XMLNameChar(char c) { return XMLNameChars[uint8_t(c)]; }
inline bool XMLBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
// Whether the name's local part (after the last ":") is local.
bool XMLLocalNameIs(std::string_view name, std::string_view local);

// A start tag as the engine reads it: the name, and the attribute text up to
// the ">" outside quotes (without the "/" of an empty element).
struct TQXXMLTag {
  std::string_view Name, Attrs;
  bool Empty = false;
};

// Reads elements from bytes in hand, [Begin, End), exactly where the engine
// would read the same (for OnRawContent handlers that take children of the
// usual shape themselves). Each function fails where the engine would read
// differently, or where the bytes in hand end (then Short is set: more of
// the part may make it succeed).
class TQXXMLScan {
 public:
  TQXXMLScan(const char* begin, const char* end) : Begin(begin), End(end) {}
  const char* const Begin;
  const char* const End;
  bool Short = false;

  // The first c at or after p; End (and Short) when there is none.
  const char* Find(const char* p, char c) {
    for (int k = 0; k < 16 && p < End; ++k, ++p)  // text between tags is short
      if (*p == c) return p;
    return FindFar(p, c);
  }
  // The start tag at p (a "<"); p ends past its ">". False for an end tag,
  // "<!", "<?" or a stray "<". With split, attributes of the usual form
  // ( name="value")* are split too, at most maxSplit (count is npos when
  // they are not).
  bool StartTag(const char*& p, TQXXMLTag& tag, TXMLAttributeView<char>* split = nullptr, size_t maxSplit = 0,
                size_t* count = nullptr);
  // "</name" then anything up to ">" at p (the engine looks no further).
  bool EndTag(const char*& p, std::string_view name) {
    const char* q = p;
    if (End - q < ptrdiff_t(name.size()) + 3) return Short = true, false;
    if (q[0] != '<' || q[1] != '/') return false;
    q += 2;
    for (char c : name)
      if (*q++ != c) return false;
    if (*q != '>') {
      if (XMLNameChar(*q)) return false;
      q = Find(q, '>');
      if (q == End) return false;
    }
    p = q + 1;
    return true;
  }
  enum TStep { stChild, stEnd, stFail };
  // Past text to the next tag inside the element named name: stChild with p
  // at a child's "<", stEnd with p past "</name>", stFail for anything else
  // (Short when the bytes ran out).
  TStep Next(const char*& p, std::string_view name) {
    p = Find(p, '<');
    if (End - p < 2) return Short = true, stFail;
    if (p[1] != '/') return stChild;
    return EndTag(p, name) ? stEnd : stFail;
  }
  // The rest of an element whose start tag ended before p, as the engine
  // skips a refused one.
  bool SkipContent(const char*& p);
  // The text of an element up to its first child, as the engine gives it
  // to OnTag; the rest of the element is skipped. False also for CDATA.
  bool ElementText(const char*& p, const TQXXMLTag& tag, std::string_view& text);

 private:
  const char* FindFar(const char* p, char c);
  bool TagEnd(const char*& q);
};

inline bool TQXXMLScan::ElementText(const char*& p, const TQXXMLTag& tag, std::string_view& text) {
  text = std::string_view(p, 0);
  if (tag.Empty) return true;
  const char* start = p;
  p = Find(p, '<');
  if (p == End) return false;
  text = std::string_view(start, size_t(p - start));
  // Mostly its own end tag follows at once.
  const char* q = p;
  if (EndTag(q, tag.Name)) {
    p = q;
    return true;
  }
  return !Short && SkipContent(p);
}

inline bool TQXXMLScan::TagEnd(const char*& q) {
  char quote = 0;
  for (; q < End; ++q) {
    const char c = *q;
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '>') {
      ++q;
      return true;
    } else if (c == '"' || c == '\'') {
      quote = c;
    }
  }
  Short = true;
  return false;
}

inline bool TQXXMLScan::StartTag(const char*& p, TQXXMLTag& tag, TXMLAttributeView<char>* split,
                                 size_t maxSplit, size_t* count) {
  const char* q = p + 1;
  const char* name = q;
  while (q < End && XMLNameChar(*q)) ++q;
  if (q == End) return Short = true, false;
  if (q == name || *name == '!' || *name == '?') return false;
  tag.Name = std::string_view(name, size_t(q - name));
  const char* attrs = q;
  if (split) {
    // ( name="value")* up to ">" or "/>".
    size_t n = 0;
    const char* r = q;
    for (;;) {
      if (End - r < 2) break;
      if (*r == '>' || (*r == '/' && r[1] == '>')) {
        tag.Empty = *r == '/';
        r += tag.Empty ? 2 : 1;
        tag.Attrs = std::string_view(attrs, size_t(r - attrs) - (tag.Empty ? 2 : 1));
        *count = n;
        p = r;
        return true;
      }
      if (!XMLBlank(*r)) break;
      while (++r < End && XMLBlank(*r)) {
      }
      if (r < End && (*r == '>' || *r == '/')) continue;
      const char* an = r;
      while (r < End && XMLNameChar(*r)) ++r;
      if (r == an || End - r < 2 || r[0] != '=' || (r[1] != '"' && r[1] != '\'') || n == maxSplit) break;
      const char quote = r[1];
      const char* value = r + 2;
      const char* close = value;
      while (close < End && *close != quote) ++close;
      if (close == End) break;
      split[n++] = {std::string_view(an, size_t(r - an)), std::string_view(value, size_t(close - value))};
      r = close + 1;
    }
    *count = size_t(-1);
  }
  if (!TagEnd(q)) return false;
  tag.Empty = q - 1 > attrs && q[-2] == '/';
  tag.Attrs = std::string_view(attrs, size_t(q - 1 - attrs) - (tag.Empty ? 1 : 0));
  p = q;
  return true;
}


// Attribute helpers for OnTag handlers, which receive the raw attribute text:
// the value of the attribute named name ("" when absent), unquoted (double or
// single quotes) but not entity-decoded. A name without prefix also matches a
// prefixed one when matchLocal is set ("id" finds "r:id").
bool FindXMLAttribute(const std::u16string& attributes, const char* name, std::u16string& value,
                      bool matchLocal = false);
// Calls visit(name, value) for every attribute of the raw attribute text, in
// one pass; values are unquoted, not entity-decoded. visit returns false to
// stop. Wide text, or bytes of the document (the row scanners).
template <class Ch, class Visit>
void ForEachXMLAttribute(std::basic_string_view<Ch> a, Visit&& visit) {
  const size_t n = a.size();
  auto blank = [](Ch c) { return c == Ch(' ') || c == Ch('\t') || c == Ch('\n') || c == Ch('\r'); };
  size_t i = 0;
  while (i < n) {
    while (i < n && (blank(a[i]) || a[i] == Ch('/'))) ++i;
    const size_t ns = i;
    while (i < n && a[i] != Ch('=') && !blank(a[i])) ++i;
    const size_t ne = i;
    while (i < n && blank(a[i])) ++i;
    if (i >= n || a[i] != Ch('=')) continue;
    ++i;
    while (i < n && blank(a[i])) ++i;
    size_t vs, ve;
    if (i < n && (a[i] == Ch('"') || a[i] == Ch('\''))) {
      const Ch q = a[i++];
      vs = i;
      while (i < n && a[i] != q) ++i;
      ve = i;
      if (i < n) ++i;
    } else {
      vs = i;
      while (i < n && !blank(a[i])) ++i;
      ve = i;
    }
    if (!visit(std::basic_string_view<Ch>(a.data() + ns, ne - ns), std::basic_string_view<Ch>(a.data() + vs, ve - vs)))
      return;
  }
}
template <class Visit>
void ForEachXMLAttribute(const std::u16string& a, Visit&& visit) {
  ForEachXMLAttribute(std::u16string_view(a), std::forward<Visit>(visit));
}

// The element name without its namespace prefix.
inline std::string_view XMLLocalName(std::string_view name) {
  auto p = name.rfind(':');
  return p == std::string_view::npos ? name : name.substr(p + 1);
}
