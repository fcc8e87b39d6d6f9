#pragma once
// The release's block map (`.release/blocks`): for each large file of the package,
// deflated in blocks that can be inflated on their own, the block size and per block a
// rolling checksum and a strong hash of its bytes and where its compressed bytes lie
// in the entry's data. An update that holds an older copy of such a file fetches only
// the blocks the old copy lacks.
//
// The map comes from the network: the file list vouches for it before it is read, and
// whatever it says is bounded here, so a map that lies costs bytes fetched at most
// (the assembled file is checked against its SHA-256 and CRC-32 before it moves).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {
class File;
}

inline constexpr char kBlockMapName[] = ".release/blocks";

// Block sizes a map may give: small enough to hold a few in memory, large enough that
// the map stays small.
inline constexpr std::uint32_t kMinBlockSize = 4 * 1024;
inline constexpr std::uint32_t kMaxBlockSize = 4 * 1024 * 1024;
// How much of a block's SHA-256 the map keeps.
inline constexpr std::size_t kStrongHashSize = 16;

using StrongHash = std::array<unsigned char, kStrongHashSize>;

struct BlockInfo {
  std::uint32_t weak = 0;              // Adler-32 of the block's bytes
  StrongHash strong{};                 // the first bytes of their SHA-256
  std::uint64_t compressedOffset = 0;  // from the entry's first data byte
  std::uint32_t compressedLength = 0;
};

struct BlockedFile {
  std::string name;  // '/'-separated, as the package names the entry
  std::uint32_t blockSize = 0;
  std::uint64_t size = 0;
  std::vector<BlockInfo> blocks;  // every block but the last is blockSize long

  // The uncompressed length of block `index`.
  std::uint32_t BlockLength(std::size_t index) const;
  // Where the compressed blocks end, from the entry's first data byte.
  std::uint64_t CompressedEnd() const;
};

// False, leaving `files` alone, when the text is not a well-formed map: a block size
// out of bounds, a block count that does not fit the size, a compressed block of no
// bytes, an unsafe or repeated name, or bytes beyond the last file.
bool ParseBlockMap(const std::string& bytes, std::vector<BlockedFile>* files);

// The strong hash of `length` bytes; false when the system offers no SHA-256.
bool StrongHashOf(const void* data, std::size_t length, StrongHash* hash);

// Reads exactly `length` bytes at `offset` of an open file (an old copy, a piece).
bool ReadBlockBytes(platform::File* file, std::uint64_t offset, std::size_t length, unsigned char* out);
