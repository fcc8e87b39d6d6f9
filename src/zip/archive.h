#pragma once
// Entry unpacking: opens a zip archive, describes each entry (sanitised wide name,
// Win32 attributes, UTC file times) and unpacks one entry at a time below a base
// directory, creating missing folders and applying attributes and times.
//
// Calling order: ArchiveOpen, ArchiveSetBaseDir, ArchiveGetEntry(-1) for the count,
// then ArchiveGetEntry and ArchiveUnpackEntry (or ArchiveStartEntry, then
// ArchiveSettle) for each index, ArchiveClose.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "zip/piece.h"

inline constexpr std::int32_t ArchiveOk = 0;
inline constexpr std::int32_t ArchiveErrOpen = 0x00000200;      // the output file cannot be created
inline constexpr std::int32_t ArchiveErrWrite = 0x00000400;     // writing the output file failed
inline constexpr std::int32_t ArchiveErrCorrupt = 0x00000700;   // headers unreadable or disagreeing
inline constexpr std::int32_t ArchiveErrRead = 0x00000800;      // the local extra field cannot be read
inline constexpr std::int32_t ArchiveErrPassword = 0x00001000;  // encrypted with a password we do not have
// The name is too long, would place the entry outside the base directory or turn into
// a device or data stream on Windows, or the entry is a link leading outside.
inline constexpr std::int32_t ArchiveErrName = 0x00002000;
inline constexpr std::int32_t ArchiveErrArgs = 0x00010000;    // bad handle, index or base directory
inline constexpr std::int32_t ArchiveErrData = 0x05000000;    // data unreadable, damaged or cut short

// Names and paths hold this many wide characters including the terminator.
inline constexpr std::size_t kArchiveNameSize = 260;

// An entry whose DOS date and time is not a calendar time (all zeros, say) gets
// 1980-01-01 00:00:00 UTC, the earliest DOS time.
inline constexpr platform::FileTime kArchiveFallbackTime = 119600064000000000ULL;

struct ArchiveEntry {
  std::int32_t index = 0;  // for index -1: the number of entries
  wchar_t name[kArchiveNameSize] = {};
  std::uint32_t attributes = 0;  // platform::kAttribute* flags
  platform::FileTime accessTime = 0;
  platform::FileTime creationTime = 0;
  platform::FileTime writeTime = 0;
  std::int32_t compressedSize = 0;
  std::int32_t size = 0;
  // Permission bits for POSIX systems; 0 lets the platform choose from the attributes.
  std::uint32_t posixMode = 0;
  // A Unix symbolic link that this system recreates as a link (its data is the
  // target). Where links are not kept, such an entry is a regular file holding it.
  bool link = false;
};

struct Archive;

// Null when the file cannot be opened or is not a usable zip archive.
Archive* ArchiveOpen(const std::wstring& path);
// Entry names are placed below `directory` (a separator is appended when missing).
// ArchiveErrArgs, keeping the previous base, for an empty or overlong directory.
std::int32_t ArchiveSetBaseDir(Archive* archive, const std::wstring& directory);
std::int32_t ArchiveGetEntry(Archive* archive, std::int32_t index, ArchiveEntry* entry);
// Unpacks entry `index` to `targetName` below the base directory. Names that are
// absolute, drive-relative, climb out with "..", hold a ':' (a data stream on Windows)
// or have a component that Windows opens as a device ("con.txt", "LPT1") are refused
// on every system (ArchiveErrName): a package unpacks the same everywhere. A link
// entry is refused unless its target is relative and stays below the base; it is
// created only when nothing exists at its name yet (ArchiveErrOpen otherwise).
std::int32_t ArchiveUnpackEntry(Archive* archive, std::int32_t index, const std::wstring& targetName);
// ArchiveUnpackEntry for a job that unpacks every entry in index order, with up to a
// few small file entries in flight: creating, writing, stamping and closing their
// files may go on after the call returns, beside the following calls. The result is
// that of the first entry in index order found to have failed, its index in
// *failedIndex: this entry's own failure counts only once every entry before it has
// succeeded. Once an entry has failed, every later entry in flight is cancelled and the
// files and folders it made are removed before the call returns; nothing more may be
// started then. ArchiveSettle waits for the entries in flight and reports the same
// way; settle before the archive's other calls and before closing it.
std::int32_t ArchiveStartEntry(Archive* archive, std::int32_t index, const std::wstring& targetName,
                               std::int32_t* failedIndex);
std::int32_t ArchiveSettle(Archive* archive, std::int32_t* failedIndex);
void ArchiveClose(Archive* archive);

// Closes its archive when it goes.
struct ArchiveCloser {
  void operator()(Archive* archive) const { ArchiveClose(archive); }
};
using ArchiveHandle = std::unique_ptr<Archive, ArchiveCloser>;

// Whether ArchiveUnpackEntry places `name` (a sanitised name, either separator) below
// the base directory, as the same file on every system: the rules above.
bool ArchiveIsPlaceableName(std::wstring_view name);

// The constant's name for a result code ("ArchiveErrData"), "unknown" otherwise.
const char* ArchiveResultName(std::int32_t result);

// An archive of `archiveSize` bytes of which only `pieces` are at hand, for an update
// that fetched some byte ranges only. Reading outside them fails like a damaged archive.
// Null when the pieces do not hold a usable end record and central directory.
Archive* ArchiveOpenPieces(std::vector<ZipPiece> pieces, std::uint64_t archiveSize);
// From pieces holding at least the end record: where the central directory lies
// (offset from the archive's first byte, size). False when no end record is found.
bool ArchiveFindCentralDirectory(std::vector<ZipPiece> pieces, std::uint64_t archiveSize, std::uint64_t* offset,
                                 std::uint32_t* size);

// One entry as the central directory alone describes it: enough to tell whether an
// installed file is this entry, and which bytes of the archive hold it.
struct ArchiveListedEntry {
  std::int32_t index = 0;
  std::wstring name;  // sanitised, as it is unpacked
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t localHeaderOffset = 0;  // from the archive's first byte
  bool folder = false;
  bool link = false;
};

// Every entry, read from the central directory only (no local header is touched).
// ArchiveErrCorrupt for an unreadable header, ArchiveErrName for a name that
// ArchiveUnpackEntry would refuse.
std::int32_t ArchiveListEntries(Archive* archive, std::vector<ArchiveListedEntry>* entries);
