#pragma once
// Builds a changed large file from the blocks an old copy holds and the compressed
// blocks fetched from the package, each inflated on its own.
#include <cstdint>
#include <string>
#include <vector>

#include "update/block_map.h"
#include "update/range_fetcher.h"
#include "zip/piece.h"

// The package's byte ranges of the blocks not found, for an entry whose data starts at
// `dataOffset` in the package.
std::vector<update::ByteRange> MissingBlockRanges(const BlockedFile& file, const std::vector<std::int64_t>& found,
                                                  std::uint64_t dataOffset);

// Reads `length` bytes of the package from `offset` out of `pieces` (sorted by offset);
// false when a byte is in none of them or a piece cannot be read.
bool ReadFromPieces(const std::vector<ZipPiece>& pieces, std::uint64_t offset, std::size_t length, unsigned char* out);

// Writes the new file to `target`: each block found (`found`, from FindBlocks) copied
// from the old file, each other one inflated from the pieces on its own. False when a
// block cannot be read or does not inflate to its length, or the whole file does not
// have `crc` as its CRC-32 and, unless it is empty, `sha256` (lower-case hex) as its
// SHA-256: the file is checked as it is written, with no second pass over it.
bool AssembleBlockedFile(const std::string& oldPath, const BlockedFile& file, const std::vector<std::int64_t>& found,
                         const std::vector<ZipPiece>& pieces, std::uint64_t dataOffset, std::uint32_t crc,
                         const std::string& sha256, const std::string& target);

// A changed entry that is built from its old copy and the blocks fetched.
struct BlockDelta {
  std::int32_t index = 0;
  BlockedFile file;
  std::vector<std::int64_t> found;  // from FindBlocks
  std::uint64_t dataOffset = 0;     // the entry's first data byte in the package
};

// Where the data of the entry whose local header is at `headerOffset` begins, read from
// the header in `pieces`; false unless it is a deflated entry's header whose data of
// `compressedSize` bytes ends by `entryEnd`.
bool EntryDataOffset(const std::vector<ZipPiece>& pieces, std::uint64_t headerOffset, std::uint64_t compressedSize,
                     std::uint64_t entryEnd, std::uint64_t* dataOffset);

// The fixed part of a local header, which EntryDataOffset reads.
inline constexpr std::uint64_t kLocalHeaderSize = 30;
