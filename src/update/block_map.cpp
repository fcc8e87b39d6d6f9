#include "update/block_map.h"

#include <algorithm>
#include <set>

#include "platform/file.h"
#include "platform/sha256.h"
#include "update/record_name.h"

namespace {

constexpr char kMagic[] = "LBM1";
constexpr std::size_t kMagicSize = 4;
// Each block takes its weak checksum, its strong hash and its length.
constexpr std::size_t kBlockRecordSize = 4 + kStrongHashSize + 4;
// Name length, block size, file size and block count.
constexpr std::size_t kFileHeaderSize = 2 + 4 + 8 + 4;

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  std::size_t left() const { return bytes_.size() - at_; }
  bool Take(std::size_t count, const char** data) {
    if (left() < count) return false;
    *data = bytes_.data() + at_;
    at_ += count;
    return true;
  }
  template <typename T>
  bool Number(T* value) {
    const char* data = nullptr;
    if (!Take(sizeof(T), &data)) return false;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<unsigned char>(data[i])) << (8 * i);
    *value = v;
    return true;
  }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

bool ReadBlocks(Reader* reader, std::uint32_t count, BlockedFile* file) {
  if (reader->left() / kBlockRecordSize < count) return false;
  file->blocks.resize(count);
  std::uint64_t offset = 0;
  for (BlockInfo& block : file->blocks) {
    const char* strong = nullptr;
    if (!reader->Number(&block.weak) || !reader->Take(kStrongHashSize, &strong) ||
        !reader->Number(&block.compressedLength) || block.compressedLength == 0) {
      return false;
    }
    for (std::size_t i = 0; i < kStrongHashSize; ++i) block.strong[i] = static_cast<unsigned char>(strong[i]);
    block.compressedOffset = offset;
    offset += block.compressedLength;
  }
  return true;
}

bool ReadFile(Reader* reader, BlockedFile* file) {
  std::uint16_t nameLength = 0;
  const char* name = nullptr;
  std::uint32_t count = 0;
  if (!reader->Number(&nameLength) || !reader->Take(nameLength, &name) || !reader->Number(&file->blockSize) ||
      !reader->Number(&file->size) || !reader->Number(&count)) {
    return false;
  }
  file->name.assign(name, nameLength);
  if (!IsSafeRecordName(file->name) || file->blockSize < kMinBlockSize || file->blockSize > kMaxBlockSize) return false;
  // The count follows from the size; a size the count cannot reach is a lie.
  const std::uint64_t expected = (file->size + file->blockSize - 1) / file->blockSize;
  return expected == count && ReadBlocks(reader, count, file);
}

}  // namespace

std::uint32_t BlockedFile::BlockLength(std::size_t index) const {
  const std::uint64_t start = static_cast<std::uint64_t>(index) * blockSize;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(blockSize, size - start));
}

std::uint64_t BlockedFile::CompressedEnd() const {
  return blocks.empty() ? 0 : blocks.back().compressedOffset + blocks.back().compressedLength;
}

bool ParseBlockMap(const std::string& bytes, std::vector<BlockedFile>* files) {
  Reader reader(bytes);
  const char* magic = nullptr;
  std::uint32_t count = 0;
  if (!reader.Take(kMagicSize, &magic) || std::string(magic, kMagicSize) != kMagic || !reader.Number(&count) ||
      reader.left() / kFileHeaderSize < count) {
    return false;
  }
  std::vector<BlockedFile> parsed(count);
  std::set<std::string> names;
  for (BlockedFile& file : parsed) {
    if (!ReadFile(&reader, &file) || !names.insert(file.name).second) return false;
  }
  if (reader.left() != 0) return false;
  *files = std::move(parsed);
  return true;
}

bool StrongHashOf(const void* data, std::size_t length, StrongHash* hash) {
  platform::Sha256 sha;
  unsigned char digest[platform::Sha256::kDigestSize];
  if (!sha.Reset() || !sha.Update(data, length) || !sha.Finish(digest)) return false;
  std::copy(digest, digest + kStrongHashSize, hash->begin());
  return true;
}

bool ReadBlockBytes(platform::File* file, std::uint64_t offset, std::size_t length, unsigned char* out) {
  std::int64_t position = 0;
  if (!file->Seek(static_cast<std::int64_t>(offset), platform::SeekOrigin::Begin, &position)) return false;
  std::size_t got = 0;
  while (got < length) {
    std::uint32_t n = 0;
    if (!file->Read(out + got, static_cast<std::uint32_t>(length - got), &n) || n == 0) return false;
    got += n;
  }
  return true;
}
