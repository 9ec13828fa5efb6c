// Picture cells of the Open XML writer: each picture an image part under
// xl/media (bitmaps as PNG), one drawing part per sheet anchoring every
// picture at its cell, and the relationships between them.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "ByteReader.h"
#include "ByteWriter.h"
#include "QXE2PDF.h"
#include "QXE2XLS.h"
#include "QXEZipFile.h"

namespace {

constexpr int32_t MaxPictureSide = 16384;
constexpr int64_t EmuPerPixel = 9525;  // at 96 dpi

void PutBig32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += char((v >> shift) & 0xFF);
}

void PngChunk(std::string& out, const char* type, const std::string& data) {
  PutBig32(out, uint32_t(data.size()));
  const size_t start = out.size();
  out.append(type, 4);
  out += data;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(out.data() + start), uInt(out.size() - start));
  PutBig32(out, uint32_t(crc));
}

// RGB rows as a PNG file.
bool EncodePng(int32_t width, int32_t height, const std::string& rgb, std::string& png) {
  std::string raw;
  raw.reserve(size_t(height) * (size_t(width) * 3 + 1));
  for (int32_t y = 0; y < height; ++y) {
    raw += '\0';  // no filter
    raw.append(rgb, size_t(y) * size_t(width) * 3, size_t(width) * 3);
  }
  uLongf packedSize = compressBound(uLong(raw.size()));
  std::string packed(packedSize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
                uLong(raw.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
    return false;
  packed.resize(packedSize);
  std::string header;
  PutBig32(header, uint32_t(width));
  PutBig32(header, uint32_t(height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
  png = "\x89PNG\r\n\x1A\n";
  PngChunk(png, "IHDR", header);
  PngChunk(png, "IDAT", packed);
  PngChunk(png, "IEND", std::string());
  return true;
}

uint32_t Big32(const std::string& d, size_t at) {
  return uint32_t(uint8_t(d[at])) << 24 | uint32_t(uint8_t(d[at + 1])) << 16 | uint32_t(uint8_t(d[at + 2])) << 8 |
         uint8_t(d[at + 3]);
}

// The pixel size of a JPEG file: the first start-of-frame marker.
bool JpegSize(const std::string& d, int32_t& width, int32_t& height) {
  size_t p = 2;
  while (p + 9 < d.size()) {
    if (uint8_t(d[p]) != 0xFF) return false;
    const uint8_t marker = uint8_t(d[p + 1]);
    if (marker == 0xFF) {
      ++p;
      continue;
    }
    const size_t length = size_t(uint8_t(d[p + 2])) << 8 | uint8_t(d[p + 3]);
    if ((marker >= 0xC0 && marker <= 0xCF) && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      height = int32_t(uint8_t(d[p + 5])) << 8 | uint8_t(d[p + 6]);
      width = int32_t(uint8_t(d[p + 7])) << 8 | uint8_t(d[p + 8]);
      return true;
    }
    if (length < 2) return false;
    p += 2 + length;
  }
  return false;
}

}  // namespace

bool TQXExportToXLSX::MakePicture(const std::string& data, TXLSXPicture& picture) {
  int32_t w = 0, h = 0;
  if (data.size() > 24 && data.compare(0, 8, "\x89PNG\r\n\x1A\n") == 0) {
    w = int32_t(Big32(data, 16));
    h = int32_t(Big32(data, 20));
    picture.Data = data;
    picture.Extension = "png";
  } else if (data.size() > 10 && uint8_t(data[0]) == 0xFF && uint8_t(data[1]) == 0xD8) {
    if (!JpegSize(data, w, h)) return false;
    picture.Data = data;
    picture.Extension = "jpeg";
  } else if (data.size() > 10 && (data.compare(0, 6, "GIF87a") == 0 || data.compare(0, 6, "GIF89a") == 0)) {
    w = uint8_t(data[6]) | uint8_t(data[7]) << 8;
    h = uint8_t(data[8]) | uint8_t(data[9]) << 8;
    picture.Data = data;
    picture.Extension = "gif";
  } else {
    // A bitmap (with or without its file header), as the PDF writer draws it.
    std::string rgb;
    if (!DecodeBitmap(reinterpret_cast<const uint8_t*>(data.data()), data.size(), w, h, rgb) ||
        !EncodePng(w, h, rgb, picture.Data))
      return false;
    picture.Extension = "png";
  }
  if (w <= 0 || h <= 0 || w > MaxPictureSide || h > MaxPictureSide) return false;
  picture.Width = w;
  picture.Height = h;
  return true;
}

void TQXExportToXLSX::GatherPicture(TQXEField* field, int32_t row, int32_t column, const std::string& text) {
  FPictures.push_back(TXLSPicture{});
  // The picture's bytes: the field's value, else the cell's own.
  const TVariant v = field ? field->Value() : HasCellValue() ? CellValue() : TVariant(text);
  if (v.Type() != TVarType::String) return;
  TXLSXPicture picture;
  if (!MakePicture(v.AsString(), picture)) return;
  picture.Row = row;
  picture.Column = column;
  FSheetPictures.push_back(std::move(picture));
}

void TQXExportToXLSX::WriteDrawing(int32_t sheet) {
  if (FSheetPictures.empty()) return;
  const std::string n = std::to_string(sheet + 1);
  FZip->AddFileData("xl/worksheets/_rels/sheet" + n + ".xml.rels",
                    std::string(XlsxDeclaration()) +
                        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                        "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                        "relationships/drawing\" Target=\"../drawings/drawing" + n + ".drawing\"/></Relationships>");
  std::string drawing = std::string(XlsxDeclaration()) +
                        "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\" "
                        "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">";
  std::string rels = std::string(XlsxDeclaration()) +
                     "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
  for (size_t i = 0; i < FSheetPictures.size(); ++i) {
    const TXLSXPicture& p = FSheetPictures[i];
    const std::string id = std::to_string(i + 1);
    const std::string media = "image" + std::to_string(++FMediaCount) + "." + p.Extension;
    FZip->AddFileData("xl/media/" + media, p.Data);
    rels += "<Relationship Id=\"rId" + id +
            "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/image\" Target=\"../media/" +
            media + "\"/>";
    drawing += "<xdr:oneCellAnchor><xdr:from><xdr:col>" + std::to_string(p.Column) +
               "</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>" + std::to_string(p.Row) +
               "</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:from><xdr:ext cx=\"" +
               std::to_string(int64_t(p.Width) * EmuPerPixel) + "\" cy=\"" +
               std::to_string(int64_t(p.Height) * EmuPerPixel) +
               "\"/><xdr:pic><xdr:nvPicPr><xdr:cNvPr id=\"" + std::to_string(i + 2) + "\" name=\"Picture " + id +
               "\"/><xdr:cNvPicPr><a:picLocks noChangeAspect=\"1\"/></xdr:cNvPicPr></xdr:nvPicPr><xdr:blipFill>"
               "<a:blip r:embed=\"rId" + id + "\"/><a:stretch><a:fillRect/></a:stretch></xdr:blipFill><xdr:spPr>"
               "<a:xfrm><a:off x=\"0\" y=\"0\"/><a:ext cx=\"" + std::to_string(int64_t(p.Width) * EmuPerPixel) +
               "\" cy=\"" + std::to_string(int64_t(p.Height) * EmuPerPixel) +
               "\"/></a:xfrm><a:prstGeom prst=\"rect\"><a:avLst/></a:prstGeom></xdr:spPr></xdr:pic>"
               "<xdr:clientData/></xdr:oneCellAnchor>";
  }
  drawing += "</xdr:wsDr>";
  rels += "</Relationships>";
  FZip->AddFileData("xl/drawings/drawing" + n + ".drawing", drawing);
  FZip->AddFileData("xl/drawings/_rels/drawing" + n + ".drawing.rels", rels);
  FSheetPictures.clear();
}
