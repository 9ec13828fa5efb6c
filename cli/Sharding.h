#pragma once
// Splitting one job over several processes (machines, array tasks): each
// takes the items whose relative source path hashes to its shard, so the
// shards together do the whole job, no item twice, and adding a file moves
// no other file to another shard.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct TShard {
  uint32_t Index = 0;  // 0 <= Index < Count
  uint32_t Count = 1;
};

// "K/N" with 0 <= K < N (the 0-based numbering of array tasks and indexed
// jobs). Raises EUsageError naming what is wrong.
TShard ParseShard(const std::string& text);

// FNV-1a (64 bits) of the bytes: the same on every machine and build.
uint64_t StableHash(const std::string& bytes);

// The path that decides an item's shard: relative to the directory it was
// found under ("sub/book.xls"), "./" and repeated "/" dropped.
std::string ShardKey(const std::string& relativePath);
bool InShard(const std::string& relativePath, const TShard& shard);

// The sheet outputs the items of other shards may write. A shard cannot know
// how many sheets those files have, so any name an earlier item of another
// shard could give one of its sheets ("book3.csv", or the fallback
// "book3_xls.csv", "book3_xls_2.csv") is left to it, as a single run leaves
// it to the earlier item.
class TForeignOutputs {
 public:
  // One entry per item of the whole job, in work-list order.
  void Add(const std::string& destination, const std::string& source, bool ours);
  // Whether an item of another shard before position `before` (in the whole
  // job's order) could write path.
  bool Claimable(const std::string& path, size_t before) const;

 private:
  struct TItem {
    size_t Position;
    std::string Tag;  // the source's extension, which fallback names carry
  };
  std::unordered_map<std::string, TItem> FForeign;  // by destination
  size_t FCount = 0;
};
