// UTF-8 decoding of XML values: both entry points agree, the buffer form
// never writes past its limit, and the output is well-formed UTF-16.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "QXIUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int32_t limit = data[0];
  const char* text = reinterpret_cast<const char*>(data + 1);
  const int32_t bytes = int32_t(size - 1);
  const std::u16string whole = Utf8ToWide(std::string(text, size_t(bytes)));
  for (size_t i = 0; i < whole.size(); ++i) {
    char16_t u = whole[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= whole.size() || whole[i + 1] < 0xDC00 || whole[i + 1] > 0xDFFF) std::abort();
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      std::abort();
    }
  }
  if (Utf8ToWideBuffer(nullptr, 0, text, bytes) != int32_t(whole.size()) + 1) std::abort();
  std::vector<char16_t> buf(size_t(limit) + 8, u'#');
  const int32_t n = Utf8ToWideBuffer(buf.data(), limit, text, bytes);
  if (limit == 0) return n == 0 ? 0 : (std::abort(), 0);
  if (n < 1 || n > limit || buf[size_t(n - 1)] != 0) std::abort();
  if (std::u16string(buf.data(), size_t(n - 1)) != whole.substr(0, size_t(n - 1))) std::abort();
  for (size_t i = size_t(limit); i < buf.size(); ++i)
    if (buf[i] != u'#') std::abort();
  return 0;
}
