#pragma once
// Files and folders.
//
// One contract on every platform: every operation reports failure through its
// result, an I/O error is never confused with the end of a file, and paths that do
// not fit kMaxPath fail. Wide paths are used by the archive layer, narrow ones by the
// launcher's own helpers, native ones (NativePath) by folder listings.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/path.h"

namespace platform {

// Win32 attribute flags, also the portable description of a file's attributes.
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeHidden = 0x02;
inline constexpr std::uint32_t kAttributeSystem = 0x04;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeArchive = 0x20;
inline constexpr std::uint32_t kAttributeNormal = 0x80;

// 100-nanosecond intervals since 1601-01-01 UTC (the Windows FILETIME scale).
using FileTime = std::uint64_t;

enum class SeekOrigin { Begin, Current, End };

class File {
 public:
  File() noexcept = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens an existing file for reading; others may read it meanwhile.
  static File OpenRead(const std::wstring& path);
  // Creates the file, or truncates an existing one, for exclusive writing.
  // `attributes` are applied on Windows; `posixMode` gives the permission bits on
  // POSIX (0 means 0644, or 0444 when `attributes` has kAttributeReadOnly). A link at
  // `path` itself (IsLink) is never followed: the call fails and its target stays.
  static File Create(const std::wstring& path, std::uint32_t attributes, std::uint32_t posixMode);

  bool IsOpen() const noexcept { return handle_ != kInvalid; }
  // Reads up to `size` bytes. False on an I/O error; true with *bytesRead == 0 at the end.
  bool Read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead);
  // Writes all `size` bytes, or returns false.
  bool Write(const void* data, std::uint32_t size);
  // Moves the file position and stores the new one; false when the file cannot seek
  // or the position would be negative.
  bool Seek(std::int64_t offset, SeekOrigin origin, std::int64_t* position);
  // Sets the file's times; a null pointer leaves that time alone. POSIX keeps no
  // creation time, so `creation` is ignored there.
  bool SetTimes(const FileTime* creation, const FileTime* access, const FileTime* write);
  void Close() noexcept;

 private:
  static constexpr std::intptr_t kInvalid = -1;
  explicit File(std::intptr_t handle) noexcept : handle_(handle) {}
  std::intptr_t handle_ = kInvalid;
  bool failReads_ = false;
  bool failWrites_ = false;
};

// A path as the system itself spells it: UTF-16 on Windows, the raw bytes on POSIX
// (one byte per unit). Folder listings name their entries this way, so every name
// the system lists can be joined onto its folder and removed again, including names
// that the ANSI code page cannot spell.
class NativePath {
 public:
  NativePath() = default;
  // `units` already in the system's form; for the platform layer.
  explicit NativePath(std::wstring units) : units_(std::move(units)) {}
  // From a narrow path in the ANSI code page (UTF-8 on POSIX).
  static NativePath FromAnsi(const std::string& path);
  // From a wide path as File::Create takes it.
  static NativePath FromWide(const std::wstring& path);

  // This path, the separator, then `name`.
  NativePath Join(const NativePath& name) const;
  // "." or "..", which folder listings include.
  bool IsSelfOrParent() const { return units_ == L"." || units_ == L".."; }
  // Whether the path fits the fixed buffers (shorter than kMaxPath units).
  bool FitsMaxPath() const { return units_.size() < kMaxPath; }
  const std::wstring& units() const { return units_; }
  // The path in UTF-8 (on POSIX: its bytes as they are).
  std::string ToUtf8() const;
  bool operator==(const NativePath& other) const = default;

 private:
  std::wstring units_;
};

// Attributes of a path (kAttribute* flags); false when the path does not exist.
bool QueryAttributes(const std::wstring& path, std::uint32_t* attributes);
bool QueryAttributes(const std::string& path, std::uint32_t* attributes);
// Whether `path` itself is a link, not followed: a symbolic link on POSIX, any reparse
// point on Windows (a junction, say). False when nothing is there.
bool IsLink(const std::string& path);
// Creates one folder level; false when it fails or exists already.
bool MakeFolder(const std::wstring& path);
bool MakeFolder(const std::string& path);
// Deletes a file (not a folder); false on failure.
bool RemoveFile(const std::string& path);
bool RemoveFile(const NativePath& path);
// Removes an empty folder; false on failure.
bool RemoveFolder(const std::string& path);
bool RemoveFolder(const NativePath& path);
// Removes a link (FolderEntry::isLink) as the link itself; what it points to is left
// alone. False on failure.
bool RemoveLink(const NativePath& path);
// Makes a file writable again: clears the read-only attribute on Windows, adds the
// owner's write permission on POSIX. False on failure.
bool ClearReadOnly(const NativePath& path);
// The size of a file, read from its directory entry: this works also while another
// program holds the file open without sharing it. False when the file is missing.
bool QueryFileSize(const std::string& path, std::uint64_t* size);
// Whether the file can be replaced or deleted now: false on Windows while a program
// holds it open without sharing that (a running game's own files; while a HeldFileWait
// lives, once the hold has outlasted its limit); true when the file is missing, and
// always on POSIX.
bool CanReplaceFile(const std::string& path);
// Renames `from` to `to`, replacing `to` when it exists; false on failure.
bool RenameOver(const std::string& from, const std::string& to);

struct FolderEntry {
  NativePath name;
  // A folder of its own, to be entered.
  bool isFolder = false;
  // A symbolic link, or on Windows any reparse point (a junction, say), whatever it
  // points to: it is never entered, and isFolder is false.
  bool isLink = false;
};

// Enumerates a folder's entries, "." and ".." included where the system lists them.
class FolderSearch {
 public:
  FolderSearch() noexcept = default;
  FolderSearch(const FolderSearch&) = delete;
  FolderSearch& operator=(const FolderSearch&) = delete;
  ~FolderSearch();
  // Starts the search; false when the folder cannot be listed (e.g. it is missing).
  bool Open(const NativePath& folder);
  // Next entry; false when there is none.
  bool Next(FolderEntry* entry);

 private:
  void* state_ = nullptr;
};

// While one lives, the process's file operations on Windows wait out another program's
// brief hold on a file, as a virus scanner or an indexer holds one it reads: opening,
// creating, replacing, moving or deleting a file, or removing a folder, that fails with
// a sharing violation, a lock violation or access denied is tried again with a short
// back-off for up to kLimit, then fails as it would have at once. POSIX has no such
// holds, so nothing changes there.
class HeldFileWait {
 public:
  HeldFileWait();
  ~HeldFileWait();
  HeldFileWait(const HeldFileWait&) = delete;
  HeldFileWait& operator=(const HeldFileWait&) = delete;

  static bool IsActive();

  static constexpr std::chrono::milliseconds kLimit{5000};
};

}  // namespace platform
