#include "zip/archive.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "zip/little_endian.h"
#include "zip/symlink.h"
#include "zip/zip_reader.h"

struct Archive {
  std::unique_ptr<ZipDirectory> directory;
  ArchiveEntry cachedEntry;
  std::int32_t cachedIndex = -1;
  std::unique_ptr<unsigned char[]> unpackBuffer;
  std::wstring baseDirectory;  // always ends in a separator
};

namespace {

constexpr std::uint32_t kUnpackBufferSize = 16384;
constexpr std::uint16_t kExtendedTimestampId = 0x5455;  // "UT"
constexpr std::int64_t kEpochDifference = 11644473600LL;  // seconds from 1601 to 1970
constexpr std::uint32_t kUnixHost = 3;
constexpr std::uint32_t kUnixFileType = 0170000;
constexpr std::uint32_t kUnixSymbolicLink = 0120000;

bool IsSlash(wchar_t c) { return c == L'/' || c == L'\\'; }

// Absolute, rooted or drive-relative: "/x", "\\x", "\\\\server\\x", "C:x".
bool IsAbsolute(std::wstring_view path) {
  return (!path.empty() && IsSlash(path[0])) || (path.size() > 1 && path[1] == L':');
}

std::wstring WithSeparator(std::wstring directory) {
  if (directory.empty() || !platform::IsPathSeparator(directory.back())) {
    directory += static_cast<wchar_t>(platform::PathSeparator()[0]);
  }
  return directory;
}

// Drops drive prefixes, leading separators and everything up to a parent step that
// follows a separator, in that order of preference, until none applies.
std::wstring SanitizeName(const std::wstring& name) {
  static constexpr std::wstring_view kParentSteps[] = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
  std::wstring_view rest(name);
  for (;;) {
    if (rest.size() > 1 && rest[1] == L':') {
      rest.remove_prefix(2);
      continue;
    }
    if (!rest.empty() && IsSlash(rest[0])) {
      rest.remove_prefix(1);
      continue;
    }
    bool dropped = false;
    for (const std::wstring_view step : kParentSteps) {
      const std::size_t at = rest.find(step);
      if (at != std::wstring_view::npos) {
        rest.remove_prefix(at + step.size());
        dropped = true;
        break;
      }
    }
    if (!dropped) return std::wstring(rest);
  }
}

// "..", and names Windows trims to "..", such as ".. " or "...".
bool IsParentStep(std::wstring_view component) {
  return std::count(component.begin(), component.end(), L'.') >= 2 &&
         component.find_first_not_of(L". ") == std::wstring_view::npos;
}

// The parts of `path` between separators, empty ones included.
std::vector<std::wstring_view> Components(std::wstring_view path, bool (*isSeparator)(wchar_t)) {
  std::vector<std::wstring_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    parts.push_back(path.substr(start, end - start));
    if (end == path.size()) return parts;
    start = end + 1;
  }
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// A name Windows opens as a device: it ignores everything from the first dot and
// trailing spaces, in any letter case ("Con.txt", "aux  ", "LPT1.tar.gz"); COM and LPT
// take the superscript digits one to three as well.
bool IsDeviceName(std::wstring_view component) {
  static constexpr std::wstring_view kDevices[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
  std::wstring_view stem = component.substr(0, component.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  std::wstring lower(stem.size(), L'\0');
  std::transform(stem.begin(), stem.end(), lower.begin(), AsciiLower);
  if (std::find(std::begin(kDevices), std::end(kDevices), lower) != std::end(kDevices)) return true;
  if (lower.size() != 4 || (lower.compare(0, 3, L"com") != 0 && lower.compare(0, 3, L"lpt") != 0)) return false;
  const wchar_t number = lower[3];
  return (number >= L'0' && number <= L'9') || number == L'\u00b9' || number == L'\u00b2' || number == L'\u00b3';
}

// Whether `name` is placed below the folder it is put under, and as the same file on
// every system: relative, without parent steps, and with nothing Windows turns into
// a device or an alternate data stream ("file.txt:stream").
bool IsPlaceable(std::wstring_view name) {
  if (name.empty() || IsAbsolute(name) || name.find(L':') != std::wstring_view::npos) return false;
  const std::vector<std::wstring_view> parts = Components(name, IsSlash);
  return std::none_of(parts.begin(), parts.end(),
                      [](std::wstring_view part) { return IsParentStep(part) || IsDeviceName(part); });
}

// Whether the link target `target`, followed from the folder `folder` (a placeable
// name's folder part), stays below the base. Parent steps count only in front: the
// system takes a later one after following the links before it, which may lead
// anywhere, so lexical resolution would not tell. The folder's depth counts the
// system's own separators; the target's steps count either kind, to err on the safe side.
bool LinkStaysInside(std::wstring_view folder, std::wstring_view target) {
  if (target.empty() || IsAbsolute(target)) return false;
  std::size_t depth = 0;
  for (const std::wstring_view part : Components(folder, platform::IsPathSeparator)) {
    if (!part.empty() && part != L".") ++depth;
  }
  bool descending = false;
  for (const std::wstring_view part : Components(target, IsSlash)) {
    if (part.empty() || part == L".") continue;
    if (!IsParentStep(part)) {
      descending = true;
    } else if (descending || depth-- == 0) {
      return false;
    }
  }
  return true;
}

std::uint32_t AttributesOf(const ZipCentralHeader& header) {
  const std::uint32_t host = header.versionMadeBy >> 8;
  const std::uint32_t external = header.externalAttributes;
  bool readOnly, hidden, system, directory, archive;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    readOnly = external & 0x01;
    hidden = external & 0x02;
    system = external & 0x04;
    directory = external & 0x10;
    archive = external & 0x20;
  } else {
    directory = external & 0x40000000;
    readOnly = !(external & 0x00800000);
    hidden = system = false;
    archive = true;
  }
  return (directory ? platform::kAttributeDirectory : 0) | (archive ? platform::kAttributeArchive : 0) |
         (hidden ? platform::kAttributeHidden : 0) | (readOnly ? platform::kAttributeReadOnly : 0) |
         (system ? platform::kAttributeSystem : 0);
}

bool IsUnixLink(const ZipCentralHeader& header) {
  return (header.versionMadeBy >> 8) == kUnixHost &&
         ((header.externalAttributes >> 16) & kUnixFileType) == kUnixSymbolicLink;
}

// Read, write and execute bits of a Unix-made entry; never setuid, setgid or sticky.
std::uint32_t PosixModeOf(const ZipCentralHeader& header) {
  if ((header.versionMadeBy >> 8) != kUnixHost) return 0;
  return (header.externalAttributes >> 16) & 0777;
}

platform::FileTime DosTimeToFileTime(std::uint32_t dosDateTime) {
  const std::uint32_t date = dosDateTime >> 16;
  const std::uint32_t time = dosDateTime & 0xFFFF;
  platform::CalendarTime local;
  local.year = static_cast<int>(date >> 9) + 1980;
  local.month = static_cast<int>((date >> 5) & 15);
  local.day = static_cast<int>(date & 31);
  local.hour = static_cast<int>((time >> 11) & 31);
  local.minute = static_cast<int>((time >> 5) & 63);
  local.second = static_cast<int>(time & 31) * 2;
  platform::FileTime utc = kArchiveFallbackTime;
  return platform::LocalTimeToFileTime(local, &utc) ? utc : kArchiveFallbackTime;
}

platform::FileTime UnixTimeToFileTime(std::int32_t seconds) {
  return static_cast<platform::FileTime>(static_cast<std::int64_t>(seconds) + kEpochDifference) * 10000000ULL;
}

// The "UT" block replaces the write, access and creation times it carries (flag bits
// 0, 1, 2). Times beyond the block or the field are not read.
void ApplyExtendedTimestamp(const std::vector<unsigned char>& extra, ArchiveEntry* entry) {
  if (extra.size() < 5) return;
  std::size_t offset = 0;
  while (offset + 4 < extra.size()) {
    const std::size_t dataSize = Get16(&extra[offset + 2]);
    if (Get16(&extra[offset]) == kExtendedTimestampId) {
      const std::size_t end = std::min(extra.size(), offset + 4 + dataSize);
      const unsigned flags = extra[offset + 4];
      platform::FileTime* targets[3] = {&entry->writeTime, &entry->accessTime, &entry->creationTime};
      std::size_t at = offset + 5;
      for (int bit = 0; bit < 3; ++bit) {
        if (!(flags & (1u << bit))) continue;
        if (at + 4 > end) return;
        *targets[bit] = UnixTimeToFileTime(static_cast<std::int32_t>(Get32(&extra[at])));
        at += 4;
      }
      return;
    }
    offset += 4 + dataSize;
  }
}

void CloseEntryStream(Archive* archive) {
  if (archive->directory->stream) ZipStreamClose(archive->directory.get());
}

// Moves the directory to entry `index`, restarting from entry 0 for a lower index.
// Stops with ArchiveErrCorrupt at a central header that cannot be read.
std::int32_t PositionOn(Archive* archive, std::int32_t index) {
  ZipDirectory* directory = archive->directory.get();
  const auto target = static_cast<std::uint32_t>(index);
  if (target < directory->currentNumber || !directory->currentValid) ZipDirectoryFirst(directory);
  while (directory->currentValid && directory->currentNumber < target) ZipDirectoryNext(directory);
  return directory->currentValid && directory->currentNumber == target ? ArchiveOk : ArchiveErrCorrupt;
}

std::int32_t ReadLocalExtra(Archive* archive, std::vector<unsigned char>* extra) {
  ZipDirectory* directory = archive->directory.get();
  std::uint32_t extraOffset = 0;
  std::uint32_t extraLength = 0;
  if (ZipCheckLocalHeader(directory, nullptr, &extraOffset, &extraLength) != ZipStatusOk) return ArchiveErrCorrupt;
  extra->resize(extraLength);
  if (extraLength == 0) return ArchiveOk;
  if (ZipSourceSeek(directory->source.get(), static_cast<std::uint64_t>(extraOffset) + directory->bytesBefore) !=
          ZipStatusOk ||
      ZipSourceRead(directory->source.get(), extra->data(), extraLength) != extraLength) {
    return ArchiveErrRead;
  }
  return ArchiveOk;
}

std::int32_t ReadEntry(Archive* archive, std::int32_t index, ArchiveEntry* entry) {
  std::int32_t result = PositionOn(archive, index);
  if (result != ArchiveOk) return result;
  ZipDirectory* directory = archive->directory.get();
  ZipCentralHeader header;
  char rawName[kArchiveNameSize];
  if (ZipDirectoryHeader(directory, &header, rawName, sizeof rawName) != ZipStatusOk) return ArchiveErrCorrupt;
  // A name that fills the buffer has no terminator: it is too long to be placed.
  if (header.nameLength >= sizeof rawName) return ArchiveErrName;
  std::vector<unsigned char> extra;
  result = ReadLocalExtra(archive, &extra);
  if (result != ArchiveOk) return result;

  ArchiveEntry e;
  e.index = static_cast<std::int32_t>(directory->currentNumber);
  const std::wstring name = SanitizeName(platform::NarrowToWide(rawName, platform::CodePage::Utf8));
  if (name.size() >= kArchiveNameSize) return ArchiveErrName;
  std::copy(name.begin(), name.end(), e.name);
  e.attributes = AttributesOf(header);
  e.posixMode = PosixModeOf(header);
  e.link = IsUnixLink(header) && ArchiveLinks() != nullptr;
  e.writeTime = e.accessTime = e.creationTime = DosTimeToFileTime(header.dosDateTime);
  ApplyExtendedTimestamp(extra, &e);
  e.compressedSize = static_cast<std::int32_t>(header.compressedSize);
  e.size = static_cast<std::int32_t>(header.uncompressedSize);
  archive->cachedEntry = e;
  archive->cachedIndex = index;
  *entry = e;
  return ArchiveOk;
}

void EnsureLevels(const std::wstring& base, std::wstring_view path) {
  std::size_t last = path.size();
  while (last > 0 && !platform::IsPathSeparator(path[last - 1])) --last;
  if (last > 1) EnsureLevels(base, path.substr(0, last - 1));
  const std::wstring full = base + std::wstring(path);
  std::uint32_t attributes = 0;
  if (!platform::QueryAttributes(full, &attributes)) platform::MakeFolder(full);
}

// Creates `path` below `base`, outermost folder first. Failures are left for the
// following file creation to report.
void EnsureFolder(const std::wstring& base, std::wstring_view path) {
  std::uint32_t attributes = 0;
  if (!platform::QueryAttributes(base, &attributes)) platform::MakeFolder(base);
  if (!path.empty()) EnsureLevels(base, path);
}

bool FitsPath(const std::wstring& path) { return path.size() < kArchiveNameSize; }

// Up to and including the last separator; empty when there is none.
std::wstring_view FolderPart(std::wstring_view name) {
  std::size_t split = name.size();
  while (split > 0 && !platform::IsPathSeparator(name[split - 1])) --split;
  return name.substr(0, split);
}

bool EnsureUnpackBuffer(Archive* archive) {
  if (!archive->unpackBuffer) archive->unpackBuffer.reset(new (std::nothrow) unsigned char[kUnpackBufferSize]);
  return archive->unpackBuffer != nullptr;
}

// Hands the open entry's data to `sink`, which returns false when it cannot take it.
template <typename Sink>
std::int32_t CopyEntryData(Archive* archive, Sink& sink) {
  ZipDirectory* directory = archive->directory.get();
  for (;;) {
    bool end = false;
    const std::int32_t n = ZipStreamRead(directory, archive->unpackBuffer.get(), kUnpackBufferSize, &end);
    if (n == ZipStatusPassword) return ArchiveErrPassword;
    if (n < 0) return ArchiveErrData;
    if (n > 0 && !sink(archive->unpackBuffer.get(), static_cast<std::uint32_t>(n))) return ArchiveErrWrite;
    if (end) return ArchiveOk;
    if (n == 0) return ArchiveErrData;
  }
}

// Streams the current entry's data into `sink`. A CRC-32 mismatch fails it: a damaged
// package must never pass as sound.
template <typename Sink>
std::int32_t StreamEntry(Archive* archive, Sink sink) {
  ZipDirectory* directory = archive->directory.get();
  ZipStreamOpen(directory, nullptr);  // no password is ever supplied
  std::int32_t result = CopyEntryData(archive, sink);
  if (directory->stream && ZipStreamClose(directory) == ZipStatusCrc && result == ArchiveOk) result = ArchiveErrData;
  return result;
}

std::int32_t UnpackFile(Archive* archive, const ArchiveEntry& entry, const std::wstring& targetName) {
  const std::wstring path = archive->baseDirectory + targetName;
  if (!FitsPath(path)) return ArchiveErrName;
  if (!EnsureUnpackBuffer(archive)) return ArchiveErrData;
  EnsureFolder(archive->baseDirectory, FolderPart(targetName));
  platform::File file = platform::File::Create(path, entry.attributes, entry.posixMode);
  if (!file.IsOpen()) return ArchiveErrOpen;
  const std::int32_t result =
      StreamEntry(archive, [&file](const unsigned char* data, std::uint32_t size) { return file.Write(data, size); });
  if (result == ArchiveOk) file.SetTimes(&entry.creationTime, &entry.accessTime, &entry.writeTime);
  return result;
}

// Whether a folder of `folder` below `base` is a symbolic link: a link placed through
// one may end up elsewhere than its name says.
bool PassesThroughLink(const ArchiveLinkOps& links, const std::wstring& base, std::wstring_view folder) {
  for (std::size_t i = 1; i < folder.size(); ++i) {
    if (platform::IsPathSeparator(folder[i]) && links.isLink(base + std::wstring(folder.substr(0, i)))) return true;
  }
  return false;
}

// A link entry's data is its target. The link is refused, with nothing written, unless
// that target stays below the base.
std::int32_t UnpackLink(Archive* archive, const ArchiveEntry& entry, const std::wstring& targetName) {
  const ArchiveLinkOps& links = *ArchiveLinks();
  const std::wstring_view folder = FolderPart(targetName);
  const std::wstring path = archive->baseDirectory + targetName;
  if (folder.size() == targetName.size() || !FitsPath(path) ||
      static_cast<std::uint32_t>(entry.size) >= kArchiveNameSize) {
    return ArchiveErrName;
  }
  if (!EnsureUnpackBuffer(archive)) return ArchiveErrData;
  std::string raw;
  const std::int32_t result = StreamEntry(archive, [&raw](const unsigned char* data, std::uint32_t size) {
    raw.append(reinterpret_cast<const char*>(data), size);
    return true;
  });
  if (result != ArchiveOk) return result;
  if (raw.find('\0') != std::string::npos) return ArchiveErrName;
  const std::wstring target = platform::NarrowToWide(raw, platform::CodePage::Utf8);
  if (!LinkStaysInside(folder, target) || PassesThroughLink(links, archive->baseDirectory, folder)) {
    return ArchiveErrName;
  }
  EnsureFolder(archive->baseDirectory, folder);
  return links.create(path, target) ? ArchiveOk : ArchiveErrOpen;
}

bool IsValidIndex(const Archive* archive, std::int32_t index) {
  return index >= 0 && static_cast<std::uint32_t>(index) < archive->directory->entryCount;
}

}  // namespace

Archive* ArchiveOpen(const std::wstring& path) {
  std::unique_ptr<Archive> archive(new (std::nothrow) Archive);
  if (!archive) return nullptr;
  archive->baseDirectory = WithSeparator(platform::NarrowToWide(platform::GetCurrentDir(), platform::CodePage::Ansi));
  archive->directory = ZipDirectoryOpen(ZipSourceOpen(path));
  return archive->directory ? archive.release() : nullptr;
}

std::int32_t ArchiveSetBaseDir(Archive* archive, const std::wstring& directory) {
  if (!archive || directory.empty()) return ArchiveErrArgs;
  std::wstring base = WithSeparator(directory);
  if (!FitsPath(base)) return ArchiveErrArgs;
  archive->baseDirectory = std::move(base);
  return ArchiveOk;
}

std::int32_t ArchiveGetEntry(Archive* archive, std::int32_t index, ArchiveEntry* entry) {
  if (!archive || !archive->directory || !entry) return ArchiveErrArgs;
  if (index != -1 && !IsValidIndex(archive, index)) return ArchiveErrArgs;
  CloseEntryStream(archive);
  if (index != -1 && index == archive->cachedIndex) {
    *entry = archive->cachedEntry;
    return ArchiveOk;
  }
  if (index == -1) {
    *entry = ArchiveEntry();
    entry->index = static_cast<std::int32_t>(archive->directory->entryCount);
    return ArchiveOk;
  }
  return ReadEntry(archive, index, entry);
}

std::int32_t ArchiveUnpackEntry(Archive* archive, std::int32_t index, const std::wstring& targetName) {
  if (!archive || !archive->directory) return ArchiveErrArgs;
  CloseEntryStream(archive);
  if (!IsValidIndex(archive, index)) return ArchiveErrArgs;
  std::int32_t result = PositionOn(archive, index);
  ArchiveEntry entry;
  if (result == ArchiveOk) result = ArchiveGetEntry(archive, index, &entry);
  if (result != ArchiveOk) return result;
  // Nothing is ever written outside the base directory.
  if (targetName.size() >= kArchiveNameSize || !IsPlaceable(targetName)) return ArchiveErrName;
  if (entry.link) return UnpackLink(archive, entry, targetName);
  // A name ending in a separator has no file part: some tools mark folders only so.
  if ((entry.attributes & platform::kAttributeDirectory) || platform::IsPathSeparator(targetName.back())) {
    if (!FitsPath(archive->baseDirectory + targetName)) return ArchiveErrName;
    EnsureFolder(archive->baseDirectory, targetName);
    return ArchiveOk;
  }
  return UnpackFile(archive, entry, targetName);
}

void ArchiveClose(Archive* archive) {
  if (!archive) return;
  if (archive->directory) CloseEntryStream(archive);
  ZipDirectoryClose(std::move(archive->directory));
  delete archive;
}

const char* ArchiveResultName(std::int32_t result) {
  switch (result) {
    case ArchiveOk: return "ArchiveOk";
    case ArchiveErrOpen: return "ArchiveErrOpen";
    case ArchiveErrWrite: return "ArchiveErrWrite";
    case ArchiveErrCorrupt: return "ArchiveErrCorrupt";
    case ArchiveErrRead: return "ArchiveErrRead";
    case ArchiveErrPassword: return "ArchiveErrPassword";
    case ArchiveErrName: return "ArchiveErrName";
    case ArchiveErrArgs: return "ArchiveErrArgs";
    case ArchiveErrData: return "ArchiveErrData";
    default: return "unknown";
  }
}
