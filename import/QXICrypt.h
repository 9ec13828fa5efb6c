#pragma once
// Protected files: the encryption headers of BIFF workbooks (FILEPASS), of
// encrypted Open XML packages (EncryptionInfo) and of OpenDocument packages
// (the manifest's encryption data), the key derivations that test a
// password against them, and the decryption of what they protect. Ciphers,
// hashes and key derivation come from Nettle. Every size, count and
// iteration number read from a header is checked before it is used, and an
// unusable header raises EQXIUnknownEncryptionException saying what is wrong
// with it; data that fails its checks raises EQXICryptException.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QXIUtils.h"
#include "Streams.h"

using TCryptBytes = std::vector<uint8_t>;

// The password Excel encrypts with when the user gave none (a workbook
// whose structure is protected): opened without asking.
extern const char* const ExcelDefaultPassword;  // "VelvetSweatshop"

// Key derivations refuse more rounds than this: a header asking for more
// would hold the conversion for minutes.
constexpr uint32_t MaxKeyDerivationRounds = 10000000;

enum class THashAlgorithm : uint8_t { MD5, SHA1, SHA256, SHA384, SHA512 };
size_t HashSize(THashAlgorithm algorithm);
// The hash of the parts joined.
TCryptBytes HashOf(THashAlgorithm algorithm, std::initializer_list<TCryptBytes> parts);
TCryptBytes HmacOf(THashAlgorithm algorithm, const TCryptBytes& key, const uint8_t* data, size_t size);
// h, then rounds times the hash of the round number (32 bits) and h.
TCryptBytes IteratedHash(THashAlgorithm algorithm, TCryptBytes h, uint32_t rounds);
TCryptBytes Utf16LEBytes(const std::string& utf8);
// AES with a 16-, 24- or 32-byte key over whole blocks, in place; the IV
// (CBC) is that many leading bytes of iv, padded with 0x36 bytes when shorter.
void AesEcbDecrypt(const TCryptBytes& key, uint8_t* data, size_t size);
void AesCbcDecrypt(const TCryptBytes& key, const TCryptBytes& iv, uint8_t* data, size_t size);
// Standard base64 (blanks ignored); false when the text is no base64.
bool DecodeBase64(const std::string& text, TCryptBytes& out);

// ---------------------------------------------------------------------------
// BIFF workbooks

enum class TBiffEncryption : uint8_t { Xor, Rc4, Rc4CryptoApi };

struct TFilePass {
  TBiffEncryption Kind = TBiffEncryption::Xor;
  uint16_t XorKey = 0;
  uint16_t XorVerifier = 0;
  TCryptBytes Salt, Verifier, VerifierHash;  // RC4 and RC4 CryptoAPI
  uint32_t KeyBits = 128;                    // RC4 CryptoAPI: 40 to 128
  // "XOR", "RC4", "RC4 CryptoAPI"
  const char* SchemeName() const;
};

// A FILEPASS record's data; biff8: the BIFF8 layout, which names its scheme
// first (BIFF2 to BIFF7 know XOR obfuscation only). Raises the header error
// naming the scheme when the record cannot be used.
TFilePass ParseFilePass(const uint8_t* data, size_t size, bool biff8);
// The name of the scheme a FILEPASS record names ("" when none is known),
// for the message of a record that cannot be used.
std::string FilePassSchemeName(const uint8_t* data, size_t size, bool biff8);

// Decrypts the data of BIFF records. Positions count from the start of the
// workbook stream; the cipher is rekeyed as the scheme says (RC4 every
// 1,024 bytes of the stream; XOR by position within a record).
class TBiffCipher {
 public:
  virtual ~TBiffCipher() = default;
  // n bytes standing at stream position pos, inside the data of a record
  // whose data starts at dataStart and holds dataLength bytes.
  virtual void Decrypt(uint8_t* bytes, size_t n, uint64_t pos, uint64_t dataStart, uint64_t dataLength) = 0;
};
// The cipher when the password (UTF-8) opens the workbook, else nullptr.
// XOR passwords are tried in the code pages Excel may have used.
std::unique_ptr<TBiffCipher> OpenFilePass(const TFilePass& filePass, const std::string& password);

// The workbook stream seen through a cipher: record headers, the records
// that are never encrypted (BOF, FILEPASS, INTERFACEHDR, the shared-workbook
// records) and the sheet positions of BOUNDSHEET stay as they are, the data
// of every other record that begins at or after `from` is decrypted as it
// is read. Seeks to any position work; forward ones are cheap.
class TBiffDecryptStream : public TStream {
 public:
  TBiffDecryptStream(TStream& source, std::unique_ptr<TBiffCipher> cipher, uint64_t from);
  ~TBiffDecryptStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return FSize; }

 private:
  // Walks record headers until the record holding position pos is known;
  // raw holds the stream's bytes from rawStart to rawEnd as read.
  void Locate(uint64_t pos, const uint8_t* raw, uint64_t rawStart, uint64_t rawEnd);
  TStream& FSource;
  std::unique_ptr<TBiffCipher> FCipher;
  uint64_t FFrom;
  int64_t FSize;
  uint64_t FPos = 0;
  // The record the walk stands in: header at FRecord, data in [FDataStart, FDataEnd).
  uint64_t FRecord = 0, FDataStart = 0, FDataEnd = 0;
  uint64_t FClearEnd = 0;  // data below this position is clear
  bool FWalked = false;
};

// ---------------------------------------------------------------------------
// Encrypted Open XML packages (an EncryptionInfo and an EncryptedPackage
// stream in a compound document)

struct TPackageEncryption {
  bool Agile = false;
  // "Standard encryption", "Agile encryption"
  const char* SchemeName() const { return Agile ? "Agile encryption" : "Standard encryption"; }

  // Standard: AES in ECB mode, SHA-1, 50,000 rounds.
  uint32_t KeyBits = 128;
  TCryptBytes Salt, Verifier, VerifierHash;

  // Agile: the key of the data (KeyData) and the password's key encryptor.
  struct TKeyParams {
    uint32_t BlockSize = 16;
    uint32_t KeyBits = 0;
    uint32_t HashSize = 0;
    THashAlgorithm Hash = THashAlgorithm::SHA1;
    TCryptBytes Salt;
  };
  TKeyParams KeyData, PasswordKey;
  uint32_t SpinCount = 0;
  TCryptBytes EncryptedVerifierHashInput, EncryptedVerifierHashValue, EncryptedKeyValue;
  TCryptBytes EncryptedHmacKey, EncryptedHmacValue;  // empty: no integrity data
};

// The EncryptionInfo stream. Raises the header error for a version, an
// algorithm or a size it cannot use (the message names the scheme and why).
TPackageEncryption ParseEncryptionInfo(const uint8_t* data, size_t size);
// The scheme an EncryptionInfo names by its version ("" when unknown).
std::string EncryptionInfoSchemeName(const uint8_t* data, size_t size);
// The key of the package data when the password opens it, else empty.
TCryptBytes PackageKey(const TPackageEncryption& info, const std::string& password);
// The EncryptedPackage stream (its 8-byte size, then the data) decrypted in
// place into the package; the size is checked against the stream and, for
// agile encryption, the data against its integrity code. Raises
// EQXICryptException.
void DecryptPackage(const TPackageEncryption& info, const TCryptBytes& key, TCryptBytes& data);

// ---------------------------------------------------------------------------
// OpenDocument packages

struct TOdfEncryption {
  std::string Path;           // the entry, without leading "/"
  uint64_t Size = 0;          // its size before compression and encryption
  bool Aes = false;           // AES-CBC (else Blowfish CFB)
  uint32_t KeySize = 16;      // bytes of the derived key
  TCryptBytes IV;
  THashAlgorithm StartKeyHash = THashAlgorithm::SHA1;
  THashAlgorithm ChecksumHash = THashAlgorithm::SHA1;
  TCryptBytes Checksum;       // of the first 1,024 bytes after decryption
  uint32_t Iterations = 0;
  TCryptBytes Salt;
  // Why the entry's encryption data cannot be used; empty when it can.
  std::string Problem;
};

// The encrypted entries the manifest (META-INF/manifest.xml) lists; one
// whose encryption data cannot be used says why in Problem.
std::vector<TOdfEncryption> ParseOdfManifestEncryption(TStream& manifest);
// The entry's key for a password.
TCryptBytes OdfEntryKey(const TOdfEncryption& entry, const std::string& password);
// The entry's stored bytes decrypted (deflate data, padding removed); false
// when the checksum says the key is not the entry's.
bool DecryptOdfEntry(const TOdfEncryption& entry, const TCryptBytes& key, const std::string& stored,
                     std::string& deflated);
