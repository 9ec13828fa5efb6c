// BIFF workbooks: the FILEPASS record, XOR obfuscation, RC4 and RC4
// CryptoAPI, and the record stream seen through them.
#include <nettle/arcfour.h>

#include <algorithm>
#include <cstring>

#include "ByteReader.h"
#include "CodePage.h"
#include "QXICrypt.h"

namespace {

// ---------------------------------------------------------------- XOR

const uint16_t kXorInitialCode[15] = {0xE1F0, 0x1D0F, 0xCC9C, 0x84C0, 0x110C, 0x0E10, 0xF1CE, 0x313E,
                                      0x1872, 0xE139, 0xD40F, 0x84F9, 0x280C, 0xA96A, 0x4EC3};
const uint16_t kXorMatrix[105] = {
    0xAEFC, 0x4DD9, 0x9BB2, 0x2745, 0x4E8A, 0x9D14, 0x2A09, 0x7B61, 0xF6C2, 0xFDA5, 0xEB6B, 0xC6F7, 0x9DCF, 0x2BBF,
    0x4563, 0x8AC6, 0x05AD, 0x0B5A, 0x16B4, 0x2D68, 0x5AD0, 0x0375, 0x06EA, 0x0DD4, 0x1BA8, 0x3750, 0x6EA0, 0xDD40,
    0xD849, 0xA0B3, 0x5147, 0xA28E, 0x553D, 0xAA7A, 0x44D5, 0x6F45, 0xDE8A, 0xAD35, 0x4A4B, 0x9496, 0x390D, 0x721A,
    0xEB23, 0xC667, 0x9CEF, 0x29FF, 0x53FE, 0xA7FC, 0x5FD9, 0x47D3, 0x8FA6, 0x0F6D, 0x1EDA, 0x3DB4, 0x7B68, 0xF6D0,
    0xB861, 0x60E3, 0xC1C6, 0x93AD, 0x377B, 0x6EF6, 0xDDEC, 0x45A0, 0x8B40, 0x06A1, 0x0D42, 0x1A84, 0x3508, 0x6A10,
    0xAA51, 0x4483, 0x8906, 0x022D, 0x045A, 0x08B4, 0x1168, 0x76B4, 0xED68, 0xCAF1, 0x85C3, 0x1BA7, 0x374E, 0x6E9C,
    0x3730, 0x6E60, 0xDCC0, 0xA9A1, 0x4363, 0x86C6, 0x1DAD, 0x3331, 0x6662, 0xCCC4, 0x89A9, 0x0373, 0x06E6, 0x0DCC,
    0x1021, 0x2042, 0x4084, 0x8108, 0x1231, 0x2462, 0x48C4};
const uint8_t kXorPad[15] = {0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80, 0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00};

uint16_t XorVerifier(const std::string& pw) {
  uint16_t v = 0;
  std::string bytes = char(pw.size()) + pw;
  for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
    v = uint16_t(((v & 0x4000) ? 1 : 0) | ((v << 1) & 0x7FFF));
    v ^= uint8_t(*it);
  }
  return v ^ 0xCE4B;
}

uint16_t XorKeyOf(const std::string& pw) {
  uint16_t key = kXorInitialCode[pw.size() - 1];
  int element = 0x68;
  for (auto it = pw.rbegin(); it != pw.rend(); ++it) {
    uint8_t c = uint8_t(*it);
    for (int bit = 0; bit < 7; ++bit, --element) {
      if (c & 0x40) key ^= kXorMatrix[element];
      c = uint8_t(c << 1);
    }
  }
  return key;
}

uint8_t XorRor(uint8_t a, uint8_t b) {
  const uint8_t v = a ^ b;
  return uint8_t((v >> 1) | (v << 7));
}

class TXorCipher : public TBiffCipher {
 public:
  TXorCipher(const std::string& pw, uint16_t key) {
    const uint8_t hi = uint8_t(key >> 8), lo = uint8_t(key);
    size_t index = pw.size();
    if (index % 2 == 1) {
      FArray[index] = XorRor(kXorPad[0], hi);
      --index;
      FArray[index] = XorRor(uint8_t(pw.back()), lo);
    }
    while (index > 0) {
      --index;
      FArray[index] = XorRor(uint8_t(pw[index]), hi);
      --index;
      FArray[index] = XorRor(uint8_t(pw[index]), lo);
    }
    index = 15;
    for (size_t pad = 15 - pw.size(); pad > 0 && pad < 16;) {
      FArray[index--] = XorRor(kXorPad[pad--], hi);
      FArray[index--] = XorRor(kXorPad[pad--], lo);
    }
  }
  void Decrypt(uint8_t* bytes, size_t n, uint64_t pos, uint64_t, uint64_t dataLength) override {
    // The array is indexed from the record's end, as the writer did.
    for (size_t i = 0; i < n; ++i) {
      const uint8_t c = bytes[i] ^ FArray[(pos + i + dataLength) & 15];
      bytes[i] = uint8_t((c << 3) | (c >> 5));
    }
  }

 private:
  uint8_t FArray[16] = {};
};

// ---------------------------------------------------------------- RC4

// The stream is rekeyed every 1,024 bytes by block number.
class TRc4Cipher : public TBiffCipher {
 public:
  TRc4Cipher(bool cryptoApi, TCryptBytes base, uint32_t keyBits)
      : FCryptoApi(cryptoApi), FBase(std::move(base)), FKeyBits(keyBits) {}
  // The RC4 key of a block.
  TCryptBytes BlockKey(uint32_t block) const {
    const TCryptBytes b = {uint8_t(block), uint8_t(block >> 8), uint8_t(block >> 16), uint8_t(block >> 24)};
    if (!FCryptoApi) return HashOf(THashAlgorithm::MD5, {FBase, b});
    TCryptBytes h = HashOf(THashAlgorithm::SHA1, {FBase, b});
    h.resize(FKeyBits / 8);
    if (FKeyBits == 40) h.resize(16, 0);  // 40-bit keys are used as 128-bit ones
    return h;
  }
  void Keystream(uint32_t block, uint8_t* out, size_t n) const {
    const TCryptBytes key = BlockKey(block);
    arcfour_ctx ctx;
    arcfour_set_key(&ctx, key.size(), key.data());
    std::memset(out, 0, n);
    arcfour_crypt(&ctx, n, out, out);
  }
  void Decrypt(uint8_t* bytes, size_t n, uint64_t pos, uint64_t, uint64_t) override {
    for (size_t i = 0; i < n; ++i) {
      const uint64_t p = pos + i;
      const uint64_t block = p / 1024;
      if (block != FBlock) {
        Keystream(uint32_t(block), FStream, sizeof FStream);
        FBlock = block;
      }
      bytes[i] ^= FStream[p % 1024];
    }
  }

 private:
  bool FCryptoApi;
  TCryptBytes FBase;  // RC4: the truncated second hash; CryptoAPI: the first hash
  uint32_t FKeyBits;
  uint64_t FBlock = UINT64_MAX;
  uint8_t FStream[1024] = {};
};

[[noreturn]] void Unusable(const char* scheme, const std::string& why) {
  throw EQXIUnknownEncryptionException(std::string("The file is password-protected (") + scheme +
                           "), but its encryption header " + why + ".");
}

TCryptBytes Slice(const TByteReader& r, size_t off, size_t n) {
  r.Need(off, n);
  return TCryptBytes(r.Data() + off, r.Data() + off + n);
}

// Records that are never encrypted, and BOUNDSHEET, whose sheet position is not.
bool NeverEncrypted(uint16_t type) {
  switch (type) {
    case 0x0009: case 0x0209: case 0x0409: case 0x0809:  // BOF
    case 0x002F:                                         // FILEPASS
    case 0x00E1:                                         // INTERFACEHDR
    case 0x0138: case 0x0194: case 0x0195: case 0x0196:  // RRDHEAD, USREXCL, FILELOCK, RRDINFO
      return true;
    default:
      return false;
  }
}

}  // namespace

const char* TFilePass::SchemeName() const {
  switch (Kind) {
    case TBiffEncryption::Xor: return "XOR";
    case TBiffEncryption::Rc4: return "RC4";
    case TBiffEncryption::Rc4CryptoApi: break;
  }
  return "RC4 CryptoAPI";
}

std::string FilePassSchemeName(const uint8_t* data, size_t size, bool biff8) {
  const TByteReader r(data, size);
  if (!biff8) return "XOR";
  if (!r.Fits(0, 2)) return std::string();
  if (r.U16(0) == 0) return "XOR";
  if (r.U16(0) != 1 || !r.Fits(2, 2)) return std::string();
  const uint16_t major = r.U16(2);
  return major == 1 ? "RC4" : major >= 2 && major <= 4 ? "RC4 CryptoAPI" : std::string();
}

TFilePass ParseFilePass(const uint8_t* data, size_t size, bool biff8) {
  const TByteReader r(data, size);
  TFilePass fp;
  const std::string scheme = FilePassSchemeName(data, size, biff8);
  if (scheme.empty()) Unusable("unknown encryption", "names no scheme this program knows");
  try {
    if (scheme == "XOR") {
      const size_t off = biff8 ? 2 : 0;
      fp.XorKey = r.U16(off);
      fp.XorVerifier = r.U16(off + 2);
      return fp;
    }
    if (scheme == "RC4") {
      fp.Kind = TBiffEncryption::Rc4;
      fp.Salt = Slice(r, 6, 16);
      fp.Verifier = Slice(r, 22, 16);
      fp.VerifierHash = Slice(r, 38, 16);
      return fp;
    }
    fp.Kind = TBiffEncryption::Rc4CryptoApi;
    const uint32_t headerSize = r.U32(10);
    if (headerSize < 32 || headerSize > size) Unusable(fp.SchemeName(), "has a header size out of bounds");
    const uint32_t algId = r.U32(14 + 8), hashId = r.U32(14 + 12);
    uint32_t keyBits = r.U32(14 + 16);
    if (keyBits == 0) keyBits = 40;
    if ((algId != 0 && algId != 0x6801) || (hashId != 0 && hashId != 0x8004))
      Unusable(fp.SchemeName(), "names a cipher or hash other than RC4 and SHA-1");
    if (keyBits < 40 || keyBits > 128 || keyBits % 8) Unusable(fp.SchemeName(), "has a key size out of bounds");
    fp.KeyBits = keyBits;
    const size_t v = 14 + size_t(headerSize);
    if (r.U32(v) != 16) Unusable(fp.SchemeName(), "has a salt size other than 16");
    fp.Salt = Slice(r, v + 4, 16);
    fp.Verifier = Slice(r, v + 20, 16);
    if (r.U32(v + 36) != 20) Unusable(fp.SchemeName(), "has a verifier hash size other than 20");
    fp.VerifierHash = Slice(r, v + 40, 20);
  } catch (const EBoundsError&) {
    Unusable(fp.SchemeName(), "is too short");
  }
  return fp;
}

std::unique_ptr<TBiffCipher> OpenFilePass(const TFilePass& fp, const std::string& password) {
  if (fp.Kind == TBiffEncryption::Xor) {
    // The password as Excel saw it: in the ANSI code page of its system
    // (the Western one, or the reader's own), else each character's low
    // byte (its high byte when the low one is 0). At most 15 bytes count.
    std::vector<std::string> forms;
    const std::u16string wide = Utf8ToWide(password);
    for (int cp : {1252, GetACP()}) {
      if (cp == CP_UTF8) continue;
      const std::string bytes = WideToAnsi(wide, cp);
      if (AnsiToWide(bytes, cp) == wide) forms.push_back(bytes);
    }
    std::string low;
    for (char16_t c : wide) low += char((c & 0xFF) ? (c & 0xFF) : (c >> 8));
    forms.push_back(low);
    for (std::string& pw : forms) {
      if (pw.size() > 15) pw.resize(15);
      if (pw.empty() || XorVerifier(pw) != fp.XorVerifier || XorKeyOf(pw) != fp.XorKey) continue;
      return std::make_unique<TXorCipher>(pw, fp.XorKey);
    }
    return nullptr;
  }
  const TCryptBytes pw = Utf16LEBytes(password);
  std::unique_ptr<TRc4Cipher> c;
  if (fp.Kind == TBiffEncryption::Rc4) {
    TCryptBytes h0 = HashOf(THashAlgorithm::MD5, {pw});
    h0.resize(5);
    TCryptBytes buffer;
    for (int i = 0; i < 16; ++i) {
      buffer.insert(buffer.end(), h0.begin(), h0.end());
      buffer.insert(buffer.end(), fp.Salt.begin(), fp.Salt.end());
    }
    TCryptBytes h1 = HashOf(THashAlgorithm::MD5, {buffer});
    h1.resize(5);
    c = std::make_unique<TRc4Cipher>(false, std::move(h1), 128);
  } else {
    c = std::make_unique<TRc4Cipher>(true, HashOf(THashAlgorithm::SHA1, {fp.Salt, pw}), fp.KeyBits);
  }
  // The verifier and its hash follow each other in block 0's key stream.
  const size_t n = fp.Verifier.size() + fp.VerifierHash.size();
  uint8_t ks[64];
  c->Keystream(0, ks, n);
  TCryptBytes verifier(fp.Verifier), hash(fp.VerifierHash);
  for (size_t i = 0; i < verifier.size(); ++i) verifier[i] ^= ks[i];
  for (size_t i = 0; i < hash.size(); ++i) hash[i] ^= ks[verifier.size() + i];
  const TCryptBytes expected =
      HashOf(fp.Kind == TBiffEncryption::Rc4 ? THashAlgorithm::MD5 : THashAlgorithm::SHA1, {verifier});
  if (expected != hash) return nullptr;
  return c;
}

// ---------------------------------------------------------------------------
// TBiffDecryptStream

TBiffDecryptStream::TBiffDecryptStream(TStream& source, std::unique_ptr<TBiffCipher> cipher, uint64_t from)
    : FSource(source), FCipher(std::move(cipher)), FFrom(from), FSize(source.Size()) {}

TBiffDecryptStream::~TBiffDecryptStream() = default;

int64_t TBiffDecryptStream::Write(const void*, int64_t) { throw EWriteError("Stream write error"); }

int64_t TBiffDecryptStream::Seek(int64_t offset, int origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? int64_t(FPos) : FSize;
  const int64_t target = base + offset;
  if (target < 0) throw EReadError("Stream seek error");
  FPos = uint64_t(target);
  return target;
}

void TBiffDecryptStream::Locate(uint64_t pos, const uint8_t* raw, uint64_t rawStart, uint64_t rawEnd) {
  if (!FWalked || pos < FRecord) {
    FWalked = true;
    FRecord = FDataStart = FDataEnd = FClearEnd = 0;
  }
  while (pos >= FDataEnd) {
    FRecord = FDataEnd;
    uint8_t copy[4];
    const uint8_t* h = copy;
    // Headers are never encrypted: one inside the block just read is taken from it.
    if (FRecord >= rawStart && FRecord + 4 <= rawEnd) {
      h = raw + (FRecord - rawStart);
    } else if (FSource.Seek(int64_t(FRecord), soBeginning), FSource.Read(copy, 4) < 4) {
      // A header cut short: what is left is passed on as it is.
      FDataStart = FRecord;
      FDataEnd = FClearEnd = UINT64_MAX;
      return;
    }
    const uint16_t type = uint16_t(h[0] | h[1] << 8), length = uint16_t(h[2] | h[3] << 8);
    FDataStart = FRecord + 4;
    FDataEnd = FDataStart + length;
    if (FRecord < FFrom || NeverEncrypted(type))
      FClearEnd = FDataEnd;
    else if (type == 0x0085)
      FClearEnd = std::min(FDataEnd, FDataStart + 4);
    else
      FClearEnd = FDataStart;
  }
}

int64_t TBiffDecryptStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || int64_t(FPos) >= FSize) return 0;
  FSource.Seek(int64_t(FPos), soBeginning);
  const int64_t got = FSource.Read(buffer, count);
  if (got <= 0) return got;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  const uint64_t end = FPos + uint64_t(got);
  for (uint64_t q = FPos; q < end;) {
    Locate(q, out, FPos, end);
    const uint64_t stop = std::min(end, FDataEnd);
    const uint64_t from = std::max(q, FClearEnd);
    if (from < stop) FCipher->Decrypt(out + (from - FPos), size_t(stop - from), from, FDataStart, FDataEnd - FDataStart);
    q = stop;
  }
  FPos = end;
  return got;
}
