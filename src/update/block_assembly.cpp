#include "update/block_assembly.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/sha256.h"

namespace {

// Inflates one block's compressed bytes, which start with an empty window; exactly
// `length` bytes must come out.
bool InflateBlock(const std::vector<unsigned char>& compressed, std::size_t length, unsigned char* out) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
  // One byte more than wanted shows a block that inflates to too much.
  std::vector<unsigned char> produced(length + 1);
  stream.next_in = const_cast<unsigned char*>(compressed.data());
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = produced.data();
  stream.avail_out = static_cast<uInt>(produced.size());
  const int status = inflate(&stream, Z_SYNC_FLUSH);
  const std::size_t made = produced.size() - stream.avail_out;
  inflateEnd(&stream);
  if ((status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) || made != length) return false;
  std::copy(produced.begin(), produced.begin() + static_cast<std::ptrdiff_t>(length), out);
  return true;
}

}  // namespace

std::vector<update::ByteRange> MissingBlockRanges(const BlockedFile& file, const std::vector<std::int64_t>& found,
                                                  std::uint64_t dataOffset) {
  std::vector<update::ByteRange> ranges;
  for (std::size_t i = 0; i < file.blocks.size(); ++i) {
    if (found[i] != -1) continue;
    const BlockInfo& block = file.blocks[i];
    const std::uint64_t start = dataOffset + block.compressedOffset;
    if (!ranges.empty() && ranges.back().offset + ranges.back().length == start) {
      ranges.back().length += block.compressedLength;
    } else {
      ranges.push_back({start, block.compressedLength});
    }
  }
  return ranges;
}

bool ReadFromPieces(const std::vector<ZipPiece>& pieces, std::uint64_t offset, std::size_t length, unsigned char* out) {
  while (length > 0) {
    const auto after = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                        [](std::uint64_t at, const ZipPiece& p) { return at < p.offset; });
    if (after == pieces.begin()) return false;
    const ZipPiece& piece = *std::prev(after);
    if (offset >= piece.offset + piece.length) return false;
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, piece.offset + piece.length - offset));
    platform::File file = platform::File::OpenRead(piece.path);
    if (!file.IsOpen() || !ReadBlockBytes(&file, offset - piece.offset, take, out)) return false;
    offset += take;
    out += take;
    length -= take;
  }
  return true;
}

bool AssembleBlockedFile(const std::string& oldPath, const BlockedFile& file, const std::vector<std::int64_t>& found,
                         const std::vector<ZipPiece>& pieces, std::uint64_t dataOffset, std::uint32_t crc,
                         const std::string& sha256, const std::string& target) {
  platform::File old = platform::File::OpenRead(platform::AnsiToWide(oldPath));
  platform::File out = platform::File::Create(platform::AnsiToWide(target), platform::kAttributeNormal, 0);
  if (!out.IsOpen() || found.size() != file.blocks.size()) return false;
  std::vector<unsigned char> block(file.blockSize);
  std::vector<unsigned char> compressed;
  uLong sum = crc32(0L, Z_NULL, 0);
  platform::Sha256 hash;
  if (!hash.Reset()) return false;
  for (std::size_t i = 0; i < file.blocks.size(); ++i) {
    const std::size_t length = file.BlockLength(i);
    const BlockInfo& info = file.blocks[i];
    if (found[i] != -1) {
      if (!old.IsOpen() || !ReadBlockBytes(&old, static_cast<std::uint64_t>(found[i]), length, block.data())) return false;
    } else {
      compressed.resize(info.compressedLength);
      if (!ReadFromPieces(pieces, dataOffset + info.compressedOffset, compressed.size(), compressed.data()) ||
          !InflateBlock(compressed, length, block.data())) {
        return false;
      }
    }
    sum = crc32(sum, block.data(), static_cast<uInt>(length));
    if (!hash.Update(block.data(), length) || !out.Write(block.data(), static_cast<std::uint32_t>(length))) {
      return false;
    }
  }
  return sum == crc && (sha256.empty() || hash.FinishHex() == sha256);
}

bool EntryDataOffset(const std::vector<ZipPiece>& pieces, std::uint64_t headerOffset, std::uint64_t compressedSize,
                     std::uint64_t entryEnd, std::uint64_t* dataOffset) {
  unsigned char header[kLocalHeaderSize];
  if (!ReadFromPieces(pieces, headerOffset, sizeof header, header)) return false;
  const auto u16 = [&](std::size_t at) { return static_cast<std::uint32_t>(header[at] | header[at + 1] << 8); };
  const std::uint32_t signature = u16(0) | u16(2) << 16;
  constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
  constexpr std::uint32_t kDeflated = 8;
  if (signature != kLocalHeaderSignature || u16(8) != kDeflated) return false;
  const std::uint64_t start = headerOffset + kLocalHeaderSize + u16(26) + u16(28);
  if (start + compressedSize > entryEnd) return false;
  *dataOffset = start;
  return true;
}
