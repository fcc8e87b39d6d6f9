#pragma once
// Files deflated in independent blocks and their block map, written as tools/publish
// writes them, for packages made in the tests.
#include <cstdint>
#include <string>
#include <vector>

#include "update/block_map.h"

namespace block_testing {

struct Blocked {
  std::string data;  // the entry's raw deflate stream
  BlockedFile file;  // its record in the map
};

// `content` deflated in blocks of `blockSize` bytes, each ending in a full flush; a
// block that does not shrink is stored.
Blocked DeflateInBlocks(const std::string& name, const std::string& content, std::uint32_t blockSize);

// The map's bytes for `files`.
std::string EncodeBlockMap(const std::vector<BlockedFile>& files);

}  // namespace block_testing
