// Encrypted Open XML packages: the EncryptionInfo stream (standard and
// agile encryption), the password's key, and the package decrypted.
#include <algorithm>
#include <cstring>

#include "ByteReader.h"
#include "CodePage.h"
#include "QXICrypt.h"
#include "QXIXML.h"
#include "Streams.h"

namespace {

constexpr uint32_t kStandardRounds = 50000;
constexpr size_t kSegment = 4096;  // agile data is encrypted in segments of this size
const TCryptBytes kVerifierInputBlock = {0xFE, 0xA7, 0xD2, 0x76, 0x3B, 0x4B, 0x9E, 0x79};
const TCryptBytes kVerifierValueBlock = {0xD7, 0xAA, 0x0F, 0x6D, 0x30, 0x61, 0x34, 0x4E};
const TCryptBytes kKeyValueBlock = {0x14, 0x6E, 0x0B, 0xE7, 0xAB, 0xAC, 0xD0, 0xD6};
const TCryptBytes kHmacKeyBlock = {0x5F, 0xB2, 0xAD, 0x01, 0x0C, 0xB9, 0xE1, 0xF6};
const TCryptBytes kHmacValueBlock = {0xA0, 0x67, 0x7F, 0x02, 0xB2, 0x2C, 0x84, 0x33};

[[noreturn]] void Unusable(const char* scheme, const std::string& why) {
  throw EQXIUnknownEncryptionException(std::string("The file is password-protected (") + scheme +
                           "), but its encryption header " + why + ".");
}

TCryptBytes LE32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// bytes resized to n, padded with 0x36 bytes.
TCryptBytes Fit(TCryptBytes bytes, size_t n) {
  bytes.resize(n, 0x36);
  return bytes;
}

// The agile header's XML.
class TAgileParser {
 public:
  TPackageEncryption Info;
  bool KeyDataSeen = false, PasswordSeen = false;

  void Element(const std::string& local, const std::u16string& attrs) {
    if (local == "keyData") {
      Params(attrs, Info.KeyData);
      KeyDataSeen = true;
    } else if (local == "dataIntegrity") {
      Info.EncryptedHmacKey = Base64(attrs, "encryptedHmacKey");
      Info.EncryptedHmacValue = Base64(attrs, "encryptedHmacValue");
    } else if (local == "encryptedKey" && !Text(attrs, "spinCount").empty() && !PasswordSeen) {
      // The password's key encryptor (certificate ones have no rounds).
      Params(attrs, Info.PasswordKey);
      const std::string spin = Text(attrs, "spinCount");
      if (spin.size() > 10 || spin.find_first_not_of("0123456789") != std::string::npos)
        Unusable("Agile encryption", "has a spin count that is no number");
      const uint64_t n = std::stoull(spin);
      if (n > MaxKeyDerivationRounds)
        Unusable("Agile encryption", "asks for " + spin + " key derivation rounds; more than " +
                                         std::to_string(MaxKeyDerivationRounds) + " are refused");
      Info.SpinCount = uint32_t(n);
      Info.EncryptedVerifierHashInput = Base64(attrs, "encryptedVerifierHashInput");
      Info.EncryptedVerifierHashValue = Base64(attrs, "encryptedVerifierHashValue");
      Info.EncryptedKeyValue = Base64(attrs, "encryptedKeyValue");
      PasswordSeen = true;
    }
  }

 private:
  static std::string Text(const std::u16string& attrs, const char* name) {
    std::u16string v;
    return FindXMLAttribute(attrs, name, v, true) ? Utf16ToUtf8(v) : std::string();
  }
  static TCryptBytes Base64(const std::u16string& attrs, const char* name) {
    TCryptBytes out;
    if (!DecodeBase64(Text(attrs, name), out)) Unusable("Agile encryption", std::string("has no valid ") + name);
    return out;
  }
  static uint32_t Number(const std::u16string& attrs, const char* name) {
    const std::string t = Text(attrs, name);
    if (t.empty() || t.size() > 6 || t.find_first_not_of("0123456789") != std::string::npos)
      Unusable("Agile encryption", std::string("has a ") + name + " out of bounds");
    return uint32_t(std::stoul(t));
  }
  static void Params(const std::u16string& attrs, TPackageEncryption::TKeyParams& p) {
    const std::string cipher = Text(attrs, "cipherAlgorithm"), chaining = Text(attrs, "cipherChaining"),
                      hash = Text(attrs, "hashAlgorithm");
    if (cipher != "AES" || chaining != "ChainingModeCBC")
      Unusable("Agile encryption", "names the cipher " + cipher + " " + chaining + ", not AES in CBC mode");
    if (hash == "SHA1" || hash == "SHA-1") p.Hash = THashAlgorithm::SHA1;
    else if (hash == "SHA256") p.Hash = THashAlgorithm::SHA256;
    else if (hash == "SHA384") p.Hash = THashAlgorithm::SHA384;
    else if (hash == "SHA512") p.Hash = THashAlgorithm::SHA512;
    else Unusable("Agile encryption", "names the hash " + hash + ", not SHA-1, SHA-256, SHA-384 or SHA-512");
    p.BlockSize = Number(attrs, "blockSize");
    p.KeyBits = Number(attrs, "keyBits");
    p.HashSize = Number(attrs, "hashSize");
    const uint32_t saltSize = Number(attrs, "saltSize");
    p.Salt = Base64(attrs, "saltValue");
    if (p.BlockSize != 16) Unusable("Agile encryption", "has a block size other than AES's 16 bytes");
    if (p.KeyBits != 128 && p.KeyBits != 192 && p.KeyBits != 256)
      Unusable("Agile encryption", "has a key of " + std::to_string(p.KeyBits) + " bits, which AES does not use");
    if (p.HashSize != HashSize(p.Hash)) Unusable("Agile encryption", "has a hash size that its hash does not have");
    if (saltSize < 1 || saltSize > 65536 || saltSize != p.Salt.size())
      Unusable("Agile encryption", "has a salt whose size is out of bounds or not the one it declares");
  }
};

// Whole AES blocks of at least n bytes.
void NeedBlocks(const TCryptBytes& b, size_t n, const char* what) {
  if (b.size() < n || b.size() % 16) Unusable("Agile encryption", std::string("has an ") + what + " of the wrong size");
}

TCryptBytes Decrypted(const TCryptBytes& key, const TCryptBytes& iv, TCryptBytes data, size_t keep) {
  AesCbcDecrypt(key, iv, data.data(), data.size());
  data.resize(keep);
  return data;
}

}  // namespace

std::string EncryptionInfoSchemeName(const uint8_t* data, size_t size) {
  if (size < 4) return std::string();
  const uint16_t major = uint16_t(data[0] | data[1] << 8), minor = uint16_t(data[2] | data[3] << 8);
  if (major == 4 && minor == 4) return "Agile encryption";
  if (major >= 2 && major <= 4 && minor == 2) return "Standard encryption";
  if ((major == 3 || major == 4) && minor == 3) return "Extensible encryption";
  return std::string();
}

TPackageEncryption ParseEncryptionInfo(const uint8_t* data, size_t size) {
  const std::string scheme = EncryptionInfoSchemeName(data, size);
  if (scheme.empty()) Unusable("unknown encryption", "names no scheme this program knows");
  if (scheme == "Extensible encryption") Unusable(scheme.c_str(), "names an extension this program does not have");
  const TByteReader r(data, size);
  if (scheme == "Agile encryption") {
    TAgileParser p;
    TQXXMLEngine e;
    e.OnTag = [&](TQXXMLEngine*, TQXXMLItem*, const std::string& name, const std::u16string&,
                  const std::u16string& attrs, bool& accept) {
      const size_t colon = name.find(':');
      const std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
      accept = name.empty() || name[0] == '?' || local == "encryption" || local == "keyEncryptors" || local == "keyEncryptor";
      if (!accept) p.Element(local, attrs);
    };
    if (size > 8) e.Parse(reinterpret_cast<const char*>(data) + 8, size - 8);
    if (!p.KeyDataSeen || !p.PasswordSeen) Unusable(scheme.c_str(), "has no password key encryptor");
    TPackageEncryption& info = p.Info;
    info.Agile = true;
    NeedBlocks(info.EncryptedVerifierHashInput, info.PasswordKey.Salt.size(), "encrypted verifier");
    NeedBlocks(info.EncryptedVerifierHashValue, info.PasswordKey.HashSize, "encrypted verifier hash");
    NeedBlocks(info.EncryptedKeyValue, info.KeyData.KeyBits / 8, "encrypted key");
    if (!info.EncryptedHmacKey.empty() || !info.EncryptedHmacValue.empty()) {
      NeedBlocks(info.EncryptedHmacKey, info.KeyData.HashSize, "encrypted integrity key");
      NeedBlocks(info.EncryptedHmacValue, info.KeyData.HashSize, "encrypted integrity code");
    }
    return info;
  }
  TPackageEncryption info;
  try {
    const uint32_t headerSize = r.U32(8);
    if (headerSize < 32 || headerSize > size) Unusable(scheme.c_str(), "has a header size out of bounds");
    const uint32_t flags = r.U32(12), algId = r.U32(12 + 8), hashId = r.U32(12 + 12), keyBits = r.U32(12 + 16);
    uint32_t aesBits = algId == 0x660E ? 128 : algId == 0x660F ? 192 : algId == 0x6610 ? 256 : 0;
    if (algId == 0 && (flags & 0x20)) aesBits = 128;
    if (aesBits == 0) Unusable(scheme.c_str(), "names a cipher other than AES");
    if (hashId != 0 && hashId != 0x8004) Unusable(scheme.c_str(), "names a hash other than SHA-1");
    if (keyBits != aesBits) Unusable(scheme.c_str(), "has a key size its cipher does not use");
    info.KeyBits = keyBits;
    const size_t v = 12 + size_t(headerSize);
    if (r.U32(v) != 16) Unusable(scheme.c_str(), "has a salt size other than 16");
    info.Salt.assign(r.Data() + v + 4, r.Data() + v + 4 + (r.Need(v + 4, 16), 16));
    info.Verifier.assign(r.Data() + v + 20, r.Data() + v + 20 + (r.Need(v + 20, 16), 16));
    if (r.U32(v + 36) != 20) Unusable(scheme.c_str(), "has a verifier hash size other than 20");
    info.VerifierHash.assign(r.Data() + v + 40, r.Data() + v + 40 + (r.Need(v + 40, 32), 32));
  } catch (const EBoundsError&) {
    Unusable(scheme.c_str(), "is too short");
  }
  return info;
}

TCryptBytes PackageKey(const TPackageEncryption& info, const std::string& password) {
  const TCryptBytes pw = Utf16LEBytes(password);
  if (!info.Agile) {
    TCryptBytes h = IteratedHash(THashAlgorithm::SHA1, HashOf(THashAlgorithm::SHA1, {info.Salt, pw}), kStandardRounds);
    h = HashOf(THashAlgorithm::SHA1, {h, LE32(0)});
    TCryptBytes inner(64, 0x36), outer(64, 0x5C);
    for (size_t i = 0; i < h.size(); ++i) {
      inner[i] ^= h[i];
      outer[i] ^= h[i];
    }
    TCryptBytes key = HashOf(THashAlgorithm::SHA1, {inner});
    const TCryptBytes x2 = HashOf(THashAlgorithm::SHA1, {outer});
    key.insert(key.end(), x2.begin(), x2.end());
    key.resize(info.KeyBits / 8);
    TCryptBytes verifier = info.Verifier, hash = info.VerifierHash;
    AesEcbDecrypt(key, verifier.data(), verifier.size());
    AesEcbDecrypt(key, hash.data(), hash.size());
    hash.resize(20);
    return HashOf(THashAlgorithm::SHA1, {verifier}) == hash ? key : TCryptBytes();
  }
  const TPackageEncryption::TKeyParams& p = info.PasswordKey;
  const TCryptBytes h = IteratedHash(p.Hash, HashOf(p.Hash, {p.Salt, pw}), info.SpinCount);
  auto keyFor = [&](const TCryptBytes& block) { return Fit(HashOf(p.Hash, {h, block}), p.KeyBits / 8); };
  const TCryptBytes input =
      Decrypted(keyFor(kVerifierInputBlock), p.Salt, info.EncryptedVerifierHashInput, p.Salt.size());
  const TCryptBytes value =
      Decrypted(keyFor(kVerifierValueBlock), p.Salt, info.EncryptedVerifierHashValue, p.HashSize);
  if (HashOf(p.Hash, {input}) != value) return TCryptBytes();
  return Decrypted(keyFor(kKeyValueBlock), p.Salt, info.EncryptedKeyValue, info.KeyData.KeyBits / 8);
}

void DecryptPackage(const TPackageEncryption& info, const TCryptBytes& key, TCryptBytes& data) {
  const char* scheme = info.SchemeName();
  if (data.size() < 8) Unusable(scheme, "comes with an encrypted package too short to hold its size");
  const uint64_t declared = TByteReader(data.data(), 8).U64(0);
  const uint64_t held = data.size() - 8;
  if (declared > held - held % 16)
    throw EQXICryptException(std::string("The file is password-protected (") + scheme +
                             "), but its encrypted package declares " + std::to_string(declared) +
                             " bytes where its stream holds " + std::to_string(held) + ".");
  if (!info.Agile) {
    AesEcbDecrypt(key, data.data() + 8, size_t(held));
  } else {
    const TPackageEncryption::TKeyParams& k = info.KeyData;
    if (!info.EncryptedHmacKey.empty()) {
      const TCryptBytes hmacKey =
          Decrypted(key, Fit(HashOf(k.Hash, {k.Salt, kHmacKeyBlock}), 16), info.EncryptedHmacKey, k.HashSize);
      const TCryptBytes expected =
          Decrypted(key, Fit(HashOf(k.Hash, {k.Salt, kHmacValueBlock}), 16), info.EncryptedHmacValue, k.HashSize);
      if (HmacOf(k.Hash, hmacKey, data.data(), data.size()) != expected)
        throw EQXICryptException(std::string("The file is password-protected (") + scheme +
                                 "), but its data fails its integrity check: it is damaged or was altered.");
    }
    for (uint64_t off = 0, i = 0; off < held; off += kSegment, ++i) {
      const size_t n = size_t(std::min<uint64_t>(kSegment, held - off));
      AesCbcDecrypt(key, Fit(HashOf(k.Hash, {k.Salt, LE32(uint32_t(i))}), 16), data.data() + 8 + off, n);
    }
  }
  std::memmove(data.data(), data.data() + 8, size_t(declared));
  data.resize(size_t(declared));
}
