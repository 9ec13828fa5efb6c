// EncryptionInfo streams of encrypted Open XML packages (standard and the
// binary head of agile ones), with the key test and the package decryption
// they lead to.
#include <cstddef>
#include <cstdint>

#include "QXICrypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const TPackageEncryption info = ParseEncryptionInfo(data, size);
    if (info.Agile && info.SpinCount > 1000) return 0;  // slow by design, not by fault
    TCryptBytes key = PackageKey(info, "password");
    if (key.empty()) key.assign((info.Agile ? info.KeyData.KeyBits : info.KeyBits) / 8, 0x42);
    TCryptBytes package(data, data + size);
    DecryptPackage(info, key, package);
  } catch (const std::exception&) {
  }
  return 0;
}
