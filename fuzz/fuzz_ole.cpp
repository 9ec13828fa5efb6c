// The compound-document container: open, walk storages, read every stream.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "QXIOleStorage.h"

namespace {
void Walk(const TOleStorage& st, int depth) {
  if (depth > 6) return;
  for (const TOleElement& e : st.EnumElements()) {
    if (e.Type == STGTY_STREAM) {
      auto s = st.OpenStream(e.Name);
      if (!s) continue;
      TOleStream os(s);
      uint8_t buf[700];
      while (os.Read(buf, sizeof buf) > 0) {
      }
      os.Seek(-3, soEnd);
      os.Read(buf, 10);
    } else if (auto sub = st.OpenStorage(e.Name)) {
      Walk(*sub, depth + 1);
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    auto root = StgOpenStorageOnMemory(data, size);
    Walk(*root, 0);
  } catch (const std::exception&) {
  }
  return 0;
}
