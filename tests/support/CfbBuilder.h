#pragma once
// Writes compound-document containers for tests: streams (small ones in the
// mini stream), sub-storages, 512- or 4096-byte sectors, and an option to
// move allocation-table sector numbers into a DIFAT sector.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class CfbBuilder {
 public:
  explicit CfbBuilder(uint32_t sectorSize = 512) : FSectorSize(sectorSize) {}
  // Returns the directory entry number; parent 0 is the root.
  uint32_t AddStream(const std::u16string& name, std::vector<uint8_t> data, uint32_t parent = 0) {
    FItems.push_back({name, 2, std::move(data), parent});
    return uint32_t(FItems.size());
  }
  uint32_t AddStream(const std::string& name, std::vector<uint8_t> data, uint32_t parent = 0) {
    return AddStream(std::u16string(name.begin(), name.end()), std::move(data), parent);
  }
  uint32_t AddStorage(const std::string& name, uint32_t parent = 0) {
    FItems.push_back({std::u16string(name.begin(), name.end()), 1, {}, parent});
    return uint32_t(FItems.size());
  }
  // At most this many allocation-table sector numbers stay in the header.
  void SetHeaderDifatLimit(uint32_t n) { FHeaderDifat = n; }

  // Where things went, for tests that damage the result.
  uint32_t DirectoryOffset = 0;  // file offset of directory entry 0
  uint32_t FatOffset = 0;        // file offset of the first allocation-table sector

  std::vector<uint8_t> Build() {
    const uint32_t ss = FSectorSize;
    // Mini stream and mini FAT for the small streams.
    std::vector<uint8_t> mini;
    std::vector<uint32_t> miniFat;
    std::vector<uint32_t> start(FItems.size() + 1, kEnd);
    for (size_t i = 0; i < FItems.size(); ++i) {
      Item& it = FItems[i];
      if (it.type != 2 || it.data.empty() || it.data.size() >= 4096) continue;
      uint32_t first = uint32_t(miniFat.size());
      size_t n = (it.data.size() + 63) / 64;
      for (size_t k = 0; k < n; ++k) miniFat.push_back(k + 1 < n ? first + uint32_t(k) + 1 : kEnd);
      start[i + 1] = first;
      std::vector<uint8_t> padded = it.data;
      padded.resize(n * 64, 0);
      mini.insert(mini.end(), padded.begin(), padded.end());
    }
    // Chains of regular sectors: mini stream, big streams, directory, mini FAT.
    std::vector<std::vector<uint8_t>> chains;
    std::vector<int> chainOwner;  // entry number, -1 directory, -2 mini FAT, 0 root
    if (!mini.empty()) { chains.push_back(mini); chainOwner.push_back(0); }
    for (size_t i = 0; i < FItems.size(); ++i)
      if (FItems[i].type == 2 && FItems[i].data.size() >= 4096) {
        chains.push_back(FItems[i].data);
        chainOwner.push_back(int(i + 1));
      }
    size_t entries = FItems.size() + 1;
    std::vector<uint8_t> dir(((entries * 128 + ss - 1) / ss) * ss, 0);
    chains.push_back(dir);  // filled below once start sectors are known
    chainOwner.push_back(-1);
    std::vector<uint8_t> miniFatBytes;
    for (uint32_t v : miniFat) Put32(miniFatBytes, v);
    if (!miniFatBytes.empty()) { chains.push_back(miniFatBytes); chainOwner.push_back(-2); }

    uint32_t dataSectors = 0;
    for (auto& c : chains) dataSectors += uint32_t((c.size() + ss - 1) / ss);
    uint32_t perSector = ss / 4;
    uint32_t fatN = 1, difN = 0;
    for (;;) {
      uint32_t inDifat = fatN > FHeaderDifat ? fatN - FHeaderDifat : 0;
      difN = (inDifat + perSector - 2) / (perSector - 1);
      if ((dataSectors + fatN + difN) <= fatN * perSector) break;
      ++fatN;
    }
    std::vector<uint32_t> fat(fatN * perSector, kFree);
    for (uint32_t i = 0; i < fatN; ++i) fat[i] = 0xFFFFFFFD;
    for (uint32_t i = 0; i < difN; ++i) fat[fatN + i] = 0xFFFFFFFC;
    uint32_t next = fatN + difN;
    std::vector<uint32_t> chainStart;
    for (auto& c : chains) {
      uint32_t n = uint32_t((c.size() + ss - 1) / ss);
      chainStart.push_back(n ? next : kEnd);
      for (uint32_t k = 0; k < n; ++k) fat[next + k] = k + 1 < n ? next + k + 1 : kEnd;
      next += n;
    }
    uint32_t dirStart = 0, miniFatStart = kEnd, rootStart = kEnd;
    for (size_t c = 0; c < chains.size(); ++c) {
      if (chainOwner[c] == -1) dirStart = chainStart[c];
      else if (chainOwner[c] == -2) miniFatStart = chainStart[c];
      else if (chainOwner[c] == 0) rootStart = chainStart[c];
      else start[size_t(chainOwner[c])] = chainStart[c];
    }
    // Directory: each storage's children hang as a chain of right siblings.
    std::vector<uint32_t> child(entries, kFree), right(entries, kFree);
    std::vector<uint32_t> last(entries, kFree);
    for (uint32_t e = 1; e < entries; ++e) {
      uint32_t p = FItems[e - 1].parent;
      if (child[p] == kFree) child[p] = e; else right[last[p]] = e;
      last[p] = e;
    }
    std::vector<uint8_t>& d = chains[size_t(std::find(chainOwner.begin(), chainOwner.end(), -1) - chainOwner.begin())];
    Entry(d, 0, u"Root Entry", 5, kFree, child[0], rootStart, mini.size());
    for (uint32_t e = 1; e < entries; ++e) {
      const Item& it = FItems[e - 1];
      Entry(d, e, it.name, uint8_t(it.type), right[e], child[e], it.type == 2 ? start[e] : 0,
            it.type == 2 ? it.data.size() : 0);
    }

    std::vector<uint8_t> out(ss, 0);
    const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(out.data(), sig, 8);
    Set16(out, 0x18, 0x3E);
    Set16(out, 0x1A, ss == 4096 ? 4 : 3);
    Set16(out, 0x1C, 0xFFFE);
    Set16(out, 0x1E, ss == 4096 ? 12 : 9);
    Set16(out, 0x20, 6);
    Set32(out, 0x2C, fatN);
    Set32(out, 0x30, dirStart);
    Set32(out, 0x38, 4096);
    Set32(out, 0x3C, miniFatStart);
    Set32(out, 0x40, uint32_t((miniFatBytes.size() + ss - 1) / ss));
    Set32(out, 0x44, difN ? fatN : kEnd);
    Set32(out, 0x48, difN);
    for (uint32_t i = 0; i < 109; ++i) Set32(out, 0x4C + 4 * i, i < fatN && i < FHeaderDifat ? i : kFree);
    // Sectors
    std::vector<uint8_t> body;
    for (uint32_t i = 0; i < fatN * perSector; ++i) Put32(body, fat[i]);
    uint32_t fatIdx = FHeaderDifat;
    for (uint32_t k = 0; k < difN; ++k) {
      for (uint32_t i = 0; i + 1 < perSector; ++i) Put32(body, fatIdx < fatN ? fatIdx++ : kFree);
      Put32(body, k + 1 < difN ? fatN + k + 1 : kEnd);
    }
    for (size_t c = 0; c < chains.size(); ++c) {
      if (chainOwner[c] == -1) DirectoryOffset = uint32_t(ss + body.size());
      std::vector<uint8_t> padded = chains[c];
      padded.resize(((padded.size() + ss - 1) / ss) * ss, 0);
      body.insert(body.end(), padded.begin(), padded.end());
    }
    FatOffset = ss;
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }

  static void Set16(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    b[off] = uint8_t(v);
    b[off + 1] = uint8_t(v >> 8);
  }
  static void Set32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + size_t(i)] = uint8_t(v >> (8 * i));
  }

 private:
  static constexpr uint32_t kEnd = 0xFFFFFFFE, kFree = 0xFFFFFFFF;
  struct Item {
    std::u16string name;
    int type;
    std::vector<uint8_t> data;
    uint32_t parent;
  };
  static void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  }
  static void Entry(std::vector<uint8_t>& d, uint32_t e, const std::u16string& name, uint8_t type, uint32_t right,
                    uint32_t child, uint32_t start, uint64_t size) {
    size_t o = size_t(e) * 128;
    for (size_t i = 0; i < name.size() && i < 31; ++i) Set16(d, o + 2 * i, name[i]);
    Set16(d, o + 0x40, uint32_t((name.size() + 1) * 2));
    d[o + 0x42] = type;
    d[o + 0x43] = 1;
    Set32(d, o + 0x44, kFree);
    Set32(d, o + 0x48, right);
    Set32(d, o + 0x4C, child);
    Set32(d, o + 0x74, start);
    Set32(d, o + 0x78, uint32_t(size));
    Set32(d, o + 0x7C, uint32_t(size >> 32));
  }
  uint32_t FSectorSize;
  uint32_t FHeaderDifat = 109;
  std::vector<Item> FItems;
};
