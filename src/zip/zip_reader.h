#pragma once
// The zip container: finds the end record, walks the central directory one header at
// a time, checks each local header against its central header and streams one entry's
// data (stored or deflated, optionally with traditional PKWARE decryption). zlib only
// supplies raw inflate and CRC-32; all file access goes through the platform layer.
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "zip/piece.h"

// Status values (0 success, negative failure). A stream read also passes negative
// zlib error codes through unchanged.
inline constexpr std::int32_t ZipStatusOk = 0;
inline constexpr std::int32_t ZipStatusIo = -1;
inline constexpr std::int32_t ZipStatusParam = -102;
inline constexpr std::int32_t ZipStatusBadArchive = -103;
inline constexpr std::int32_t ZipStatusNoMemory = -104;
inline constexpr std::int32_t ZipStatusCrc = -105;
inline constexpr std::int32_t ZipStatusPassword = -106;

inline constexpr std::uint32_t kZipReadBufferSize = 16384;

inline constexpr std::uint32_t kZipWindowSize = 64 * 1024;

// A stretch of the archive file read ahead: the central directory and the entries'
// headers and data are read through two of them, so that walking the directory and
// unpacking small entries cost few system calls.
struct ZipWindow {
  std::unique_ptr<unsigned char[]> data;
  std::uint64_t start = 0;
  std::uint32_t size = 0;
  std::uint64_t lastUse = 0;
};

// The archive being read: one file, or the pieces of an archive of which only some
// byte ranges are at hand (reading a byte outside them is a read error).
struct ZipSource {
  platform::File file;
  bool canSeek = false;
  bool error = false;  // set when a read fails
  std::uint64_t initialOffset = 0;
  // File mode, when it can seek: `position` is where the next read starts; the file's
  // own offset (-1 when unknown) moves only when a read must go elsewhere.
  ZipWindow windows[2];
  std::uint64_t uses = 0;
  std::int64_t filePosition = -1;
  // Pieces mode: sorted by offset, not overlapping; `file` is the open piece's.
  std::vector<ZipPiece> pieces;
  std::uint64_t archiveSize = 0;
  std::uint64_t position = 0;
  std::size_t openPiece = 0;  // pieces.size() when no piece is open
};

// The fields of a central directory header, in the order they are stored.
struct ZipCentralHeader {
  std::uint16_t versionMadeBy = 0;
  std::uint16_t versionNeeded = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t dosDateTime = 0;  // time in the low 16 bits, date in the high 16 bits
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t nameLength = 0;
  std::uint16_t extraLength = 0;
  std::uint16_t commentLength = 0;
  std::uint16_t diskNumberStart = 0;
  std::uint16_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;
  std::uint32_t localHeaderOffset = 0;
};

// The data stream of one entry.
struct ZipEntryStream {
  ZipEntryStream() = default;
  ZipEntryStream(const ZipEntryStream&) = delete;
  ZipEntryStream& operator=(const ZipEntryStream&) = delete;
  ~ZipEntryStream();

  std::unique_ptr<unsigned char[]> readBuffer;
  std::uint32_t inputPosition = 0;
  std::uint32_t inputCount = 0;
  z_stream inflater{};
  bool inflaterInitialised = false;
  std::uint32_t crc = 0;
  std::uint32_t expectedCrc = 0;
  std::uint32_t compressedRemaining = 0;
  std::uint32_t uncompressedRemaining = 0;
  std::uint16_t method = 0;
  ZipSource* source = nullptr;
  std::uint32_t bytesBefore = 0;
  std::uint64_t nextPosition = 0;
  bool encrypted = false;
  std::uint32_t keys[3] = {};
  std::uint32_t encryptionHeaderRemaining = 0;
  std::uint8_t checkByte = 0;
};

// The reader's state for one open archive.
struct ZipDirectory {
  std::unique_ptr<ZipSource> source;
  std::uint32_t entryCount = 0;
  std::uint32_t commentLength = 0;
  std::uint32_t bytesBefore = 0;
  std::uint32_t currentNumber = 0;
  std::uint32_t currentPosition = 0;
  bool currentValid = false;
  std::uint32_t endRecordPosition = 0;
  std::uint32_t centralDirectorySize = 0;
  std::uint32_t centralDirectoryOffset = 0;
  ZipCentralHeader current;
  std::uint32_t currentLocalOffset = 0;
  std::unique_ptr<ZipEntryStream> stream;
};

// Opens the archive file for reading; null when it cannot be opened.
std::unique_ptr<ZipSource> ZipSourceOpen(const std::wstring& path);
// An archive of `archiveSize` bytes of which only `pieces` are at hand; null when a
// piece overlaps another or lies past the end.
std::unique_ptr<ZipSource> ZipSourceOpenPieces(std::vector<ZipPiece> pieces, std::uint64_t archiveSize);
// Positions the file `offset` bytes after the source's initial offset.
std::int32_t ZipSourceSeek(ZipSource* source, std::uint64_t offset);
// Reads up to `length` bytes; fewer only at the end of the file or on an error (which
// also sets the source's error flag).
std::uint32_t ZipSourceRead(ZipSource* source, void* buffer, std::uint32_t length);

// Reads the end record and positions on entry 0. Null when the source is not a usable
// zip archive; the source is closed then.
std::unique_ptr<ZipDirectory> ZipDirectoryOpen(std::unique_ptr<ZipSource> source);
// Where the central directory lies, from the end record alone: its offset from the
// archive's first byte (bytes before the archive included) and its size.
std::int32_t ZipFindCentralDirectory(std::unique_ptr<ZipSource> source, std::uint64_t* offset,
                                     std::uint32_t* size);
// Closes an open stream and the archive file, and releases everything.
void ZipDirectoryClose(std::unique_ptr<ZipDirectory> directory);

std::int32_t ZipDirectoryFirst(ZipDirectory* directory);
// Moves to the next entry when the current one is valid and is not the last; the
// current-valid flag then tells whether the new header could be read.
void ZipDirectoryNext(ZipDirectory* directory);
// Rereads the current central header. With a name buffer of `nameSize` bytes the name
// is copied into it, terminated only when it is shorter than the buffer.
std::int32_t ZipDirectoryHeader(ZipDirectory* directory, ZipCentralHeader* header, char* name,
                                std::uint32_t nameSize);
// Checks the current entry's local header against its central header. The local
// extra field's offset is not shifted by the bytes before.
std::int32_t ZipCheckLocalHeader(ZipDirectory* directory, std::uint32_t* variableSize, std::uint32_t* extraOffset,
                                 std::uint32_t* extraLength);

// Opens the current entry's data; `password` may be null.
std::int32_t ZipStreamOpen(ZipDirectory* directory, const char* password);
// Produces up to `length` bytes of entry data: their count, or a negative status.
std::int32_t ZipStreamRead(ZipDirectory* directory, void* buffer, std::uint32_t length, bool* endOfEntry);
// ZipStatusCrc when the whole entry was produced and its CRC-32 differs.
std::int32_t ZipStreamClose(ZipDirectory* directory);
