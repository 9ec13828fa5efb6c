#include "Sharding.h"

#include <algorithm>
#include <charconv>

#include "BatchOptions.h"
#include "SysUtils.h"

namespace {

bool ParseCount(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
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

std::vector<size_t> NamingGroups(const std::vector<std::string>& destinations, const TDestinationOptions& options,
                                 int formatIndex) {
  const size_t n = destinations.size();
  std::vector<size_t> root(n);
  for (size_t i = 0; i < n; ++i) root[i] = i;
  const bool templated = !options.NameTemplate.empty();
  if (WritesWholeWorkbook(options, formatIndex) || (!templated && options.Sheets == ssFirst)) return root;
  // What every output name of an item begins with.
  std::vector<std::string> starts(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string& d = destinations[i];
    const std::string ext = ExtractFileExt(d);
    starts[i] = templated ? ExtractFilePath(d) + NameTemplateFixedStart(options.NameTemplate,
                                                                        ChangeFileExt(ExtractFileName(d), ""), ext)
                          : d.substr(0, d.size() - ext.size());
  }
  auto find = [&](size_t i) {
    while (root[i] != i) i = root[i] = root[root[i]];
    return i;
  };
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return starts[a] < starts[b]; });
  // The starts that begin with starts[x] follow it in sorted order.
  for (size_t k = 0; k < n; ++k) {
    const std::string& s = starts[order[k]];
    for (size_t m = k + 1; m < n && starts[order[m]].compare(0, s.size(), s) == 0; ++m) {
      const std::string& t = starts[order[m]];
      // Default names go on with a sheet number, which starts 1 to 9.
      if (!templated && t.size() > s.size() && (t[s.size()] < '1' || t[s.size()] > '9')) continue;
      const size_t a = find(order[k]), b = find(order[m]);
      if (a != b) root[std::max(a, b)] = std::min(a, b);
    }
  }
  for (size_t i = 0; i < n; ++i) root[i] = find(i);
  return root;
}
