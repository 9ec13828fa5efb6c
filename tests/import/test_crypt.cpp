// Protected files built in the test: Open XML packages encrypted here (and,
// when msoffcrypto-tool is installed, decrypted by it too), FILEPASS records
// with known answers, and hostile encryption headers, each refused with a
// message that says why.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "CryptBuilder.h"
#include "CodePage.h"
#include "QXICrypt.h"
#include "Streams.h"
#include "QXIOO.h"
#include "QXXLS.h"
#include "QXXLSX.h"
#include "TempDir.h"
#include "TestWorkbooks.h"
#include "Variant.h"

namespace {

using namespace testbooks;
using namespace cryptbooks;

// The reader's result for a file and the passwords given: the text of A1,
// or the error.
std::string Open(TSpreadSheetFile& reader, const std::string& path, const std::vector<std::string>& passwords) {
  size_t next = 0;
  reader.OnPassword = [&](TCustomSpreadSheetFile*, std::string& pw, bool& more) {
    more = next < passwords.size();
    if (more) pw = passwords[next++];
  };
  try {
    reader.LoadFromFile(path);
  } catch (const Exception& e) {
    return e.Message();
  }
  const TQXICell* c = reader.Sheets[0].Cells.GetCell(0, 0);
  return c ? VarToStr(c->Value()) : "<no cell>";
}

const std::string Given = "The file is password-protected (Agile encryption); the passwords given do not open it.";

}  // namespace

TEST(Crypt, AgilePackagesOpenWithTheirPasswordAmongThoseGiven) {
  SetACPOverride(CP_UTF8);
  const std::string package = Xlsx({XlsxRowCell("A1", "42")});
  const std::string longPassword(10000, 'x'), utf8 = "p\xC3\xA4ss w\xC3\xB6rd \xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87 \xE5\xAF\x86";
  struct {
    std::string Password;
    std::vector<std::string> Given;
    std::string Expected;
    bool Opened;
  } cases[] = {
      {"secret", {"wrong", "secret"}, "42", true},
      {"secret", {"Secret", "secret "}, Given, false},
      {"secret", {}, "The file is password-protected (Agile encryption); this program cannot open protected files.",
       false},
      {"", {"x", ""}, "42", true},
      {longPassword, {longPassword.substr(1), longPassword}, "42", true},
      {utf8, {utf8}, "42", true},
      {"VelvetSweatshop", {}, "42", false},  // the default one, not asked for
  };
  TTempDir dir;
  const bool tool = std::system("msoffcrypto-tool --help >/dev/null 2>&1") == 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Password.substr(0, 20));
    TAgileWriter w;
    WriteBytes(dir / "book.xlsx", Container(w.Streams(c.Password, package)));
    TMSExcelX x;
    EXPECT_EQ(Open(x, dir / "book.xlsx", c.Given), c.Expected);
    EXPECT_TRUE(x.PasswordProtected());
    EXPECT_EQ(x.OpenedWithPassword(), c.Opened);
    if (tool && !c.Password.empty() && c.Password.size() < 100) {
      // The independent tool reads the same package out of it.
      const std::string cmd = "msoffcrypto-tool -p '" + c.Password + "' " + (dir / "book.xlsx") + " " +
                              (dir / "plain.xlsx") + " >/dev/null 2>&1";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
      EXPECT_EQ(ReadText(dir / "plain.xlsx"), package);
    }
  }
}

TEST(Crypt, AlteredDataFailsItsIntegrityCheck) {
  TTempDir dir;
  TAgileWriter w;
  auto streams = w.Streams("pw", Xlsx({XlsxRowCell("A1", "1")}));
  streams[1].second[100] ^= 1;
  WriteBytes(dir / "book.xlsx", Container(streams));
  TMSExcelX x;
  EXPECT_EQ(Open(x, dir / "book.xlsx", {"pw"}),
            "The file is password-protected (Agile encryption), but its data fails its integrity check: it is "
            "damaged or was altered.");
  streams = w.Streams("pw", Xlsx({XlsxRowCell("A1", "1")}));
  streams[1].second[0] = 0xFF;  // declares more than the stream holds
  streams[1].second[3] = 0x7F;
  WriteBytes(dir / "book.xlsx", Container(streams));
  EXPECT_NE(Open(x, dir / "book.xlsx", {"pw"}).find("its encrypted package declares 21307"), std::string::npos);
}

TEST(Crypt, HostileAgileHeadersAreRefusedBeforeAnyWork) {
  const std::string base = "saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\" "
                           "cipherChaining=\"ChainingModeCBC\" ";
  struct {
    uint32_t Spin;
    std::string Extra;
    std::string Why;
  } cases[] = {
      {10000001, "", "asks for 10000001 key derivation rounds; more than 10000000 are refused"},
      {1, base + "hashAlgorithm=\"MD4\" ", "names the hash MD4, not SHA-1, SHA-256, SHA-384 or SHA-512"},
      {1, "saltSize=\"16\" blockSize=\"16\" keyBits=\"64\" hashSize=\"64\" cipherAlgorithm=\"DES\" "
          "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" ",
       "names the cipher DES ChainingModeCBC, not AES in CBC mode"},
      {1, "saltSize=\"16\" blockSize=\"16\" keyBits=\"100\" hashSize=\"64\" cipherAlgorithm=\"AES\" "
          "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" ",
       "has a key of 100 bits, which AES does not use"},
      {1, "saltSize=\"99\" blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\" "
          "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" ",
       "has a salt whose size is out of bounds or not the one it declares"},
      {1, "saltSize=\"16\" blockSize=\"8\" keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\" "
          "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" ",
       "has a block size other than AES's 16 bytes"},
      {1, "saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" hashSize=\"20\" cipherAlgorithm=\"AES\" "
          "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" ",
       "has a hash size that its hash does not have"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Why);
    TAgileWriter w;
    w.SpinCount = 1;
    w.Extra = c.Extra;
    Bytes info = w.Streams("pw", "x")[0].second;
    if (c.Spin != 1) {
      std::string s(info.begin(), info.end());
      s.replace(s.find("spinCount=\"1\""), 13, "spinCount=\"" + std::to_string(c.Spin) + "\"");
      info.assign(s.begin(), s.end());
    }
    try {
      ParseEncryptionInfo(info.data(), info.size());
      ADD_FAILURE() << "accepted";
    } catch (const EQXIUnknownEncryptionException& e) {
      EXPECT_EQ(e.Message(), "The file is password-protected (Agile encryption), but its encryption header " + c.Why + ".");
    }
  }
}

TEST(Crypt, FilePassRecordsOpenWithTheirPasswordOnly) {
  SetACPOverride(CP_UTF8);
  // Answers from files whose passwords are known: XOR from the corpus's
  // sjs_enc_xor.xls, RC4 from the independent tool's own test vector.
  const Bytes xorPass = Hex("00007a14af83");
  const Bytes rc4Pass = Hex("010001000100"
                            "e8772c1d91c56a37964761b280183217c9e997d454973d310bb1ba701426837e"
                            "b1de178f07e989c44dae5e4cf96ac407");
  struct {
    const Bytes& Record;
    std::string Password;
    bool Opens;
  } cases[] = {
      {xorPass, "password", true},   {xorPass, "Password", false}, {xorPass, "", false},
      {xorPass, "password and more than fifteen", false},
      {rc4Pass, "password1", true},  {rc4Pass, "password", false}, {rc4Pass, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Password);
    const TFilePass fp = ParseFilePass(c.Record.data(), c.Record.size(), true);
    EXPECT_EQ(OpenFilePass(fp, c.Password) != nullptr, c.Opens);
  }
  // Headers that cannot be used say why.
  const Bytes cryptoApi = Hex("010002000200040000000000ffff");
  const Bytes shortRc4 = Hex("0100010001");
  for (const auto& [record, why] : std::vector<std::pair<Bytes, std::string>>{
           {cryptoApi, "(RC4 CryptoAPI), but its encryption header has a header size out of bounds."},
           {shortRc4, "(RC4), but its encryption header is too short."},
           {Hex("0700"), "(unknown encryption), but its encryption header names no scheme this program knows."}}) {
    try {
      ParseFilePass(record.data(), record.size(), true);
      ADD_FAILURE() << why;
    } catch (const EQXIUnknownEncryptionException& e) {
      EXPECT_EQ(e.Message(), "The file is password-protected " + why);
    }
  }
}

// Files another program protected (tests/data/protected/make_protected.py):
// a non-ASCII password, UTF-16 for BIFF8 RC4 and UTF-8 for OpenDocument.
TEST(Crypt, FilesAnotherProgramProtectedOpenWithTheirPassword) {
  SetACPOverride(CP_UTF8);
  const std::string dir = std::string(VARNOWE_SOURCE_DIR) + "/tests/data/protected/";
  const std::string password = "p\xC3\xA4ss w\xC3\xB6rd";
  struct {
    const char* File;
    const char* Scheme;
  } files[] = {{"lo_rc4.xls", "RC4"},
               {"lo_aes.ods", "OpenDocument encryption"},
               {"lo_blowfish.ods", "OpenDocument encryption"}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.File);
    const std::string path = dir + f.File;
    std::unique_ptr<TSpreadSheetFile> reader;
    if (std::string(f.File).find(".ods") != std::string::npos)
      reader = std::make_unique<TQXIOpenOfficeSpreadsheet>();
    else
      reader = std::make_unique<TMSExcel>();
    EXPECT_EQ(Open(*reader, path, {"p\xC3\xA4ss w\xC3\xB6rd ", password}), "protected");
    EXPECT_TRUE(reader->OpenedWithPassword());
    const TQXICell* text = reader->Sheets[0].Cells.GetCell(0, 1), *number = reader->Sheets[0].Cells.GetCell(1, 0);
    ASSERT_TRUE(text && number);
    EXPECT_EQ(Utf16ToUtf8(VarToWideStr(text->Value())), password);
    EXPECT_EQ(VarToStr(number->Value()), "42");
    EXPECT_NE(Open(*reader, path, {"pass word", ""})
                  .find(std::string("is password-protected (") + f.Scheme + "); the passwords given do not open it."),
              std::string::npos);
  }
}

// The record stream through a cipher: headers, the records that stay clear
// and BOUNDSHEET's sheet position are left alone, everything else is
// decrypted by its stream position, however the stream is read or sought.
TEST(Crypt, TheDecryptingStreamLeavesClearWhatIsNeverEncrypted) {
  // A cipher that is its own inverse: each byte XOR the low byte of its position.
  struct TPositionXor : TBiffCipher {
    void Decrypt(uint8_t* b, size_t n, uint64_t pos, uint64_t, uint64_t) override {
      for (size_t i = 0; i < n; ++i) b[i] ^= uint8_t(pos + i) | 0x80;
    }
  };
  struct TRecord {
    uint16_t Type;
    size_t Length;
    size_t ClearBytes;  // of its data
  } records[] = {{0x0809, 16, 16}, {0x002F, 6, 6},   {0x00E1, 2, 2}, {0x0042, 2, 0},  {0x0085, 12, 4},
                 {0x00FC, 300, 0}, {0x0194, 5, 5},   {0x0203, 14, 0}, {0x0809, 16, 16}, {0x000A, 0, 0}};
  Bytes plain, cipherText;
  std::vector<bool> clear;
  for (const TRecord& r : records) {
    for (uint8_t b : {uint8_t(r.Type), uint8_t(r.Type >> 8), uint8_t(r.Length), uint8_t(r.Length >> 8)}) {
      plain.push_back(b);
      clear.push_back(true);
    }
    for (size_t i = 0; i < r.Length; ++i) {
      plain.push_back(uint8_t(7 * plain.size()));
      clear.push_back(i < r.ClearBytes);
    }
  }
  for (size_t i = 0; i < plain.size(); ++i) cipherText.push_back(clear[i] ? plain[i] : plain[i] ^ (uint8_t(i) | 0x80));
  for (size_t chunk : {size_t(1), size_t(3), size_t(64), plain.size()}) {
    SCOPED_TRACE(chunk);
    TCustomMemoryStream source(cipherText.data(), int64_t(cipherText.size()));
    TBiffDecryptStream s(source, std::make_unique<TPositionXor>(), 0);
    Bytes got(plain.size());
    for (size_t at = 0; at < got.size();) at += size_t(s.Read(got.data() + at, int64_t(std::min(chunk, got.size() - at))));
    EXPECT_EQ(got, plain);
    // Back to a record's middle and forward again.
    for (size_t at : {size_t(40), size_t(5), size_t(350), size_t(23)}) {
      s.Seek(int64_t(at), soBeginning);
      uint8_t b[8];
      ASSERT_EQ(s.Read(b, 8), 8);
      EXPECT_EQ(Bytes(b, b + 8), Bytes(plain.begin() + long(at), plain.begin() + long(at) + 8)) << at;
    }
  }
}
