// The XML of agile encryption headers (behind the 4.4 version the stream
// starts with), with the key test and the package decryption.
#include <cstddef>
#include <cstdint>

#include "QXICrypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCryptBytes info = {4, 0, 4, 0, 0x40, 0, 0, 0};
  info.insert(info.end(), data, data + size);
  try {
    const TPackageEncryption parsed = ParseEncryptionInfo(info.data(), info.size());
    if (parsed.SpinCount > 1000) return 0;  // slow by design, not by fault
    TCryptBytes key = PackageKey(parsed, "password");
    if (key.empty()) key.assign(parsed.KeyData.KeyBits / 8, 0x42);
    DecryptPackage(parsed, key, info);
  } catch (const std::exception&) {
  }
  return 0;
}
