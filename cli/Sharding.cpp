#include "Sharding.h"

#include <charconv>

#include "BatchOptions.h"
#include "SysUtils.h"

namespace {

bool ParseCount(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool AllDigits(const std::string& s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// What a fallback name adds after the natural one: "", "_tag", "_tag_N"
// (N >= 2), or "_N" for a source without extension.
bool FallbackSuffix(const std::string& rest, const std::string& tag) {
  if (rest.empty()) return true;
  std::string number;
  if (!tag.empty()) {
    const std::string head = "_" + tag;
    if (rest.compare(0, head.size(), head) != 0) return false;
    if (rest.size() == head.size()) return true;
    number = rest.substr(head.size());
  } else {
    number = rest;
  }
  // Numbering starts at 2: the first fallback has none.
  return number.size() >= 2 && number[0] == '_' && AllDigits(number, 1, number.size()) && number[1] != '0' &&
         number != "_1";
}

}  // namespace

TShard ParseShard(const std::string& text) {
  const size_t slash = text.find('/');
  TShard s;
  if (slash == std::string::npos || !ParseCount(Trim(text.substr(0, slash)), s.Index) ||
      !ParseCount(Trim(text.substr(slash + 1)), s.Count))
    throw EUsageError("--shard \"" + text + "\" is not K/N (e.g. 0/4)");
  if (s.Count == 0) throw EUsageError("--shard " + text + ": the number of shards must be at least 1");
  if (s.Index >= s.Count)
    throw EUsageError("--shard " + text + ": shards are numbered 0 to " + std::to_string(s.Count - 1) +
                      " (a job array starting at 1 gives K-1)");
  return s;
}

uint64_t StableHash(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string ShardKey(const std::string& relativePath) {
  std::string key;
  key.reserve(relativePath.size());
  size_t i = 0;
  while (i < relativePath.size()) {
    if (relativePath[i] == '/') {
      ++i;
      continue;
    }
    const size_t end = std::min(relativePath.find('/', i), relativePath.size());
    const std::string part = relativePath.substr(i, end - i);
    if (part != ".") key += (key.empty() ? "" : "/") + part;
    i = end;
  }
  return key;
}

bool InShard(const std::string& relativePath, const TShard& shard) {
  return StableHash(ShardKey(relativePath)) % shard.Count == shard.Index;
}

void TForeignOutputs::Add(const std::string& destination, const std::string& source, bool ours) {
  const size_t position = FCount++;
  if (ours) return;
  const std::string ext = ExtractFileExt(source);
  FForeign.emplace(destination, TItem{position, ext.size() > 1 ? ext.substr(1) : std::string()});
}

// A sheet output is "<destination stem><sheet number><ext>", perhaps with a
// fallback suffix before the extension: try every way path splits so.
bool TForeignOutputs::Claimable(const std::string& path, size_t before) const {
  if (FForeign.empty()) return false;
  const std::string ext = ExtractFileExt(path);
  const std::string base = path.substr(0, path.size() - ext.size());
  const size_t nameStart = base.rfind('/') == std::string::npos ? 0 : base.rfind('/') + 1;
  for (size_t cut = base.size() + 1; cut-- > nameStart;) {
    if (cut < base.size() && base[cut] != '_') continue;
    const std::string rest = base.substr(cut);
    // The sheet number: the digits just before the cut, no leading zero.
    size_t digits = cut;
    while (digits > nameStart && base[digits - 1] >= '0' && base[digits - 1] <= '9') --digits;
    for (size_t start = digits; start < cut; ++start) {
      if (base[start] == '0') continue;
      const auto it = FForeign.find(base.substr(0, start) + ext);
      if (it != FForeign.end() && it->second.Position < before && FallbackSuffix(rest, it->second.Tag)) return true;
    }
  }
  return false;
}
