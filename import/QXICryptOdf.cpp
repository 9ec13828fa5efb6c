// OpenDocument package encryption: the manifest's encryption data, the
// entry keys (a start key hashed from the password, then PBKDF2) and the
// entries decrypted (Blowfish CFB or AES-CBC), checked by their checksum.
#include <nettle/blowfish.h>
#include <nettle/cfb.h>
#include <nettle/pbkdf2.h>

#include <algorithm>
#include <cstring>

#include "CodePage.h"
#include "QXICrypt.h"
#include "QXIXML.h"

namespace {

[[noreturn]] void Unusable(const std::string& path, const std::string& why) {
  throw EQXIUnknownEncryptionException("The file is password-protected (OpenDocument encryption), but the encryption data of \"" +
                           path + "\" " + why + ".");
}

std::string Local(const std::string& name) {
  if (name.empty()) return "?";
  const size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

// The text after the last "#" of a URI, or the whole text.
std::string Fragment(const std::string& uri) {
  const size_t hash = uri.rfind('#');
  return hash == std::string::npos ? uri : uri.substr(hash + 1);
}

// One file entry's attributes as the manifest gives them.
struct TRawEntry {
  std::string Path, Size, ChecksumType, Checksum, Algorithm, IV, StartKey, Derivation, Iterations, Salt, KeySize;
  bool Encrypted = false;
};

uint64_t Number(const TRawEntry& raw, const std::string& text, const char* what, uint64_t max) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(text) > max)
    Unusable(raw.Path, std::string("has ") + what + " out of bounds");
  return std::stoull(text);
}

TCryptBytes Bytes(const TRawEntry& raw, const std::string& text, const char* what) {
  TCryptBytes out;
  if (!DecodeBase64(text, out)) Unusable(raw.Path, std::string("has no valid ") + what);
  return out;
}

TOdfEncryption Judge(const TRawEntry& raw) {
  TOdfEncryption e;
  e.Path = raw.Path;
  e.Size = Number(raw, raw.Size, "a size", UINT32_MAX);
  const std::string algorithm = Fragment(raw.Algorithm);
  if (raw.Algorithm == "Blowfish CFB") {
    e.KeySize = 16;
  } else if (algorithm == "aes256-cbc" || algorithm == "aes192-cbc" || algorithm == "aes128-cbc") {
    e.Aes = true;
    e.KeySize = uint32_t(std::stoul(algorithm.substr(3, 3)) / 8);
  } else {
    Unusable(raw.Path, "names the cipher \"" + raw.Algorithm + "\", which this program does not have");
  }
  if (!raw.KeySize.empty() && Number(raw, raw.KeySize, "a key size", 64) != e.KeySize)
    Unusable(raw.Path, "has a key size its cipher does not use");
  e.IV = Bytes(raw, raw.IV, "initialisation vector");
  if (e.IV.size() != (e.Aes ? 16u : 8u)) Unusable(raw.Path, "has an initialisation vector of the wrong size");
  if (raw.Derivation != "PBKDF2" && Fragment(raw.Derivation) != "pbkdf2")
    Unusable(raw.Path, "names the key derivation \"" + raw.Derivation + "\", which this program does not have");
  e.Iterations = uint32_t(Number(raw, raw.Iterations, "an iteration count", MaxKeyDerivationRounds));
  if (e.Iterations == 0) Unusable(raw.Path, "has an iteration count out of bounds");
  e.Salt = Bytes(raw, raw.Salt, "salt");
  if (e.Salt.empty() || e.Salt.size() > 1024) Unusable(raw.Path, "has a salt of the wrong size");
  const std::string start = Fragment(raw.StartKey);
  if (raw.StartKey.empty() || start == "sha1" || raw.StartKey == "SHA1") e.StartKeyHash = THashAlgorithm::SHA1;
  else if (start == "sha256") e.StartKeyHash = THashAlgorithm::SHA256;
  else Unusable(raw.Path, "names the start key \"" + raw.StartKey + "\", which this program does not have");
  const std::string sum = Fragment(raw.ChecksumType);
  if (raw.ChecksumType == "SHA1/1K" || sum == "sha1-1k") e.ChecksumHash = THashAlgorithm::SHA1;
  else if (sum == "sha256-1k") e.ChecksumHash = THashAlgorithm::SHA256;
  else Unusable(raw.Path, "names the checksum \"" + raw.ChecksumType + "\", which this program does not have");
  e.Checksum = Bytes(raw, raw.Checksum, "checksum");
  if (e.Checksum.size() != HashSize(e.ChecksumHash)) Unusable(raw.Path, "has a checksum of the wrong size");
  return e;
}

}  // namespace

std::vector<TOdfEncryption> ParseOdfManifestEncryption(TStream& manifest) {
  std::vector<TOdfEncryption> entries;
  TRawEntry raw;
  TQXXMLEngine e;
  auto text = [](const std::u16string& attrs, const char* name) {
    std::u16string v;
    if (!FindXMLAttribute(attrs, name, v, true)) return std::string();
    DecodeXMLEntitiesInPlace(v);
    return Utf16ToUtf8(v);
  };
  e.OnTag = [&](TQXXMLEngine*, TQXXMLItem*, const std::string& name, const std::u16string&,
                const std::u16string& attrs, bool& accept) {
    const std::string local = Local(name);
    // The document element of a part with an XML declaration is its child.
    accept = local[0] == '?' || local == "manifest" || local == "file-entry" || local == "encryption-data";
    if (local == "file-entry") {
      raw = TRawEntry();
      raw.Path = text(attrs, "full-path");
      if (!raw.Path.empty() && raw.Path[0] == '/') raw.Path.erase(0, 1);
      raw.Size = text(attrs, "size");
    } else if (local == "encryption-data") {
      raw.Encrypted = true;
      raw.ChecksumType = text(attrs, "checksum-type");
      raw.Checksum = text(attrs, "checksum");
    } else if (local == "algorithm") {
      raw.Algorithm = text(attrs, "algorithm-name");
      raw.IV = text(attrs, "initialisation-vector");
    } else if (local == "start-key-generation") {
      raw.StartKey = text(attrs, "start-key-generation-name");
    } else if (local == "key-derivation") {
      raw.Derivation = text(attrs, "key-derivation-name");
      raw.Iterations = text(attrs, "iteration-count");
      raw.Salt = text(attrs, "salt");
      raw.KeySize = text(attrs, "key-size");
    }
  };
  e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool&) {
    if (Local(node->TagName) != "file-entry") return;
    if (raw.Encrypted) {
      try {
        entries.push_back(Judge(raw));
      } catch (const EQXIUnknownEncryptionException& e) {
        entries.emplace_back();
        entries.back().Path = raw.Path;
        entries.back().Problem = e.Message();
      }
    }
    raw = TRawEntry();
    node->Free();
    node = nullptr;
  };
  e.LoadFromStream(&manifest);
  return entries;
}

TCryptBytes OdfEntryKey(const TOdfEncryption& entry, const std::string& password) {
  const TCryptBytes start = HashOf(entry.StartKeyHash, {TCryptBytes(password.begin(), password.end())});
  TCryptBytes key(entry.KeySize);
  pbkdf2_hmac_sha1(start.size(), start.data(), entry.Iterations, entry.Salt.size(), entry.Salt.data(), key.size(),
                   key.data());
  return key;
}

bool DecryptOdfEntry(const TOdfEncryption& entry, const TCryptBytes& key, const std::string& stored,
                     std::string& deflated) {
  deflated = stored;
  uint8_t* p = reinterpret_cast<uint8_t*>(deflated.data());
  const size_t n = deflated.size();
  TCryptBytes iv = entry.IV;
  if (entry.Aes) {
    if (n % 16) return false;
    AesCbcDecrypt(key, iv, p, n);
  } else {
    blowfish_ctx ctx;
    blowfish_set_key(&ctx, key.size(), key.data());  // a weak key still decrypts
    cfb_decrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(blowfish_encrypt), BLOWFISH_BLOCK_SIZE, iv.data(), n,
                p, p);
  }
  auto matches = [&](size_t size) {
    const size_t k = std::min<size_t>(size, 1024);
    return HashOf(entry.ChecksumHash, {TCryptBytes(p, p + k)}) == entry.Checksum;
  };
  if (entry.Aes) {
    // Padding: the last byte counts the bytes added (1 to 16).
    const size_t pad = n ? p[n - 1] : 0;
    if (pad >= 1 && pad <= 16 && pad <= n && matches(n - pad)) {
      deflated.resize(n - pad);
      return true;
    }
  }
  return matches(n);
}
