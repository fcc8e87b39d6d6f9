#include "zip/zip_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "zip/little_endian.h"

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;

constexpr std::uint32_t kEndRecordSize = 22;
constexpr std::uint32_t kCentralHeaderSize = 46;
constexpr std::uint32_t kLocalHeaderSize = 30;
constexpr std::uint32_t kZip64LocatorSize = 20;
constexpr std::uint32_t kZip64EndSize = 56;  // without extensible data

constexpr std::uint32_t kSearchStep = 1024;
constexpr std::uint32_t kSearchBufferSize = kSearchStep + 4;
constexpr std::uint64_t kSearchRange = 65535;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint32_t kZip64Placeholder = 0xFFFFFFFF;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint32_t kEncryptionHeaderSize = 12;
constexpr auto kMaxReadLength = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());

bool ReadAt(ZipSource* source, std::uint64_t offset, void* buffer, std::uint32_t length) {
  return ZipSourceSeek(source, offset) == ZipStatusOk && ZipSourceRead(source, buffer, length) == length;
}

// Traditional PKWARE encryption (the application note's "traditional" scheme).
void UpdateKeys(std::uint32_t keys[3], std::uint8_t plain) {
  const z_crc_t* table = get_crc_table();
  keys[0] = static_cast<std::uint32_t>(table[(keys[0] ^ plain) & 0xFF]) ^ (keys[0] >> 8);
  keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
  keys[2] = static_cast<std::uint32_t>(table[(keys[2] ^ (keys[1] >> 24)) & 0xFF]) ^ (keys[2] >> 8);
}

std::uint8_t DecryptByte(std::uint8_t cipher, std::uint32_t keys[3]) {
  const std::uint32_t temp = (keys[2] | 2) & 0xFFFF;
  const auto plain = static_cast<std::uint8_t>(cipher ^ ((temp * (temp ^ 1)) >> 8));
  UpdateKeys(keys, plain);
  return plain;
}

// Searches backwards from the end in overlapping blocks; the last signature in the
// nearest block wins.
bool SourceEnd(ZipSource* source, std::int64_t* end) {
  if (!source->pieces.empty()) {
    *end = static_cast<std::int64_t>(source->archiveSize);
    return true;
  }
  source->filePosition = -1;
  return source->canSeek && source->file.Seek(0, platform::SeekOrigin::End, end);
}

bool FindEndRecord(ZipSource* source, std::uint64_t* position) {
  std::int64_t end = 0;
  if (!SourceEnd(source, &end)) return false;
  if (static_cast<std::uint64_t>(end) < source->initialOffset) return false;
  const std::uint64_t size = static_cast<std::uint64_t>(end) - source->initialOffset;
  const std::uint64_t range = std::min(size, kSearchRange);
  unsigned char buffer[kSearchBufferSize];
  std::uint64_t distance = 4;
  while (distance < range) {
    distance = std::min(distance + kSearchStep, range);
    const std::uint64_t start = size - distance;
    const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(kSearchBufferSize, distance));
    if (!ReadAt(source, start, buffer, length)) return false;
    for (std::uint32_t i = length - 4 + 1; i-- > 0;) {
      if (Get32(buffer + i) == kEndSignature) {
        *position = start + i;
        return true;
      }
    }
  }
  return false;
}

struct EndRecord {
  std::uint16_t entriesOnDisk = 0;
  std::uint16_t entriesTotal = 0;
  std::uint32_t centralSize = 0;
  std::uint32_t centralOffset = 0;
  std::uint16_t commentLength = 0;
};

// The zip64 end record written by streaming tools sits between the central directory
// and the end record. Finds it from the locator in front of the end record: its start
// is where the central directory ends. A record whose values differ from the end
// record's describes an archive that really needs zip64, which is refused.
std::int32_t FindZip64End(ZipSource* source, std::uint64_t endPosition, const EndRecord& end,
                          std::uint64_t* centralEnd) {
  *centralEnd = endPosition;
  unsigned char locator[kZip64LocatorSize];
  if (endPosition < kZip64LocatorSize) return ZipStatusOk;
  const std::uint64_t locatorPosition = endPosition - kZip64LocatorSize;
  if (!ReadAt(source, locatorPosition, locator, kZip64LocatorSize)) return ZipStatusIo;
  // Anything but a single-disk locator is bytes that merely look like one.
  if (Get32(locator) != kZip64LocatorSignature || Get32(locator + 4) != 0 || Get32(locator + 16) > 1) {
    return ZipStatusOk;
  }
  // Directly in front of the locator (the common fixed size), or where the locator
  // says when nothing precedes the archive.
  const std::uint64_t candidates[2] = {locatorPosition - std::min<std::uint64_t>(locatorPosition, kZip64EndSize),
                                       Get64(locator + 8)};
  for (const std::uint64_t candidate : candidates) {
    unsigned char record[kZip64EndSize];
    if (candidate >= locatorPosition || !ReadAt(source, candidate, record, kZip64EndSize)) continue;
    if (Get32(record) != kZip64EndSignature || candidate + 12 + Get64(record + 4) != locatorPosition) continue;
    const bool agrees = Get32(record + 16) == 0 && Get32(record + 20) == 0 && Get64(record + 24) == end.entriesOnDisk &&
                        Get64(record + 32) == end.entriesTotal && Get64(record + 40) == end.centralSize &&
                        Get64(record + 48) == end.centralOffset;
    if (!agrees) return ZipStatusBadArchive;
    *centralEnd = candidate;
    return ZipStatusOk;
  }
  return ZipStatusOk;
}

std::int32_t ReadEndRecord(ZipDirectory* directory) {
  ZipSource* source = directory->source.get();
  std::uint64_t position = 0;
  if (!FindEndRecord(source, &position)) return ZipStatusBadArchive;
  unsigned char raw[kEndRecordSize];
  if (!ReadAt(source, position, raw, kEndRecordSize)) return ZipStatusIo;
  EndRecord end;
  end.entriesOnDisk = Get16(raw + 8);
  end.entriesTotal = Get16(raw + 10);
  end.centralSize = Get32(raw + 12);
  end.centralOffset = Get32(raw + 16);
  end.commentLength = Get16(raw + 20);
  if (Get16(raw + 4) != 0 || Get16(raw + 6) != 0 || end.entriesOnDisk != end.entriesTotal) return ZipStatusBadArchive;

  std::uint64_t centralEnd = 0;
  const std::int32_t status = FindZip64End(source, position, end, &centralEnd);
  if (status != ZipStatusOk) return status;
  centralEnd += source->initialOffset;
  const std::uint64_t declaredEnd = static_cast<std::uint64_t>(end.centralOffset) + end.centralSize;
  if (position + source->initialOffset > std::numeric_limits<std::uint32_t>::max() || centralEnd < declaredEnd) {
    return ZipStatusBadArchive;
  }
  directory->entryCount = end.entriesTotal;
  directory->commentLength = end.commentLength;
  directory->bytesBefore = static_cast<std::uint32_t>(centralEnd - declaredEnd);
  directory->endRecordPosition = static_cast<std::uint32_t>(position);
  directory->centralDirectorySize = end.centralSize;
  directory->centralDirectoryOffset = end.centralOffset;
  // From here on every offset is absolute: archive offset plus bytes before.
  source->initialOffset = 0;
  return ZipStatusOk;
}

std::uint64_t Shifted(const ZipDirectory* directory, std::uint64_t offset) { return offset + directory->bytesBefore; }

std::int32_t ReadCentralHeader(ZipDirectory* directory, ZipCentralHeader* header, char* name, std::uint32_t nameSize) {
  unsigned char raw[kCentralHeaderSize];
  if (!ReadAt(directory->source.get(), Shifted(directory, directory->currentPosition), raw, kCentralHeaderSize)) {
    return ZipStatusIo;
  }
  if (Get32(raw) != kCentralSignature) return ZipStatusBadArchive;
  ZipCentralHeader h;
  h.versionMadeBy = Get16(raw + 4);
  h.versionNeeded = Get16(raw + 6);
  h.flags = Get16(raw + 8);
  h.method = Get16(raw + 10);
  h.dosDateTime = Get32(raw + 12);
  h.crc = Get32(raw + 16);
  h.compressedSize = Get32(raw + 20);
  h.uncompressedSize = Get32(raw + 24);
  h.nameLength = Get16(raw + 28);
  h.extraLength = Get16(raw + 30);
  h.commentLength = Get16(raw + 32);
  h.diskNumberStart = Get16(raw + 34);
  h.internalAttributes = Get16(raw + 36);
  h.externalAttributes = Get32(raw + 38);
  h.localHeaderOffset = Get32(raw + 42);
  if (name && nameSize > 0) {
    const std::uint32_t n = std::min<std::uint32_t>(h.nameLength, nameSize);
    if (ZipSourceRead(directory->source.get(), name, n) != n) return ZipStatusIo;
    if (n < nameSize) name[n] = '\0';
  }
  if (header) *header = h;
  return ZipStatusOk;
}

std::int32_t ReadCurrent(ZipDirectory* directory) {
  const std::int32_t status = ReadCentralHeader(directory, &directory->current, nullptr, 0);
  directory->currentValid = status == ZipStatusOk;
  directory->currentLocalOffset = directory->currentValid ? directory->current.localHeaderOffset : 0;
  return status;
}

// A local header that marks its sizes as kept in a zip64 extra field (as streaming
// tools write them) agrees when the extra field's sizes equal the central ones.
std::int32_t CheckZip64LocalSizes(ZipDirectory* directory, std::uint64_t extraPosition, std::uint16_t extraLength) {
  std::vector<unsigned char> buffer(extraLength);
  const unsigned char* extra = buffer.data();
  if (!ReadAt(directory->source.get(), extraPosition, buffer.data(), extraLength)) return ZipStatusIo;
  for (std::uint32_t offset = 0; offset + 4 <= extraLength;) {
    const std::uint16_t id = Get16(extra + offset);
    const std::uint16_t size = Get16(extra + offset + 2);
    if (id == kZip64ExtraId) {
      if (size < 16 || offset + 4 + 16 > extraLength) return ZipStatusBadArchive;
      const bool agrees = Get64(extra + offset + 4) == directory->current.uncompressedSize &&
                          Get64(extra + offset + 12) == directory->current.compressedSize;
      return agrees ? ZipStatusOk : ZipStatusBadArchive;
    }
    offset += 4 + size;
  }
  return ZipStatusBadArchive;
}

void ReleaseStream(ZipDirectory* directory) { directory->stream.reset(); }

std::int32_t FillReadBuffer(ZipEntryStream& s) {
  const std::uint32_t n = std::min(kZipReadBufferSize, s.compressedRemaining);
  if (ZipSourceSeek(s.source, s.nextPosition + s.bytesBefore) != ZipStatusOk) return ZipStatusIo;
  if (ZipSourceRead(s.source, s.readBuffer.get(), n) != n) return ZipStatusIo;
  s.nextPosition += n;
  s.compressedRemaining -= n;
  s.inputPosition = 0;
  s.inputCount = n;
  if (s.encrypted) {
    for (std::uint32_t i = 0; i < n; ++i) s.readBuffer[i] = DecryptByte(s.readBuffer[i], s.keys);
  }
  return ZipStatusOk;
}

std::int32_t ConsumeEncryptionHeader(ZipEntryStream& s) {
  std::uint8_t last = 0;
  while (s.encryptionHeaderRemaining > 0 && s.inputCount > 0) {
    last = s.readBuffer[s.inputPosition++];
    --s.inputCount;
    --s.encryptionHeaderRemaining;
  }
  if (s.encryptionHeaderRemaining == 0) return last == s.checkByte ? ZipStatusOk : ZipStatusPassword;
  return s.compressedRemaining > 0 ? ZipStatusOk : ZipStatusBadArchive;
}

void Account(ZipEntryStream& s, const unsigned char* data, std::uint32_t n) {
  s.crc = static_cast<std::uint32_t>(crc32(s.crc, data, n));
  s.uncompressedRemaining -= n;
}

// Copies stored bytes; data that ends before the entry's size is an error, never a wait.
std::int32_t ReadStored(ZipEntryStream& s, unsigned char* out, std::uint32_t want, std::uint32_t* produced) {
  if (s.inputCount == 0) return ZipStatusBadArchive;
  const std::uint32_t n = std::min(want, s.inputCount);
  std::memcpy(out, s.readBuffer.get() + s.inputPosition, n);
  s.inputPosition += n;
  s.inputCount -= n;
  Account(s, out, n);
  *produced = n;
  return ZipStatusOk;
}

// Inflates into at most `want` bytes, so the output never exceeds the declared size.
std::int32_t ReadDeflated(ZipEntryStream& s, unsigned char* out, std::uint32_t want, std::uint32_t* produced,
                          bool* streamEnd) {
  if (!s.inflaterInitialised) return Z_STREAM_ERROR;
  s.inflater.next_in = s.readBuffer.get() + s.inputPosition;
  s.inflater.avail_in = s.inputCount;
  s.inflater.next_out = out;
  s.inflater.avail_out = want;
  const int z = inflate(&s.inflater, Z_SYNC_FLUSH);
  const std::uint32_t consumed = s.inputCount - s.inflater.avail_in;
  s.inputPosition += consumed;
  s.inputCount -= consumed;
  *produced = want - s.inflater.avail_out;
  Account(s, out, *produced);
  *streamEnd = z == Z_STREAM_END;
  if (z == Z_OK || z == Z_STREAM_END) return ZipStatusOk;
  return z < 0 ? z : Z_DATA_ERROR;
}

}  // namespace

ZipEntryStream::~ZipEntryStream() {
  if (inflaterInitialised) inflateEnd(&inflater);
}

std::unique_ptr<ZipSource> ZipSourceOpen(const std::wstring& path) {
  std::unique_ptr<ZipSource> source(new (std::nothrow) ZipSource);
  if (!source) return nullptr;
  source->file = platform::File::OpenRead(path);
  if (!source->file.IsOpen()) return nullptr;
  std::int64_t position = 0;
  source->canSeek = source->file.Seek(0, platform::SeekOrigin::Current, &position);
  if (source->canSeek) {
    source->initialOffset = static_cast<std::uint64_t>(position);
    source->filePosition = position;
    // Without room for the windows every read goes to the file.
    for (ZipWindow& window : source->windows) window.data.reset(new (std::nothrow) unsigned char[kZipWindowSize]);
  }
  return source;
}

std::unique_ptr<ZipSource> ZipSourceOpenPieces(std::vector<ZipPiece> pieces, std::uint64_t archiveSize) {
  std::sort(pieces.begin(), pieces.end(), [](const ZipPiece& a, const ZipPiece& b) { return a.offset < b.offset; });
  std::uint64_t covered = 0;
  for (const ZipPiece& piece : pieces) {
    if (piece.length == 0 || piece.offset < covered || piece.length > archiveSize - piece.offset ||
        piece.offset > archiveSize) {
      return nullptr;
    }
    covered = piece.offset + piece.length;
  }
  if (pieces.empty()) return nullptr;
  std::unique_ptr<ZipSource> source(new (std::nothrow) ZipSource);
  if (!source) return nullptr;
  source->pieces = std::move(pieces);
  source->openPiece = source->pieces.size();
  source->archiveSize = archiveSize;
  source->canSeek = true;
  return source;
}

std::int32_t ZipSourceSeek(ZipSource* source, std::uint64_t offset) {
  if (!source || !source->canSeek) return ZipStatusIo;
  const std::uint64_t target = offset + source->initialOffset;
  if (target > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return ZipStatusIo;
  source->position = target;
  return ZipStatusOk;
}

namespace {

// Reads from the piece holding the source's position; a position in no piece is a gap
// in what was fetched, which reads as an error.
std::uint32_t ReadPieces(ZipSource* source, unsigned char* p, std::uint32_t length) {
  std::uint32_t total = 0;
  while (total < length && source->position < source->archiveSize) {
    const auto next = std::upper_bound(source->pieces.begin(), source->pieces.end(), source->position,
                                       [](std::uint64_t at, const ZipPiece& piece) { return at < piece.offset; });
    const std::size_t index = static_cast<std::size_t>(next - source->pieces.begin());
    const ZipPiece* piece = index == 0 ? nullptr : &source->pieces[index - 1];
    if (!piece || source->position >= piece->offset + piece->length) {
      source->error = true;
      break;
    }
    if (source->openPiece != index - 1) {
      source->file = platform::File::OpenRead(piece->path);
      source->openPiece = source->file.IsOpen() ? index - 1 : source->pieces.size();
    }
    std::int64_t at = 0;
    const std::uint64_t within = source->position - piece->offset;
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(length - total, piece->length - within));
    std::uint32_t n = 0;
    if (source->openPiece != index - 1 ||
        !source->file.Seek(static_cast<std::int64_t>(within), platform::SeekOrigin::Begin, &at) ||
        !source->file.Read(p + total, want, &n) || n == 0) {
      source->error = true;
      break;
    }
    total += n;
    source->position += n;
  }
  return total;
}

// Reads from the file at `at`, seeking only when the file is elsewhere.
std::uint32_t ReadFileAt(ZipSource* source, std::uint64_t at, unsigned char* p, std::uint32_t length) {
  if (source->filePosition != static_cast<std::int64_t>(at)) {
    std::int64_t moved = 0;
    source->filePosition = -1;
    if (!source->file.Seek(static_cast<std::int64_t>(at), platform::SeekOrigin::Begin, &moved)) {
      source->error = true;
      return 0;
    }
  }
  std::uint32_t total = 0;
  while (total < length) {
    std::uint32_t n = 0;
    if (!source->file.Read(p + total, length - total, &n)) {
      source->error = true;
      source->filePosition = -1;
      return total;
    }
    if (n == 0) break;
    total += n;
  }
  source->filePosition = static_cast<std::int64_t>(at + total);
  return total;
}

ZipWindow* WindowHolding(ZipSource* source, std::uint64_t at) {
  for (ZipWindow& window : source->windows) {
    if (window.data && at >= window.start && at - window.start < window.size) return &window;
  }
  return nullptr;
}

// Serves reads from the windows; a read that misses them refills the one used least
// recently, and one as large as a window goes to the file directly.
std::uint32_t ReadWindowed(ZipSource* source, unsigned char* p, std::uint32_t length) {
  std::uint32_t total = 0;
  while (total < length) {
    const std::uint64_t at = source->position;
    ZipWindow* window = WindowHolding(source, at);
    if (!window) {
      ZipWindow& older = source->windows[source->windows[0].lastUse > source->windows[1].lastUse ? 1 : 0];
      if (!older.data || length - total >= kZipWindowSize) {
        const std::uint32_t n = ReadFileAt(source, at, p + total, length - total);
        source->position += n;
        return total + n;
      }
      older.start = at;
      older.size = ReadFileAt(source, at, older.data.get(), kZipWindowSize);
      if (older.size == 0) return total;
      window = &older;
    }
    window->lastUse = ++source->uses;
    const auto n = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(length - total, window->start + window->size - at));
    std::memcpy(p + total, window->data.get() + (at - window->start), n);
    source->position += n;
    total += n;
  }
  return total;
}

}  // namespace

std::uint32_t ZipSourceRead(ZipSource* source, void* buffer, std::uint32_t length) {
  auto* p = static_cast<unsigned char*>(buffer);
  if (!source->pieces.empty()) return ReadPieces(source, p, length);
  if (source->canSeek) return ReadWindowed(source, p, length);
  std::uint32_t total = 0;
  while (total < length) {
    std::uint32_t n = 0;
    if (!source->file.Read(p + total, length - total, &n)) {
      source->error = true;
      break;
    }
    if (n == 0) break;
    total += n;
  }
  return total;
}

std::unique_ptr<ZipDirectory> ZipDirectoryOpen(std::unique_ptr<ZipSource> source) {
  if (!source) return nullptr;
  std::unique_ptr<ZipDirectory> directory(new (std::nothrow) ZipDirectory);
  if (!directory) return nullptr;
  directory->source = std::move(source);
  if (ReadEndRecord(directory.get()) != ZipStatusOk ||
      (ZipDirectoryFirst(directory.get()) != ZipStatusOk && directory->entryCount > 0)) {
    ZipDirectoryClose(std::move(directory));
    return nullptr;
  }
  return directory;
}

std::int32_t ZipFindCentralDirectory(std::unique_ptr<ZipSource> source, std::uint64_t* offset,
                                     std::uint32_t* size) {
  if (!source || !offset || !size) return ZipStatusParam;
  ZipDirectory directory;
  directory.source = std::move(source);
  const std::int32_t status = ReadEndRecord(&directory);
  if (status != ZipStatusOk) return status;
  *offset = static_cast<std::uint64_t>(directory.centralDirectoryOffset) + directory.bytesBefore;
  *size = directory.centralDirectorySize;
  return ZipStatusOk;
}

void ZipDirectoryClose(std::unique_ptr<ZipDirectory> directory) {
  if (!directory) return;
  ReleaseStream(directory.get());
  directory->source->file.Close();
}

std::int32_t ZipDirectoryFirst(ZipDirectory* directory) {
  if (!directory) return ZipStatusParam;
  directory->currentNumber = 0;
  directory->currentPosition = directory->centralDirectoryOffset;
  return ReadCurrent(directory);
}

void ZipDirectoryNext(ZipDirectory* directory) {
  if (!directory || !directory->currentValid || directory->currentNumber + 1 >= directory->entryCount) return;
  const ZipCentralHeader& h = directory->current;
  const std::uint64_t next = static_cast<std::uint64_t>(directory->currentPosition) + kCentralHeaderSize +
                             h.nameLength + h.extraLength + h.commentLength;
  ++directory->currentNumber;
  if (next > std::numeric_limits<std::uint32_t>::max()) {
    directory->currentValid = false;
    return;
  }
  directory->currentPosition = static_cast<std::uint32_t>(next);
  ReadCurrent(directory);
}

std::int32_t ZipDirectoryHeader(ZipDirectory* directory, ZipCentralHeader* header, char* name,
                                std::uint32_t nameSize) {
  if (!directory || !directory->currentValid) return ZipStatusParam;
  return ReadCentralHeader(directory, header, name, nameSize);
}

std::int32_t ZipCheckLocalHeader(ZipDirectory* directory, std::uint32_t* variableSize, std::uint32_t* extraOffset,
                                 std::uint32_t* extraLength) {
  if (!directory || !directory->currentValid) return ZipStatusParam;
  if (!directory->source->canSeek) return ZipStatusIo;
  const std::uint64_t localOffset = directory->currentLocalOffset;
  unsigned char raw[kLocalHeaderSize];
  if (!ReadAt(directory->source.get(), Shifted(directory, localOffset), raw, kLocalHeaderSize)) return ZipStatusIo;
  const ZipCentralHeader& c = directory->current;
  const std::uint16_t flags = Get16(raw + 6);
  const std::uint16_t method = Get16(raw + 8);
  const std::uint32_t compressed = Get32(raw + 18);
  const std::uint32_t uncompressed = Get32(raw + 22);
  const std::uint16_t nameLength = Get16(raw + 26);
  const std::uint16_t localExtraLength = Get16(raw + 28);
  if (Get32(raw) != kLocalSignature || method != c.method || nameLength != c.nameLength) return ZipStatusBadArchive;
  if (method != kMethodStored && method != kMethodDeflated) return ZipStatusBadArchive;
  const std::uint64_t extraStart = localOffset + kLocalHeaderSize + nameLength;
  if (extraStart > std::numeric_limits<std::uint32_t>::max()) return ZipStatusBadArchive;
  if (!(flags & kFlagDataDescriptor)) {
    if (Get32(raw + 14) != c.crc) return ZipStatusBadArchive;
    if (compressed == kZip64Placeholder || uncompressed == kZip64Placeholder) {
      const std::int32_t status = CheckZip64LocalSizes(directory, Shifted(directory, extraStart), localExtraLength);
      if (status != ZipStatusOk) return status;
    } else if (compressed != c.compressedSize || uncompressed != c.uncompressedSize) {
      return ZipStatusBadArchive;
    }
  }
  if (variableSize) *variableSize = static_cast<std::uint32_t>(nameLength) + localExtraLength;
  if (extraOffset) *extraOffset = static_cast<std::uint32_t>(extraStart);
  if (extraLength) *extraLength = localExtraLength;
  return ZipStatusOk;
}

std::int32_t ZipStreamOpen(ZipDirectory* directory, const char* password) {
  if (!directory || !directory->currentValid) return ZipStatusParam;
  ReleaseStream(directory);
  std::uint32_t variableSize = 0;
  if (ZipCheckLocalHeader(directory, &variableSize, nullptr, nullptr) != ZipStatusOk) return ZipStatusBadArchive;

  std::unique_ptr<ZipEntryStream> stream(new (std::nothrow) ZipEntryStream);
  if (!stream) return ZipStatusNoMemory;
  stream->readBuffer.reset(new (std::nothrow) unsigned char[kZipReadBufferSize]);
  if (!stream->readBuffer) return ZipStatusNoMemory;
  const ZipCentralHeader& c = directory->current;
  if (c.method != kMethodStored) {
    stream->inflaterInitialised = inflateInit2(&stream->inflater, -MAX_WBITS) == Z_OK;
  }
  stream->expectedCrc = c.crc;
  stream->compressedRemaining = c.compressedSize;
  stream->uncompressedRemaining = c.uncompressedSize;
  stream->method = c.method;
  stream->source = directory->source.get();
  stream->bytesBefore = directory->bytesBefore;
  stream->nextPosition = static_cast<std::uint64_t>(directory->currentLocalOffset) + kLocalHeaderSize + variableSize;
  stream->encrypted = (c.flags & kFlagEncrypted) != 0;
  stream->checkByte = static_cast<std::uint8_t>((c.flags & kFlagDataDescriptor) ? (c.dosDateTime >> 8) : (c.crc >> 24));
  stream->encryptionHeaderRemaining = stream->encrypted ? kEncryptionHeaderSize : 0;
  stream->keys[0] = 0x12345678;
  stream->keys[1] = 0x23456789;
  stream->keys[2] = 0x34567890;
  for (const char* p = password; p && *p; ++p) UpdateKeys(stream->keys, static_cast<std::uint8_t>(*p));
  directory->stream = std::move(stream);
  return ZipStatusOk;
}

std::int32_t ZipStreamRead(ZipDirectory* directory, void* buffer, std::uint32_t length, bool* endOfEntry) {
  *endOfEntry = false;
  if (!directory || !directory->stream) return ZipStatusParam;
  if (length == 0) return 0;
  ZipEntryStream& s = *directory->stream;
  auto* out = static_cast<unsigned char*>(buffer);
  // The count produced must fit the signed result.
  std::uint32_t want = std::min({length, s.uncompressedRemaining, kMaxReadLength});
  if (want == 0) {
    *endOfEntry = true;
    return 0;
  }
  std::uint32_t total = 0;
  while (want > 0) {
    if (s.inputCount == 0 && s.compressedRemaining > 0) {
      const std::int32_t status = FillReadBuffer(s);
      if (status != ZipStatusOk) return status;
    }
    if (s.encryptionHeaderRemaining > 0) {
      const std::int32_t status = ConsumeEncryptionHeader(s);
      if (status != ZipStatusOk) return status;
      if (s.encryptionHeaderRemaining > 0) continue;
    }
    std::uint32_t produced = 0;
    bool streamEnd = false;
    const std::int32_t status = s.method == kMethodStored ? ReadStored(s, out + total, want, &produced)
                                                          : ReadDeflated(s, out + total, want, &produced, &streamEnd);
    if (status != ZipStatusOk) return status;
    total += produced;
    want -= produced;
    if (streamEnd && s.uncompressedRemaining > 0) return Z_DATA_ERROR;  // the data ends before the entry's size
    if (s.uncompressedRemaining == 0) {
      *endOfEntry = true;
      break;
    }
  }
  return static_cast<std::int32_t>(total);
}

std::int32_t ZipStreamClose(ZipDirectory* directory) {
  if (!directory || !directory->stream) return ZipStatusParam;
  const ZipEntryStream& s = *directory->stream;
  const std::int32_t verdict = s.uncompressedRemaining == 0 && s.crc != s.expectedCrc ? ZipStatusCrc : ZipStatusOk;
  ReleaseStream(directory);
  return verdict;
}
