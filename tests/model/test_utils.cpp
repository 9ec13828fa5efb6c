// Import utilities: UTF-8 decoding, the wide-text list, message texts.
#include <gtest/gtest.h>

#include "QXIUtils.h"

namespace {

std::u16string Dec(const std::string& bytes) { return Utf8ToWide(bytes); }

TEST(Utf8ToWide, DecodesValidSequences) {
  EXPECT_EQ(Dec("A\xC3\xA9"), u"A\u00e9");
  EXPECT_EQ(Dec("\xE2\x82\xAC"), u"\u20ac");
  EXPECT_EQ(Dec("\xF0\x9F\x98\x80"), u"\U0001F600");  // surrogate pair
  EXPECT_EQ(Dec("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
  EXPECT_EQ(Dec(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(Dec(""), u"");
}

TEST(Utf8ToWide, BadSequenceBecomesOneReplacementAndTheRestSurvives) {
  EXPECT_EQ(Dec("A\xC3"), u"A\ufffd");                   // truncated at the end
  EXPECT_EQ(Dec("A\xC3" "A"), u"A\ufffdA");              // continuation replaced by 41
  EXPECT_EQ(Dec("\xE2\x82" "x"), u"\ufffdx");            // truncated three-byte form
  EXPECT_EQ(Dec("\xF0\x9F\x98"), u"\ufffd");             // truncated four-byte form
  EXPECT_EQ(Dec("\x80y"), u"\ufffdy");                   // stray continuation
  EXPECT_EQ(Dec("\xC0\x80"), u"\ufffd\ufffd");           // overlong NUL
  EXPECT_EQ(Dec("\xE0\x80\xAF"), u"\ufffd\ufffd\ufffd"); // overlong '/'
  EXPECT_EQ(Dec("\xED\xA0\x80"), u"\ufffd\ufffd\ufffd"); // encoded surrogate
  EXPECT_EQ(Dec("\xF5\x80\x80\x80"), u"\ufffd\ufffd\ufffd\ufffd");  // beyond U+10FFFF
  EXPECT_EQ(Dec("\xFF" "ok"), u"\ufffdok");
}

TEST(Utf8ToWideBuffer, CountsAndTerminates) {
  const std::string s = "A\xC3\xA9\xF0\x9F\x98\x80";  // A, e-acute, pair
  EXPECT_EQ(Utf8ToWideBuffer(nullptr, 0, s.data(), int32_t(s.size())), 5);
  char16_t buf[8];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(Utf8ToWideBuffer(buf, 8, s.data(), int32_t(s.size())), 5);
  EXPECT_EQ(std::u16string(buf), u"A\u00e9\U0001F600");
  // Limit reached: three units fit, the pair does not go in half.
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(Utf8ToWideBuffer(buf, 4, s.data(), int32_t(s.size())), 3);
  EXPECT_EQ(std::u16string(buf), u"A\u00e9");
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(Utf8ToWideBuffer(buf, 2, s.data(), int32_t(s.size())), 2);
  EXPECT_EQ(buf[0], u'A');
  EXPECT_EQ(buf[1], 0);
  EXPECT_EQ(buf[2], u'#');  // nothing written past the limit
  EXPECT_EQ(Utf8ToWideBuffer(buf, 0, s.data(), int32_t(s.size())), 0);
  EXPECT_EQ(Utf8ToWideBuffer(buf, 8, nullptr, 4), 0);
  EXPECT_EQ(Utf8ToWideBuffer(buf, 8, s.data(), 0), 1);
  EXPECT_EQ(buf[0], 0);
  // Decoding stops at the stated length, never reading beyond it.
  EXPECT_EQ(Utf8ToWideBuffer(buf, 8, s.data(), 2), 3);
  EXPECT_EQ(std::u16string(buf), u"A\ufffd");
}

TEST(WideStrings, AddPutObjectsAndBounds) {
  TWideStrings list;
  EXPECT_EQ(list.Add(u"x"), 0);
  EXPECT_EQ(list.AddObject(u"y", 5), 1);
  list.Put(2, u"z");  // Put at Count appends
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetObject(0), 0);
  EXPECT_EQ(list.GetObject(1), 5);
  list.SetObject(2, 9);
  list.Put(0, u"X");
  EXPECT_EQ(list.Get(0), u"X");
  EXPECT_EQ(list.Get(-1), u"");
  EXPECT_EQ(list.Get(3), u"");
  EXPECT_EQ(list.GetObject(3), 0);
  try {
    list.Put(4, u"far");
    FAIL() << "Put beyond Count accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "WideStrings index out of bounds");
  }
  EXPECT_THROW(list.Put(-1, u"neg"), Exception);
  EXPECT_THROW(list.SetObject(3, 1), Exception);
  EXPECT_THROW(list.Delete(3), Exception);
  EXPECT_THROW(list.PutWithObject(5, u"a", 1), Exception);
  list.PutWithObject(3, u"w", 4);
  EXPECT_EQ(list.GetObject(3), 4);

  list.Delete(1);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Get(0), u"X");
  EXPECT_EQ(list.Get(1), u"z");
  EXPECT_EQ(list.GetObject(1), 9);
  EXPECT_EQ(list.GetObject(2), 4);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(Messages, ReaderTextsAreExact) {
  EXPECT_STREQ(SFileIsNotDefined, "File is not defined.");
  EXPECT_STREQ(SFileDoesNotExist, "File %s does not exist.");
  EXPECT_STREQ(SInvalidFileFormat, "Invalid file version or file format.");
  EXPECT_STREQ(SPasswordProtectedFile, "Password protected file is not supported.");
  EXPECT_STREQ(SContinueNotFound, "CONTINUE record is not found in the stream");
  EXPECT_STREQ(SSSTStringOptions, "String in SST (Options byte is 0x%.2x) can not be processed.");
  EXPECT_STREQ(SCMONotSupported, "CMO object type is not supported.");
  EXPECT_STREQ(SDefaultSheetName, "Sheet");
  // Each reader exception is an ordinary one carrying its message.
  try {
    throw EQXIExcelException(SCMONotSupported);
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "CMO object type is not supported.");
  }
}

}  // namespace
