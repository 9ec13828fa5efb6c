#pragma once
// Protected files for tests: Open XML packages encrypted with agile
// encryption (SHA-512, AES-256) as the format describes it, written here
// independently of the reader, in a compound document.
#include <nettle/aes.h>
#include <nettle/cbc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CfbBuilder.h"
#include "QXICrypt.h"

namespace cryptbooks {

using Bytes = std::vector<uint8_t>;

inline Bytes Container(const std::vector<std::pair<std::string, Bytes>>& streams) {
  CfbBuilder b;
  for (const auto& [name, data] : streams) b.AddStream(name, data);
  return b.Build();
}

inline Bytes Hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string Base64(const Bytes& b) {
  static const char* A = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < b.size(); i += 3) {
    const size_t n = std::min<size_t>(3, b.size() - i);
    uint32_t v = uint32_t(b[i]) << 16 | (n > 1 ? b[i + 1] << 8 : 0) | (n > 2 ? b[i + 2] : 0);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? A[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// Agile encryption as the format describes it, SHA-512 and AES-256.
struct TAgileWriter {
  uint32_t SpinCount = 1000;
  std::string Extra;  // attributes replacing the password key's (for hostile headers)
  Bytes Key = Bytes(32, 0x42), KeySalt = Bytes(16, 0x11), PasswordSalt = Bytes(16, 0x22);

  static Bytes Encrypt(const Bytes& key, Bytes iv, Bytes data) {
    data.resize((data.size() + 15) / 16 * 16, 0);
    iv.resize(16, 0x36);
    aes256_ctx ctx;
    aes256_set_encrypt_key(&ctx, key.data());
    cbc_encrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(aes256_encrypt), 16, iv.data(), data.size(), data.data(),
                data.data());
    return data;
  }
  static Bytes H(std::initializer_list<Bytes> parts) { return HashOf(THashAlgorithm::SHA512, parts); }
  static Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

  std::vector<std::pair<std::string, Bytes>> Streams(const std::string& password, const std::string& package) const {
    const Bytes pw = Utf16LEBytes(password);
    Bytes h = H({PasswordSalt, pw});
    for (uint32_t i = 0; i < SpinCount; ++i) h = H({Le32(i), h});
    auto keyFor = [&](const std::string& block) {
      Bytes k = H({h, Hex(block)});
      k.resize(32);
      return k;
    };
    const Bytes verifier(16, 0x5A);
    Bytes data(8, 0);
    for (int k = 0; k < 4; ++k) data[size_t(k)] = uint8_t(package.size() >> (8 * k));
    for (size_t off = 0, i = 0; off < package.size(); off += 4096, ++i) {
      Bytes seg(package.begin() + off, package.begin() + std::min(package.size(), off + 4096));
      const Bytes enc = Encrypt(Key, H({KeySalt, Le32(uint32_t(i))}), seg);
      data.insert(data.end(), enc.begin(), enc.end());
    }
    const Bytes hmacKey(64, 0x33);
    const Bytes hmac = HmacOf(THashAlgorithm::SHA512, hmacKey, data.data(), data.size());
    const std::string params = "saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\" "
                               "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" ";
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<encryption "
        "xmlns=\"http://schemas.microsoft.com/office/2006/encryption\" "
        "xmlns:p=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\"><keyData " +
        params + "saltValue=\"" + Base64(KeySalt) + "\"/><dataIntegrity encryptedHmacKey=\"" +
        Base64(Encrypt(Key, H({KeySalt, Hex("5fb2ad010cb9e1f6")}), hmacKey)) + "\" encryptedHmacValue=\"" +
        Base64(Encrypt(Key, H({KeySalt, Hex("a0677f02b22c8433")}), hmac)) +
        "\"/><keyEncryptors><keyEncryptor uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
        "<p:encryptedKey spinCount=\"" +
        std::to_string(SpinCount) + "\" " + (Extra.empty() ? params : Extra) + "saltValue=\"" +
        Base64(PasswordSalt) + "\" encryptedVerifierHashInput=\"" +
        Base64(Encrypt(keyFor("fea7d2763b4b9e79"), PasswordSalt, verifier)) + "\" encryptedVerifierHashValue=\"" +
        Base64(Encrypt(keyFor("d7aa0f6d3061344e"), PasswordSalt, H({verifier}))) + "\" encryptedKeyValue=\"" +
        Base64(Encrypt(keyFor("146e0be7abacd0d6"), PasswordSalt, Key)) + "\"/></keyEncryptor></keyEncryptors></encryption>";
    const std::string head("\x04\x00\x04\x00\x40\x00\x00\x00", 8);
    const std::string all = head + xml;
    const Bytes info(all.begin(), all.end());
    return {{"EncryptionInfo", info}, {"EncryptedPackage", data}};
  }
};

}  // namespace cryptbooks
