// FILEPASS records (the first byte says BIFF8 or earlier, the second how
// long the record is) and the password test they lead to; then the bytes
// after the record read as a record stream through a known cipher.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "QXICrypt.h"
#include "Streams.h"

namespace {
// Known answers: XOR with "password", RC4 with "password1".
const uint8_t Xor[] = {0x00, 0x00, 0x7a, 0x14, 0xaf, 0x83};
const uint8_t Rc4[] = {0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0xe8, 0x77, 0x2c, 0x1d, 0x91, 0xc5, 0x6a, 0x37, 0x96,
                       0x47, 0x61, 0xb2, 0x80, 0x18, 0x32, 0x17, 0xc9, 0xe9, 0x97, 0xd4, 0x54, 0x97, 0x3d, 0x31,
                       0x0b, 0xb1, 0xba, 0x70, 0x14, 0x26, 0x83, 0x7e, 0xb1, 0xde, 0x17, 0x8f, 0x07, 0xe9, 0x89,
                       0xc4, 0x4d, 0xae, 0x5e, 0x4c, 0xf9, 0x6a, 0xc4, 0x07};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t record = std::min<size_t>(size - 2, data[1]);
  try {
    const TFilePass fp = ParseFilePass(data + 2, record, data[0] & 1);
    OpenFilePass(fp, ExcelDefaultPassword);
  } catch (const std::exception&) {
  }
  try {
    const bool rc4 = data[0] & 2;
    auto cipher = rc4 ? OpenFilePass(ParseFilePass(Rc4, sizeof Rc4, true), "password1")
                      : OpenFilePass(ParseFilePass(Xor, sizeof Xor, true), "password");
    TCustomMemoryStream s(data + 2 + record, int64_t(size - 2 - record));
    TBiffDecryptStream d(s, std::move(cipher), data[0] >> 4);
    uint8_t buf[512];
    while (d.Read(buf, sizeof buf) > 0) {
    }
    d.Seek(int64_t(size / 3), 0);
    d.Read(buf, sizeof buf);
  } catch (const std::exception&) {
  }
  return 0;
}
