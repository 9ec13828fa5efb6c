#pragma once
// Splitting one job over several processes (machines, array tasks): each
// takes the items whose relative source path hashes to its shard, so the
// shards together do the whole job, no item twice, and adding a file moves
// no other file to another shard.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DestinationOptions.h"

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

// The items whose outputs could be given each other's names, as groups:
// the default names of "book" (book.csv, book1.csv, book12.csv, with their
// fallbacks book12_xls.csv) meet those of "book1" (book1.csv, book12.csv);
// under a name template, those of two items whose fixed starts
// (NameTemplateFixedStart) begin alike. Items that write only their own
// destination (a whole workbook, the first sheet under the default name)
// meet nobody: work-list destinations are distinct. Each item's group is
// answered as the position of its first item. A shard takes whole groups,
// so each names its outputs exactly as a single run would, and no two
// write the same file.
std::vector<size_t> NamingGroups(const std::vector<std::string>& destinations, const TDestinationOptions& options,
                                 int formatIndex);
