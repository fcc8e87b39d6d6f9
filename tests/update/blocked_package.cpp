#include "blocked_package.h"

#include <zlib.h>

#include <algorithm>

namespace block_testing {

namespace {

template <typename T>
void Put(std::string* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string Stored(const std::string& block) {
  std::string out;
  for (std::size_t start = 0; start < block.size(); start += 0xFFFF) {
    const std::string part = block.substr(start, 0xFFFF);
    out.push_back('\0');
    Put(&out, static_cast<std::uint16_t>(part.size()));
    Put(&out, static_cast<std::uint16_t>(part.size() ^ 0xFFFF));
    out += part;
  }
  return out;
}

std::string Run(z_stream* stream, const std::string& in, int flush) {
  std::string out;
  stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  stream->avail_in = static_cast<uInt>(in.size());
  char buffer[16384];
  do {
    stream->next_out = reinterpret_cast<Bytef*>(buffer);
    stream->avail_out = sizeof buffer;
    deflate(stream, flush);
    out.append(buffer, sizeof buffer - stream->avail_out);
  } while (stream->avail_out == 0);
  return out;
}

}  // namespace

Blocked DeflateInBlocks(const std::string& name, const std::string& content, std::uint32_t blockSize) {
  Blocked result;
  result.file.name = name;
  result.file.blockSize = blockSize;
  result.file.size = content.size();
  z_stream stream{};
  deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  for (std::size_t start = 0; start < content.size(); start += blockSize) {
    const std::string block = content.substr(start, blockSize);
    const std::string deflated = Run(&stream, block, Z_FULL_FLUSH);
    const std::string stored = Stored(block);
    const std::string& chosen = deflated.size() < stored.size() ? deflated : stored;
    BlockInfo info;
    info.weak = static_cast<std::uint32_t>(
        adler32(1L, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size())));
    StrongHashOf(block.data(), block.size(), &info.strong);
    info.compressedOffset = result.data.size();
    info.compressedLength = static_cast<std::uint32_t>(chosen.size());
    result.file.blocks.push_back(info);
    result.data += chosen;
  }
  result.data += Run(&stream, "", Z_FINISH);
  deflateEnd(&stream);
  return result;
}

std::string EncodeBlockMap(const std::vector<BlockedFile>& files) {
  std::string out = "LBM1";
  Put(&out, static_cast<std::uint32_t>(files.size()));
  for (const BlockedFile& file : files) {
    Put(&out, static_cast<std::uint16_t>(file.name.size()));
    out += file.name;
    Put(&out, file.blockSize);
    Put(&out, file.size);
    Put(&out, static_cast<std::uint32_t>(file.blocks.size()));
    for (const BlockInfo& block : file.blocks) {
      Put(&out, block.weak);
      out.append(block.strong.begin(), block.strong.end());
      Put(&out, block.compressedLength);
    }
  }
  return out;
}

}  // namespace block_testing
