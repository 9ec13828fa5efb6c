#pragma once
// Writes small zip packages in memory for reader tests: stored or deflated
// entries, optional data descriptors, an archive comment, and hooks to
// falsify sizes and CRCs.
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

class ZipBuilder {
 public:
  struct Entry {
    std::string Name;
    std::string Data;
    uint16_t Method = 8;            // 0 stored, 8 deflated (anything else is written as given)
    bool DataDescriptor = false;    // local header sizes and CRC left 0
    int64_t DeclaredSize = -1;      // uncompressed size to declare; -1: the real one
    int64_t CrcOverride = -1;
    uint16_t Flags = 0;
    int Level = Z_DEFAULT_COMPRESSION, Strategy = Z_DEFAULT_STRATEGY;
    std::optional<std::string> Deflated;  // deflate data as given (damaged ones)
  };

  Entry& Add(const std::string& name, const std::string& data, uint16_t method = 8) {
    Entry e;
    e.Name = name;
    e.Data = data;
    e.Method = method;
    FEntries.push_back(e);
    return FEntries.back();
  }

  std::string Comment;
  std::string Prefix;  // bytes before the package (self-extractor style)

  static std::string RawDeflate(const std::string& data, int level = Z_DEFAULT_COMPRESSION,
                                int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, strategy) != Z_OK)
      throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, uLong(data.size())) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    int rc = deflate(&z, Z_FINISH);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    return out;
  }

  std::string Build() const {
    std::string out = Prefix;
    std::string cd;
    const size_t base = Prefix.size();
    for (const auto& e : FEntries) {
      std::string payload = e.Deflated ? *e.Deflated : e.Method == 8 ? RawDeflate(e.Data, e.Level, e.Strategy) : e.Data;
      uint32_t crc = uint32_t(::crc32(0, reinterpret_cast<const Bytef*>(e.Data.data()), uInt(e.Data.size())));
      if (e.CrcOverride >= 0) crc = uint32_t(e.CrcOverride);
      uint32_t usize = e.DeclaredSize >= 0 ? uint32_t(e.DeclaredSize) : uint32_t(e.Data.size());
      uint16_t flags = uint16_t(e.Flags | (e.DataDescriptor ? 8 : 0));
      size_t localOffset = out.size() - base;
      U32(out, 0x04034B50);
      U16(out, 20);
      U16(out, flags);
      U16(out, e.Method);
      U16(out, 0);
      U16(out, 0x21);
      U32(out, e.DataDescriptor ? 0 : crc);
      U32(out, e.DataDescriptor ? 0 : uint32_t(payload.size()));
      U32(out, e.DataDescriptor ? 0 : usize);
      U16(out, uint16_t(e.Name.size()));
      U16(out, 0);
      out += e.Name;
      out += payload;
      if (e.DataDescriptor) {
        U32(out, 0x08074B50);
        U32(out, crc);
        U32(out, uint32_t(payload.size()));
        U32(out, usize);
      }
      U32(cd, 0x02014B50);
      U16(cd, 20);
      U16(cd, 20);
      U16(cd, flags);
      U16(cd, e.Method);
      U16(cd, 0);
      U16(cd, 0x21);
      U32(cd, crc);
      U32(cd, uint32_t(payload.size()));
      U32(cd, usize);
      U16(cd, uint16_t(e.Name.size()));
      U16(cd, 0);
      U16(cd, 0);
      U16(cd, 0);
      U16(cd, 0);
      U32(cd, 0);
      U32(cd, uint32_t(localOffset));
      cd += e.Name;
    }
    size_t cdOffset = out.size() - base;
    out += cd;
    U32(out, 0x06054B50);
    U16(out, 0);
    U16(out, 0);
    U16(out, uint16_t(FEntries.size()));
    U16(out, uint16_t(FEntries.size()));
    U32(out, uint32_t(cd.size()));
    U32(out, uint32_t(cdOffset));
    U16(out, uint16_t(Comment.size()));
    out += Comment;
    return out;
  }

 private:
  static void U16(std::string& s, uint16_t v) {
    s.push_back(char(v & 0xFF));
    s.push_back(char(v >> 8));
  }
  static void U32(std::string& s, uint32_t v) {
    U16(s, uint16_t(v & 0xFFFF));
    U16(s, uint16_t(v >> 16));
  }
  std::vector<Entry> FEntries;
};
