// The encryption data of OpenDocument manifests, with the key derivation and
// the entry decryption they lead to (over the manifest's own bytes).
#include <cstddef>
#include <cstdint>
#include <string>

#include "QXICrypt.h"
#include "Streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    TCustomMemoryStream s(data, int64_t(size));
    const std::string stored(reinterpret_cast<const char*>(data), size);
    for (const TOdfEncryption& e : ParseOdfManifestEncryption(s)) {
      if (!e.Problem.empty() || e.Iterations > 1000) continue;  // slow by design, not by fault
      std::string deflated;
      DecryptOdfEntry(e, OdfEntryKey(e, "password"), stored, deflated);
    }
  } catch (const std::exception&) {
  }
  return 0;
}
