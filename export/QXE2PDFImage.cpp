// Picture cells of the PDF writer: the bitmap decoded (as hostile data) and
// written at once as an image object, so no picture waits in memory.
#include <algorithm>
#include <charconv>

#include "ByteReader.h"
#include "QXE2PDF.h"

namespace {

constexpr int32_t MaxImageSide = 16384;
constexpr int64_t MaxImagePixels = 64LL * 1024 * 1024;

void AppendInt(std::string& s, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

// "." whatever the locale says.
void AppendFixed(std::string& s, double v) {
  char buf[48];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
  s.append(buf, r.ptr);
  s += ' ';
}

}  // namespace

bool DecodeBitmap(const uint8_t* data, size_t size, int32_t& width, int32_t& height, std::string& rgb) {
  try {
    const TByteReader r(data, size);
    size_t header = 0;        // the info header
    size_t pixels = SIZE_MAX;  // the pixel rows, when the file header says
    if (size >= 2 && data[0] == 'B' && data[1] == 'M') {
      header = 14;
      pixels = r.U32(10);
    }
    const uint32_t headerSize = r.U32(header);
    int64_t w, h;
    uint16_t bits;
    uint32_t compression = 0, colours = 0;
    size_t paletteEntry = 4;
    if (headerSize == 12) {  // the old core header
      w = r.U16(header + 4);
      h = r.I16(header + 6);
      bits = r.U16(header + 10);
      paletteEntry = 3;
    } else if (headerSize >= 40 && headerSize <= 256) {
      w = r.I32(header + 4);
      h = r.I32(header + 8);
      bits = r.U16(header + 14);
      compression = r.U32(header + 16);
      colours = r.U32(header + 32);
    } else {
      return false;
    }
    const bool topDown = h < 0;
    if (topDown) h = -h;
    if (w <= 0 || h <= 0 || w > MaxImageSide || h > MaxImageSide || w * h > MaxImagePixels) return false;
    // Uncompressed, or 32-bit with the usual masks.
    if (compression != 0 && !(compression == 3 && bits == 32)) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return false;
    size_t palette = header + headerSize;
    if (compression == 3 && headerSize == 40) palette += 12;
    std::vector<uint32_t> colourTable;
    if (bits <= 8) {
      const uint32_t count = colours == 0 || colours > (1u << bits) ? (1u << bits) : colours;
      colourTable.resize(1u << bits, 0);
      for (uint32_t i = 0; i < count; ++i) {
        const size_t at = palette + i * paletteEntry;
        colourTable[i] = uint32_t(r.U8(at + 2)) << 16 | uint32_t(r.U8(at + 1)) << 8 | r.U8(at);
      }
      if (pixels == SIZE_MAX) pixels = palette + count * paletteEntry;
    } else if (pixels == SIZE_MAX) {
      pixels = palette;
    }
    const size_t stride = size_t((w * bits + 31) / 32 * 4);
    r.Need(pixels, stride * size_t(h));
    width = int32_t(w);
    height = int32_t(h);
    rgb.assign(size_t(w * h * 3), '\0');
    for (int64_t y = 0; y < h; ++y) {
      const uint8_t* row = data + pixels + stride * size_t(topDown ? y : h - 1 - y);
      char* out = rgb.data() + size_t(y * w * 3);
      for (int64_t x = 0; x < w; ++x) {
        uint32_t c;
        switch (bits) {
          case 24: case 32: {
            const uint8_t* p = row + x * (bits / 8);
            c = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
            break;
          }
          case 8: c = colourTable[row[x]]; break;
          case 4: c = colourTable[(row[x / 2] >> (x % 2 ? 0 : 4)) & 15]; break;
          default: c = colourTable[(row[x / 8] >> (7 - x % 8)) & 1]; break;
        }
        out[3 * x] = char(c >> 16);
        out[3 * x + 1] = char(c >> 8);
        out[3 * x + 2] = char(c);
      }
    }
    return true;
  } catch (const EBoundsError&) {
    return false;
  }
}

bool TQXExportToPDF::WritePicture(const std::string& data, TPage& page, int32_t, int32_t left, int32_t right) {
  int32_t w = 0, h = 0;
  std::string rgb;
  if (!DecodeBitmap(reinterpret_cast<const uint8_t*>(data.data()), data.size(), w, h, rgb)) return false;
  const int32_t k = ++FImageCount;
  const int32_t object = NewObject(), length = NewObject();
  const TPDFEncoded encoded = PDFEncode(ImageDecode, CompressionMethod, rgb);
  rgb.clear();
  rgb.shrink_to_fit();
  BeginObject(object);
  Line("<< /Type /XObject /Subtype /Image /Name /Im" + std::to_string(k) + " /Width " + std::to_string(w) +
       " /Height " + std::to_string(h) + " /BitsPerComponent 8 /ColorSpace /DeviceRGB " +
       (encoded.Filter.empty() ? std::string() : "/Filter /" + encoded.Filter + " ") + "/Length " +
       std::to_string(length) + " 0 R >>");
  Line("stream");
  RawWrite(encoded.Data);
  Line("");
  Line("endstream");
  Line("endobj");
  BeginObject(length);
  Line(std::to_string(encoded.Data.size()));
  Line("endobj");
  page.Images.push_back(k);
  page.Images.push_back(object);

  // Screen pixels at 96 per inch, made smaller to fit the cell's width and
  // the page; the row grows to the picture's height.
  double pw = w * 0.75, ph = h * 0.75;
  const double fitW = std::max(right - left - 2, 1), fitH = std::max(FLayoutHeight - 40, 1);
  const double scale = std::min({1.0, fitW / pw, fitH / ph});
  pw *= scale;
  ph *= scale;
  // Its top where a text's capitals reach; the row grows until its box,
  // which ends 5 points below the baseline, holds it.
  const int32_t top = FLayoutHeight - FY + 8;
  FRowHeight = std::max(FRowHeight, int32_t(ph) + 9);
  std::string& c = page.Content;
  c += "q ";
  AppendFixed(c, pw);
  c += "0 0 ";
  AppendFixed(c, ph);
  AppendInt(c, left + 1);
  c += ' ';
  AppendFixed(c, top - ph);
  c += "cm /Im";
  AppendInt(c, k);
  c += " Do Q\r\n";
  return true;
}
