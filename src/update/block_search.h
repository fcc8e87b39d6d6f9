#pragma once
// Finds the blocks of a new file's block map in an old copy of the file, at any byte
// offset (rsync's way: a rolling Adler-32 over every window of a block's length, a
// table from weak checksum to blocks, and the strong hash confirming each weak hit), so
// blocks that moved because bytes were inserted or removed before them are found too.
// The old file is streamed through a bounded buffer: memory stays the same however
// large it is.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "update/block_map.h"

inline constexpr std::int64_t kBlockNotFound = -1;

// For each block of `file`, the offset in the file at `oldPath` where the same bytes
// are (the weak checksum and the strong hash agree), or kBlockNotFound. The last block,
// when shorter than the others, is looked for at the old file's end and right after
// the old copy of the block before it. False when the old file cannot be read, the
// system offers no SHA-256 or `cancel` was raised.
bool FindBlocks(const std::string& oldPath, const BlockedFile& file, const std::atomic<bool>& cancel,
                std::vector<std::int64_t>* found);
