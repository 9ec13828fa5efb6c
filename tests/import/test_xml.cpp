#include <gtest/gtest.h>

#include "CodePage.h"
#include "QXIXML.h"

namespace {

std::string U8(const std::u16string& s) { return Utf16ToUtf8(s); }

// A stream that hands out at most a few bytes per Read, like an inflater
// that has little output ready.
class TDribbleStream : public TCustomMemoryStream {
 public:
  using TCustomMemoryStream::TCustomMemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    return TCustomMemoryStream::Read(buffer, count < 3 ? count : 3);
  }
};

}  // namespace

TEST(XMLEngine, DocumentWithoutDeclarationIsTheRoot) {
  TQXXMLEngine e;
  e.Parse(std::string("<a>x</a>"));
  EXPECT_EQ(e.RootItem()->TagName, "a");
  EXPECT_EQ(U8(e.RootItem()->ValueText()), "x");
}

TEST(XMLEngine, DeclarationIsRootAndGivesTheEncoding) {
  TQXXMLEngine e;
  e.Parse(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc><t>caf\xC3\xA9</t><e/></doc>"));
  TQXXMLItem* root = e.RootItem();
  EXPECT_EQ(root->TagName, "?xml");
  TQXXMLItem* t = e.FindItem(nullptr, "T");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->ValueText(), u"caf\u00E9");
  TQXXMLItem* empty = e.FindChild(nullptr, "e");
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->Value.IsEmpty());
  EXPECT_EQ(empty->Parent()->TagName, "doc");
  EXPECT_EQ(empty->Level(), 2);
  EXPECT_EQ(e.FindChild(nullptr, "T"), nullptr);  // FindChild minds the case

  // Any other encoding is decoded in that code page.
  e.Parse(std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><t>caf\xE9</t>"));
  EXPECT_EQ(e.FindItem(nullptr, "t")->ValueText(), u"caf\u00E9");
}

TEST(XMLEngine, AttributesInEitherQuotes) {
  TQXXMLEngine e;
  e.Parse(std::string("<c r=\"A1\" t='s' x = \"a b\" empty=\"\"/>"));
  TQXXMLItem* c = e.RootItem();
  EXPECT_EQ(U8(e.AttributeValue(c, "r")), "A1");
  EXPECT_EQ(U8(e.AttributeValue(c, "t")), "s");
  EXPECT_EQ(U8(e.AttributeValue(c, "x")), "a b");
  EXPECT_EQ(U8(e.AttributeValue(c, "empty")), "");
  size_t attrs = size_t(c->Items.Count());
  e.ParseAttributes(c);  // a second call adds nothing
  EXPECT_EQ(size_t(c->Items.Count()), attrs);

  std::u16string v;
  EXPECT_TRUE(FindXMLAttribute(u" r=\"B2\" r:id='rId3' sheetId=\"4\"", "id", v, true));
  EXPECT_EQ(v, u"rId3");
  EXPECT_TRUE(FindXMLAttribute(u" r=\"B2\" r:id='rId3' sheetId=\"4\"", "sheetId", v));
  EXPECT_EQ(v, u"4");
  EXPECT_FALSE(FindXMLAttribute(u" r=\"B2\"", "t", v));
  // A ">" or "/" inside a quoted value does not end the tag.
  e.Parse(std::string("<a href=\"http://x/y?a>b\" t='/>'>text</a>"));
  EXPECT_EQ(U8(e.AttributeValue(e.RootItem(), "href")), "http://x/y?a>b");
  EXPECT_EQ(U8(e.RootItem()->ValueText()), "text");
}

TEST(XMLEngine, EntitiesAreDecodedOnceLeftToRight) {
  EXPECT_EQ(DecodeXMLEntities(u"&amp;amp;"), u"&amp;");
  EXPECT_EQ(DecodeXMLEntities(u"&amp;copy"), u"&copy");
  EXPECT_EQ(DecodeXMLEntities(u"a &lt;b&gt; &quot;c&quot; &apos;d&apos;"), u"a <b> \"c\" 'd'");
  EXPECT_EQ(DecodeXMLEntities(u"&#65;&#x42;&#x1F600;&#9;"), u"AB\U0001F600\t");
  EXPECT_EQ(DecodeXMLEntities(u"&deg;&#176"), u"\u00B0\u00B0");
  EXPECT_EQ(DecodeXMLEntities(u"&unknown; & &#xD800; &#;"), u"&unknown; & &#xD800; &#;");
  TQXXMLEngine e;
  e.Parse(std::string("<a v=\"x&amp;amp;y\">1 &amp;lt; 2</a>"));
  EXPECT_EQ(U8(e.AttributeValue(e.RootItem(), "v")), "x&amp;y");
  EXPECT_EQ(U8(e.GetValue(e.RootItem())), "1 &lt; 2");
  // Element text that starts with a quote keeps it.
  e.Parse(std::string("<a>\"quoted\"</a>"));
  EXPECT_EQ(U8(e.GetValue(e.RootItem())), "\"quoted\"");
}

TEST(XMLEngine, CDATAAndCommentsAndDoctype) {
  TQXXMLEngine e;
  e.Parse(std::string("<!DOCTYPE x [<!ENTITY a \"b\">]><r><!-- a <comment> --><t><![CDATA[x<y>&amp;]]>z</t>"
                      "<!--c--><u>after</u></r>"));
  EXPECT_EQ(e.RootItem()->TagName, "r");
  EXPECT_EQ(U8(e.FindItem(nullptr, "t")->ValueText()), "x<y>&amp;z");
  TQXXMLItem* u = e.FindItem(nullptr, "u");
  ASSERT_NE(u, nullptr);  // the tag after a comment is an ordinary tag
  EXPECT_EQ(U8(u->ValueText()), "after");
  EXPECT_EQ(u->Parent()->TagName, "r");
  TQXXMLItem* c = e.FindItem(nullptr, "Comment");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Kind, ikComment);
}

TEST(XMLEngine, RefusedElementsLeaveNoNodes) {
  TQXXMLEngine e;
  std::vector<std::string> seen;
  e.OnTag = [&](TQXXMLEngine*, TQXXMLItem*, const std::string& name, const std::u16string&, const std::u16string&,
                bool& accept) {
    seen.push_back(name);
    accept = name != "f";
  };
  e.Parse(std::string("<ws><c><f>SUM(<!-- > -->A1)<g><f/></g><![CDATA[</f>]]></f><v>3</v></c><c/></ws>"));
  EXPECT_EQ(e.FindItem(nullptr, "f"), nullptr);
  EXPECT_EQ(e.FindItem(nullptr, "g"), nullptr);
  ASSERT_NE(e.FindItem(nullptr, "v"), nullptr);
  EXPECT_EQ(U8(e.FindItem(nullptr, "v")->ValueText()), "3");
  EXPECT_EQ(e.RootItem()->Items.Count(), 2);
  EXPECT_EQ(seen, (std::vector<std::string>{"c", "f", "v", "c"}));
}

TEST(XMLEngine, AfterTagCanDropNodesAndCancel) {
  TQXXMLEngine e;
  int closed = 0;
  e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool& cancel) {
    ++closed;
    if (node->TagName == "row") {
      node->Free();
      node = nullptr;
    }
    if (closed == 4) cancel = true;
  };
  e.Parse(std::string("<d><row><c/></row><row><c/></row><keep/><row/></d>"));
  // c, row, c, row closed: cancelled after the fourth.
  EXPECT_EQ(closed, 4);
  EXPECT_EQ(e.RootItem()->Items.Count(), 0);
  EXPECT_EQ(e.FindItem(nullptr, "keep"), nullptr);
}

TEST(XMLEngine, Utf16InputWithAndWithoutByteOrderMark) {
  std::u16string doc = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>\u00E9\U0001F600</a>";
  for (int variant = 0; variant < 3; ++variant) {
    std::string bytes;
    if (variant == 0) bytes = "\xFF\xFE";
    if (variant == 1) bytes = "\xFE\xFF";
    for (char16_t c : doc) {
      char lo = char(c & 0xFF), hi = char(c >> 8);
      if (variant == 1) { bytes += hi; bytes += lo; }
      else { bytes += lo; bytes += hi; }
    }
    TDribbleStream s(bytes.data(), int64_t(bytes.size()));
    TQXXMLEngine e;
    e.LoadFromStream(&s);
    TQXXMLItem* a = e.FindItem(nullptr, "a");
    ASSERT_NE(a, nullptr) << variant;
    EXPECT_EQ(a->ValueText(), u"\u00E9\U0001F600") << variant;
  }
}

TEST(XMLEngine, StreamsInSmallPiecesAndStopsAtNul) {
  std::string doc = "\xEF\xBB\xBF<r>";
  for (int i = 0; i < 2000; ++i) doc += "<x n=\"" + std::to_string(i) + "\">v" + std::to_string(i) + "</x>";
  doc += "</r>";
  TDribbleStream s(doc.data(), int64_t(doc.size()));
  TQXXMLEngine e;
  e.LoadFromStream(&s);
  ASSERT_EQ(e.RootItem()->TagName, "r");
  ASSERT_EQ(e.RootItem()->Items.Count(), 2000);
  EXPECT_EQ(U8(e.RootItem()->Items[1999]->ValueText()), "v1999");
  EXPECT_EQ(U8(e.AttributeValue(e.RootItem()->Items[1234], "n")), "1234");

  std::string nul("<r><a>1</a>\0<b>2</b></r>", 24);
  e.Parse(nul);
  EXPECT_NE(e.FindItem(nullptr, "a"), nullptr);
  EXPECT_EQ(e.FindItem(nullptr, "b"), nullptr);

  // An end position stops the scan.
  TCustomMemoryStream part(doc.data(), int64_t(doc.size()));
  e.LoadFromStream(&part, 3 + 3 + 16);
  EXPECT_EQ(e.RootItem()->Items.Count(), 1);
}

TEST(XMLEngine, HostileNestingIsBounded) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  deep += "x";
  TQXXMLEngine e;
  e.Parse(deep);
  int depth = 0;
  for (TQXXMLItem* n = e.RootItem(); n->Items.Count() > 0; n = n->Items[0]) ++depth;
  EXPECT_LE(depth, TQXXMLEngine::MaxDepth);

  std::string wide = "<r>";
  for (int i = 0; i < 5000; ++i) wide += "<a/>";
  wide += "</r>";
  e.MaxItems = 100;
  e.Parse(wide);
  EXPECT_EQ(e.RootItem()->Items.Count(), 100);
  EXPECT_TRUE(e.Overflowed());
}

TEST(XMLEngine, MalformedInputGivesPartialTree) {
  TQXXMLEngine e;
  for (std::string s : {"", "<", "<<<>>>", "</a></b>", "<a b=\"unterminated", "<a><!-- open", "<a><![CDATA[x",
                        "text only", "<?xml encoding='x'", "<a></a><b/>trailing"}) {
    e.Parse(s);  // must not crash or hang
  }
  e.Parse(std::string("<a></a><b>second root</b>"));
  EXPECT_EQ(e.RootItem()->TagName, "a");
  EXPECT_EQ(e.FindItem(nullptr, "b"), nullptr);
}

TEST(XMLEngine, ParseResultSaysWhetherTheTextEndedInsideAnElement) {
  TQXXMLEngine e;
  struct Case {
    std::string Text;
    TQXXMLParseStatus Status;
    std::string Element;
  };
  const Case cases[] = {
      {"<?xml version=\"1.0\"?>\n<a><b>x</b></a>\n", psComplete, ""},
      {"<a/>", psComplete, ""},
      {"", psComplete, ""},
      {"<?xml version=\"1.0\"?>", psComplete, ""},
      {"<a><b>x</b>", psUnclosed, "a"},
      {"<?xml version=\"1.0\"?><a><b>x", psUnclosed, "b"},
      {"<a><b attr=\"1", psUnclosed, "b"},  // inside a start tag
      {"<a><b>x</b", psUnclosed, "a"},      // inside b's end tag: b is complete
      {"<a><b>x</b></a", psComplete, ""},
      {"<a><c><d>y</d>", psUnclosed, "c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    e.Parse(c.Text);
    EXPECT_EQ(e.ParseResult().Status, c.Status);
    EXPECT_EQ(e.ParseResult().Element, c.Element);
    EXPECT_EQ(e.ParseResult().Offset, int64_t(c.Text.size()));
  }
  // A refused element cut short: the element that stays open is named.
  e.OnTag = [](TQXXMLEngine*, TQXXMLItem*, const std::string& name, const std::u16string&, const std::u16string&,
               bool& accept) { accept = name != "skip"; };
  e.Parse(std::string("<a><keep><skip><x>"));
  EXPECT_EQ(e.ParseResult().Status, psUnclosed);
  EXPECT_EQ(e.ParseResult().Element, "keep");
  e.OnTag = nullptr;
  e.OnAfterTag = [](TQXXMLEngine*, TQXXMLItem*&, bool& cancel) { cancel = true; };
  e.Parse(std::string("<a><b/>rest</a>"));
  EXPECT_EQ(e.ParseResult().Status, psCancelled);
  EXPECT_EQ(e.ParseResult().Offset, 7);
}

TEST(XMLEngine, StrayEndTagsAndTheNodeCapAreReported) {
  TQXXMLEngine e;
  // An end tag of an enclosing element closes what is inside it; one of no
  // open element changes nothing and is reported.
  e.Parse(std::string("<a><b><c></b><d/></x></a>"));
  EXPECT_EQ(e.ParseResult().Status, psStrayEndTag);
  EXPECT_EQ(e.ParseResult().Element, "x");
  EXPECT_EQ(e.ParseResult().Offset, 21);
  ASSERT_EQ(e.RootItem()->Items.Count(), 2);
  EXPECT_EQ(e.RootItem()->Items[1]->TagName, "d");
  // A cut-short text outranks it.
  e.Parse(std::string("<a></x><b>"));
  EXPECT_EQ(e.ParseResult().Status, psUnclosed);
  e.MaxItems = 3;
  e.Parse(std::string("<r><a/><b/><c/><d/></r>"));
  EXPECT_EQ(e.ParseResult().Status, psOverflowed);
  EXPECT_EQ(e.ParseResult().Element, "d");  // the root is not counted
  EXPECT_TRUE(e.Overflowed());
}

TEST(XMLEngine, TailTextGoesToTheParentOnlyWhenAsked) {
  const std::string doc = "<p>a<s>b</s>c<!-- n -->d<skip>e</skip>f<br/>g</p>";
  TQXXMLEngine e;
  e.OnTag = [](TQXXMLEngine*, TQXXMLItem*, const std::string& name, const std::u16string&, const std::u16string&,
               bool& accept) { accept = name != "skip" && name != "Comment"; };
  // A reader folding each child into its parent when it closes sees the text in order.
  e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool&) {
    if (!node->Parent()) return;
    node->Parent()->Value = TVariant(node->Parent()->ValueText() + node->ValueText());
    node->Free();
    node = nullptr;
  };
  e.Parse(doc);
  EXPECT_EQ(U8(e.RootItem()->ValueText()), "ab");
  e.KeepTailText = true;
  TDribbleStream s(doc.data(), int64_t(doc.size()));
  e.LoadFromStream(&s);
  EXPECT_EQ(U8(e.RootItem()->ValueText()), "abcdfg");
}
