// The primitives of the protected formats, over Nettle: hashes, HMAC, AES,
// base64 and the password's UTF-16 form.
#include "QXICrypt.h"

#include <nettle/aes.h>
#include <nettle/base64.h>
#include <nettle/cbc.h>
#include <nettle/hmac.h>
#include <nettle/nettle-meta.h>

#include <cstring>

#include "QXIUtils.h"

const char* const ExcelDefaultPassword = "VelvetSweatshop";

namespace {

const nettle_hash& Meta(THashAlgorithm algorithm) {
  switch (algorithm) {
    case THashAlgorithm::MD5: return nettle_md5;
    case THashAlgorithm::SHA1: return nettle_sha1;
    case THashAlgorithm::SHA256: return nettle_sha256;
    case THashAlgorithm::SHA384: return nettle_sha384;
    case THashAlgorithm::SHA512: break;
  }
  return nettle_sha512;
}

// A hash context of any algorithm, aligned for Nettle.
struct THashContext {
  explicit THashContext(const nettle_hash& h) : H(h), Ctx(new uint64_t[(h.context_size + 7) / 8]) {}
  const nettle_hash& H;
  std::unique_ptr<uint64_t[]> Ctx;
  void* Get() { return Ctx.get(); }
};

// One AES key of any of the three sizes.
struct TAesKey {
  union {
    aes128_ctx A128;
    aes192_ctx A192;
    aes256_ctx A256;
  } Ctx;
  nettle_cipher_func* Decrypt = nullptr;
  explicit TAesKey(const TCryptBytes& key) {
    switch (key.size()) {
      case 16:
        aes128_set_decrypt_key(&Ctx.A128, key.data());
        Decrypt = reinterpret_cast<nettle_cipher_func*>(aes128_decrypt);
        break;
      case 24:
        aes192_set_decrypt_key(&Ctx.A192, key.data());
        Decrypt = reinterpret_cast<nettle_cipher_func*>(aes192_decrypt);
        break;
      case 32:
        aes256_set_decrypt_key(&Ctx.A256, key.data());
        Decrypt = reinterpret_cast<nettle_cipher_func*>(aes256_decrypt);
        break;
      default:
        throw EQXICryptException("An AES key of " + std::to_string(key.size() * 8) + " bits cannot be used.");
    }
  }
};

}  // namespace

size_t HashSize(THashAlgorithm algorithm) { return Meta(algorithm).digest_size; }

TCryptBytes HashOf(THashAlgorithm algorithm, std::initializer_list<TCryptBytes> parts) {
  THashContext c(Meta(algorithm));
  c.H.init(c.Get());
  for (const TCryptBytes& p : parts) c.H.update(c.Get(), p.size(), p.data());
  TCryptBytes out(c.H.digest_size);
  c.H.digest(c.Get(), out.size(), out.data());
  return out;
}

TCryptBytes HmacOf(THashAlgorithm algorithm, const TCryptBytes& key, const uint8_t* data, size_t size) {
  const nettle_hash& h = Meta(algorithm);
  THashContext outer(h), inner(h), state(h);
  hmac_set_key(outer.Get(), inner.Get(), state.Get(), &h, key.size(), key.data());
  hmac_update(state.Get(), &h, size, data);
  TCryptBytes out(h.digest_size);
  hmac_digest(outer.Get(), inner.Get(), state.Get(), &h, out.size(), out.data());
  return out;
}

TCryptBytes IteratedHash(THashAlgorithm algorithm, TCryptBytes h, uint32_t rounds) {
  THashContext c(Meta(algorithm));
  for (uint32_t i = 0; i < rounds; ++i) {
    const uint8_t n[4] = {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16), uint8_t(i >> 24)};
    c.H.init(c.Get());
    c.H.update(c.Get(), 4, n);
    c.H.update(c.Get(), h.size(), h.data());
    c.H.digest(c.Get(), h.size(), h.data());
  }
  return h;
}

TCryptBytes Utf16LEBytes(const std::string& utf8) {
  const std::u16string w = Utf8ToWide(utf8);
  TCryptBytes out(w.size() * 2);
  for (size_t i = 0; i < w.size(); ++i) {
    out[2 * i] = uint8_t(w[i]);
    out[2 * i + 1] = uint8_t(w[i] >> 8);
  }
  return out;
}

bool DecodeBase64(const std::string& text, TCryptBytes& out) {
  std::string clean;
  clean.reserve(text.size());
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') clean += c;
  base64_decode_ctx ctx;
  base64_decode_init(&ctx);
  out.resize(BASE64_DECODE_LENGTH(clean.size()));
  size_t n = out.size();
  if (!base64_decode_update(&ctx, &n, out.data(), clean.size(), clean.data()) || !base64_decode_final(&ctx)) {
    out.clear();
    return false;
  }
  out.resize(n);
  return true;
}

void AesEcbDecrypt(const TCryptBytes& key, uint8_t* data, size_t size) {
  const TAesKey k(key);
  k.Decrypt(&k.Ctx, size - size % 16, data, data);
}

void AesCbcDecrypt(const TCryptBytes& key, const TCryptBytes& iv, uint8_t* data, size_t size) {
  const TAesKey k(key);
  uint8_t block[16];
  std::memset(block, 0x36, sizeof block);
  std::memcpy(block, iv.data(), std::min<size_t>(iv.size(), sizeof block));
  cbc_decrypt(&k.Ctx, k.Decrypt, 16, block, size - size % 16, data, data);
}
