#include "zip/archive.h"

#include <algorithm>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "zip/little_endian.h"
#include "zip/symlink.h"
#include "zip/zip_reader.h"

namespace {

class EntryWriter;
class EntryFlight;

}  // namespace

struct Archive {
  std::unique_ptr<ZipDirectory> directory;
  ArchiveEntry cachedEntry;
  std::int32_t cachedIndex = -1;
  std::unique_ptr<EntryWriter> writer;  // made at the first file entry, kept until close
  std::unique_ptr<EntryFlight> flight;  // made at the first entry started in flight
  std::wstring baseDirectory;  // always ends in a separator
  // DOS times converted so far: a package's entries share few of them, and each
  // conversion asks the system for the local time zone.
  std::unordered_map<std::uint32_t, platform::FileTime> dosTimes;
};

namespace {

// Inflated data reaches the output file in chunks of this size, through a ring of
// this many buffers.
constexpr std::uint32_t kWriteChunkSize = 256 * 1024;
constexpr std::uint32_t kWriteSlots = 4;
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

// The conversions kept at most: beyond them the cache starts over.
constexpr std::size_t kDosTimesKept = 4096;

platform::FileTime CachedDosTime(Archive* archive, std::uint32_t dosDateTime) {
  const auto known = archive->dosTimes.find(dosDateTime);
  if (known != archive->dosTimes.end()) return known->second;
  if (archive->dosTimes.size() >= kDosTimesKept) archive->dosTimes.clear();
  const platform::FileTime time = DosTimeToFileTime(dosDateTime);
  archive->dosTimes.emplace(dosDateTime, time);
  return time;
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
  e.writeTime = e.accessTime = e.creationTime = CachedDosTime(archive, header.dosDateTime);
  ApplyExtendedTimestamp(extra, &e);
  e.compressedSize = static_cast<std::int32_t>(header.compressedSize);
  e.size = static_cast<std::int32_t>(header.uncompressedSize);
  archive->cachedEntry = e;
  archive->cachedIndex = index;
  *entry = e;
  return ArchiveOk;
}

void EnsureBase(const std::wstring& base) {
  std::uint32_t attributes = 0;
  if (!platform::QueryAttributes(base, &attributes)) platform::MakeFolder(base);
}

// Asks first for the folder itself, which a package's earlier entries have mostly made
// already; `made` (when given) collects the folders this call created, outermost first.
void EnsureLevels(const std::wstring& base, std::wstring_view path, std::vector<std::wstring>* made) {
  std::wstring full = base + std::wstring(path);
  std::uint32_t attributes = 0;
  if (platform::QueryAttributes(full, &attributes)) return;
  std::size_t last = path.size();
  while (last > 0 && !platform::IsPathSeparator(path[last - 1])) --last;
  if (last > 1) {
    EnsureLevels(base, path.substr(0, last - 1), made);
  } else {
    EnsureBase(base);
  }
  if (platform::MakeFolder(full) && made) made->push_back(std::move(full));
}

// Creates `path` below `base`, outermost folder first. Failures are left for the
// following file creation to report.
void EnsureFolder(const std::wstring& base, std::wstring_view path, std::vector<std::wstring>* made = nullptr) {
  if (path.empty()) {
    EnsureBase(base);
  } else {
    EnsureLevels(base, path, made);
  }
}

bool FitsPath(const std::wstring& path) { return path.size() < kArchiveNameSize; }

// Up to and including the last separator; empty when there is none.
std::wstring_view FolderPart(std::wstring_view name) {
  std::size_t split = name.size();
  while (split > 0 && !platform::IsPathSeparator(name[split - 1])) --split;
  return name.substr(0, split);
}

// Folders are probed only when the file cannot be created: nearly every entry lands in
// a folder that an earlier entry has made already.
platform::File CreateEntryFile(const std::wstring& base, const std::wstring& name, std::uint32_t attributes,
                               std::uint32_t posixMode, std::vector<std::wstring>* made) {
  const std::wstring path = base + name;
  platform::File file = platform::File::Create(path, attributes, posixMode);
  if (file.IsOpen()) return file;
  // A file that is there has its folders; trying again would only wait out a hold on
  // it a second time.
  std::uint32_t existing = 0;
  if (platform::QueryAttributes(path, &existing)) return file;
  EnsureFolder(base, FolderPart(name), made);
  return platform::File::Create(path, attributes, posixMode);
}

// Writes a large entry's file on a thread of its own while the unpacking thread
// inflates the following chunks: filling a file is mostly system time, which then runs
// beside the decompression instead of after it. Chunks pass through a fixed ring of
// buffers, so memory stays bounded whatever the entry's size. An entry of one chunk
// has nothing to overlap, and handing it over would cost more than it saves: the
// caller's thread does its steps, as it does every entry's when the writing thread
// could not be started or stopped on an exception. The steps of an entry are done
// strictly in order, and Finish returns only once the file is closed.
class EntryWriter {
 public:
  // Null when the buffers cannot be allocated.
  static std::unique_ptr<EntryWriter> Make();
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;
  ~EntryWriter();

  // Starts an entry of `size` bytes: its file `name` below `base` is created next.
  void Begin(const std::wstring& base, const std::wstring& name, std::uint32_t attributes, std::uint32_t posixMode,
             std::uint32_t size);
  // A buffer of kWriteChunkSize bytes to fill, once one is free; null after the
  // entry's output has failed (Finish then says how).
  unsigned char* Buffer();
  // Queues the first `size` bytes of the buffer that Buffer handed out.
  void Submit(std::uint32_t size);
  // Waits until every queued chunk is written, gives the file the times of `stamp`
  // (none when null or when the output failed) and closes it. ArchiveOk,
  // ArchiveErrOpen or ArchiveErrWrite.
  std::int32_t Finish(const ArchiveEntry* stamp);

 private:
  EntryWriter() = default;
  bool HasWork() const { return createPending_ || written_ != submitted_ || finishPending_; }
  void Run() noexcept;
  void HandOver() noexcept;
  void Step(std::unique_lock<std::mutex>& lock);
  void Queued(std::unique_lock<std::mutex>& lock);
  void DrainInline(std::unique_lock<std::mutex>& lock);
  bool CreateOutput();

  std::unique_ptr<unsigned char[]> slots_;
  std::uint32_t sizes_[kWriteSlots] = {};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable work_;  // the writing thread waits for steps
  std::condition_variable done_;  // the caller's thread waits for steps to be done
  // The entry, set by Begin and Finish under the lock, read by the writing side after it
  // has taken the step that needs them.
  std::wstring base_;
  std::wstring name_;
  std::uint32_t attributes_ = 0;
  std::uint32_t posixMode_ = 0;
  platform::FileTime times_[3] = {};  // creation, access, write
  bool stampPending_ = false;
  // Steps queued and done, under the lock.
  bool createPending_ = false;
  std::uint64_t submitted_ = 0;
  std::uint64_t written_ = 0;
  bool finishPending_ = false;
  bool finished_ = true;
  std::int32_t result_ = ArchiveOk;
  bool stop_ = false;
  bool threadRuns_ = false;  // the writing thread takes steps
  bool inline_ = true;       // the caller's thread takes the current entry's steps
  // Only the writing side touches the file between Begin and the end of Finish.
  platform::File file_;
};

std::unique_ptr<EntryWriter> EntryWriter::Make() {
  std::unique_ptr<EntryWriter> writer(new (std::nothrow) EntryWriter);
  if (!writer) return nullptr;
  writer->slots_.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(kWriteSlots) * kWriteChunkSize]);
  if (!writer->slots_) return nullptr;
  writer->threadRuns_ = true;
  try {
    writer->thread_ = std::thread(&EntryWriter::Run, writer.get());
  } catch (const std::system_error&) {
    writer->threadRuns_ = false;
  }
  return writer;
}

EntryWriter::~EntryWriter() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void EntryWriter::Begin(const std::wstring& base, const std::wstring& name, std::uint32_t attributes,
                        std::uint32_t posixMode, std::uint32_t size) {
  std::unique_lock lock(mutex_);
  inline_ = !threadRuns_ || size <= kWriteChunkSize;
  base_ = base;
  name_ = name;
  attributes_ = attributes;
  posixMode_ = posixMode;
  result_ = ArchiveOk;
  finished_ = false;
  createPending_ = true;
  Queued(lock);
}

unsigned char* EntryWriter::Buffer() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return inline_ || submitted_ - written_ < kWriteSlots || result_ != ArchiveOk; });
  DrainInline(lock);
  if (result_ != ArchiveOk) return nullptr;
  return slots_.get() + (submitted_ % kWriteSlots) * kWriteChunkSize;
}

void EntryWriter::Submit(std::uint32_t size) {
  std::unique_lock lock(mutex_);
  sizes_[submitted_ % kWriteSlots] = size;
  ++submitted_;
  Queued(lock);
}

std::int32_t EntryWriter::Finish(const ArchiveEntry* stamp) {
  std::unique_lock lock(mutex_);
  stampPending_ = stamp != nullptr;
  if (stamp) {
    times_[0] = stamp->creationTime;
    times_[1] = stamp->accessTime;
    times_[2] = stamp->writeTime;
  }
  finishPending_ = true;
  Queued(lock);
  done_.wait(lock, [this] { return inline_ || finished_; });
  DrainInline(lock);
  return result_;
}

// Wakes the writing thread only for the entries it takes: waking it for nothing would
// cost more than a small entry's steps.
void EntryWriter::Queued(std::unique_lock<std::mutex>& lock) {
  if (inline_) {
    DrainInline(lock);
  } else {
    work_.notify_one();
  }
}

void EntryWriter::DrainInline(std::unique_lock<std::mutex>& lock) {
  if (!inline_) return;
  while (HasWork()) Step(lock);
}

void EntryWriter::Run() noexcept {
  try {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return stop_ || (!inline_ && HasWork()); });
      if (stop_) return;
      Step(lock);
    }
  } catch (...) {
    HandOver();
  }
}

// The caller's thread takes over the steps still queued and every later one.
void EntryWriter::HandOver() noexcept {
  {
    const std::lock_guard lock(mutex_);
    threadRuns_ = false;
    inline_ = true;
  }
  done_.notify_one();
}

// Takes the oldest queued step and does it without the lock, so the unpacking thread
// can fill the next buffer meanwhile. Once the output has failed, the remaining chunks
// are dropped unwritten.
void EntryWriter::Step(std::unique_lock<std::mutex>& lock) {
  if (createPending_) {
    createPending_ = false;
    lock.unlock();
    const bool created = CreateOutput();
    lock.lock();
    if (!created) result_ = ArchiveErrOpen;
  } else if (written_ != submitted_) {
    const unsigned char* data = slots_.get() + (written_ % kWriteSlots) * kWriteChunkSize;
    const std::uint32_t size = sizes_[written_ % kWriteSlots];
    const bool skip = result_ != ArchiveOk;
    lock.unlock();
    const bool written = skip || file_.Write(data, size);
    lock.lock();
    ++written_;
    if (!written) result_ = ArchiveErrWrite;
  } else {
    finishPending_ = false;
    const bool stamp = stampPending_ && result_ == ArchiveOk;
    lock.unlock();
    if (stamp) file_.SetTimes(&times_[0], &times_[1], &times_[2]);
    file_.Close();
    lock.lock();
    finished_ = true;
  }
  done_.notify_one();
}

bool EntryWriter::CreateOutput() {
  try {
    file_ = CreateEntryFile(base_, name_, attributes_, posixMode_, nullptr);
    return file_.IsOpen();
  } catch (...) {
    return false;
  }
}

// Hands the open entry's data to `output` chunk by chunk. Stops early, with ArchiveOk,
// once the output takes no more: the output reports its own failure.
template <typename Output>
std::int32_t CopyEntryData(ZipDirectory* directory, Output& output) {
  for (;;) {
    unsigned char* buffer = output.Buffer();
    if (!buffer) return ArchiveOk;
    bool end = false;
    const std::int32_t n = ZipStreamRead(directory, buffer, output.Capacity(), &end);
    if (n == ZipStatusPassword) return ArchiveErrPassword;
    if (n < 0) return ArchiveErrData;
    if (n > 0) output.Submit(static_cast<std::uint32_t>(n));
    if (end) return ArchiveOk;
    if (n == 0) return ArchiveErrData;
  }
}

// Streams the current entry's data into `output`. A CRC-32 mismatch fails it: a damaged
// package must never pass as sound.
template <typename Output>
std::int32_t StreamEntry(Archive* archive, Output& output) {
  ZipDirectory* directory = archive->directory.get();
  ZipStreamOpen(directory, nullptr);  // no password is ever supplied
  std::int32_t result = CopyEntryData(directory, output);
  if (directory->stream && ZipStreamClose(directory) == ZipStatusCrc && result == ArchiveOk) result = ArchiveErrData;
  return result;
}

// The chunks of a file entry go to the archive's writer.
struct WriterOutput {
  unsigned char* Buffer() { return writer.Buffer(); }
  std::uint32_t Capacity() const { return kWriteChunkSize; }
  void Submit(std::uint32_t size) { writer.Submit(size); }
  EntryWriter& writer;
};

// A link entry's data, its target, is short: its size was checked before.
struct LinkTargetOutput {
  unsigned char* Buffer() { return chunk; }
  std::uint32_t Capacity() const { return sizeof chunk; }
  void Submit(std::uint32_t size) { text.append(reinterpret_cast<const char*>(chunk), size); }
  unsigned char chunk[kArchiveNameSize];
  std::string text;
};

EntryWriter* EnsureWriter(Archive* archive) {
  if (!archive->writer) archive->writer = EntryWriter::Make();
  return archive->writer.get();
}

// The file's output fails first when both sides fail: the chunks it could not take
// came before the point where reading stopped.
std::int32_t UnpackFile(Archive* archive, const ArchiveEntry& entry, const std::wstring& targetName) {
  if (!FitsPath(archive->baseDirectory + targetName)) return ArchiveErrName;
  EntryWriter* writer = EnsureWriter(archive);
  if (!writer) return ArchiveErrData;
  writer->Begin(archive->baseDirectory, targetName, entry.attributes, entry.posixMode,
                static_cast<std::uint32_t>(entry.size));
  WriterOutput output{*writer};
  const std::int32_t read = StreamEntry(archive, output);
  const std::int32_t written = writer->Finish(read == ArchiveOk ? &entry : nullptr);
  return written != ArchiveOk ? written : read;
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
  LinkTargetOutput raw;
  const std::int32_t result = StreamEntry(archive, raw);
  if (result != ArchiveOk) return result;
  if (raw.text.find('\0') != std::string::npos) return ArchiveErrName;
  const std::wstring target = platform::NarrowToWide(raw.text, platform::CodePage::Utf8);
  if (!LinkStaysInside(folder, target) || PassesThroughLink(links, archive->baseDirectory, folder)) {
    return ArchiveErrName;
  }
  EnsureFolder(archive->baseDirectory, folder);
  return links.create(path, target) ? ArchiveOk : ArchiveErrOpen;
}

bool IsValidIndex(const Archive* archive, std::int32_t index) {
  return index >= 0 && static_cast<std::uint32_t>(index) < archive->directory->entryCount;
}

// How many small file entries may be in flight at once, the bytes their data may take
// together, and how many threads make their files. Creating a file costs the system
// far more than its few bytes take to inflate, so several creations run beside the
// reading. A package's files come folder by folder, and creations in one folder wait
// for each other, so the flight spans several folders. A job keeps a buffer of up to
// kFlightKeptBuffer bytes for the next entry; a larger one goes when its entry is done.
constexpr std::uint32_t kFlightEntries = 32;
constexpr std::uint32_t kFlightBytes = 4 * 1024 * 1024;
constexpr std::uint32_t kFlightKeptBuffer = 64 * 1024;
constexpr std::uint32_t kFlightThreads = 4;

// A small file entry read whole into memory, whose file is made on a flight thread.
struct FlightJob {
  enum class State { Free, Queued, Running, Done };
  State state = State::Free;
  std::int32_t index = 0;
  std::wstring base;
  std::wstring name;
  std::uint32_t attributes = 0;
  std::uint32_t posixMode = 0;
  platform::FileTime times[3] = {};  // creation, access, write
  std::unique_ptr<unsigned char[]> data;
  std::uint32_t capacity = 0;
  std::uint32_t size = 0;
  // Set by the side that runs the job, read by the reading side once it is done.
  bool created = false;
  std::int32_t result = ArchiveOk;
};

// Creates, fills, stamps and closes a job's file; the folders it had to make go to `made`.
std::int32_t MakeJobFile(FlightJob& job, std::vector<std::wstring>* made) noexcept {
  try {
    platform::File file = CreateEntryFile(job.base, job.name, job.attributes, job.posixMode, made);
    if (!file.IsOpen()) return ArchiveErrOpen;
    job.created = true;
    if (job.size > 0 && !file.Write(job.data.get(), job.size)) return ArchiveErrWrite;
    // As for any entry, times that cannot be set leave the file whole and the entry sound.
    file.SetTimes(&job.times[0], &job.times[1], &job.times[2]);
    file.Close();
    return ArchiveOk;
  } catch (...) {
    return ArchiveErrOpen;
  }
}

// Removes a file that a cancelled entry made, read-only or not. Only the removal
// tells whether the file is gone, so clearing read-only may fail unheeded; a file that
// cannot be removed stays where the next install empties the folder anyway.
void RemoveEntryFile(const std::wstring& path) {
  const platform::NativePath native = platform::NativePath::FromWide(path);
  platform::ClearReadOnly(native);
  platform::RemoveFile(native);
}

// Several small file entries in creation at once, while the caller reads the
// following ones. The caller sees each entry's result in index order: an entry's
// failure is reported only once every entry before it has succeeded, and then every
// later entry is cancelled and the files and folders they made are removed, so that
// nothing after the failed entry stays visible. Threads that cannot be started, or
// that end on an exception, leave their work to the caller's thread.
class EntryFlight {
 public:
  // Null when it cannot be allocated.
  static std::unique_ptr<EntryFlight> Make();
  EntryFlight(const EntryFlight&) = delete;
  EntryFlight& operator=(const EntryFlight&) = delete;
  ~EntryFlight();

  // A free job for an entry of `bytes` bytes, waiting while the flight is full. Null
  // when an entry in flight failed meanwhile: its result in *result, its index in
  // *failedIndex.
  FlightJob* Acquire(std::uint32_t bytes, std::int32_t* result, std::int32_t* failedIndex);
  // Queues a job that Acquire handed out, once its entry is read.
  void Launch(FlightJob* job);
  // Folders that entry `index` made on the caller's thread; removed should an entry in
  // flight before it fail.
  void NoteFolders(std::int32_t index, std::vector<std::wstring> folders);
  // Settles the entries that are done, oldest first, without waiting: the first failure
  // with its index, ArchiveOk when none so far.
  std::int32_t Reap(std::int32_t* failedIndex);
  // Waits for every entry in flight, then as Reap.
  std::int32_t Settle(std::int32_t* failedIndex);

 private:
  EntryFlight() = default;
  void Run() noexcept;
  FlightJob* NextQueued();
  void RunJob(std::unique_lock<std::mutex>& lock, FlightJob* job);
  void RunOrphaned(std::unique_lock<std::mutex>& lock);
  std::int32_t ReapLocked(std::unique_lock<std::mutex>& lock, std::int32_t* failedIndex);
  void CancelAfter(std::unique_lock<std::mutex>& lock, std::int32_t failed);
  void Free(FlightJob* job);

  std::mutex mutex_;
  std::condition_variable work_;  // flight threads wait for queued jobs
  std::condition_variable done_;  // the caller waits for jobs to be done
  FlightJob jobs_[kFlightEntries];
  // Under the lock: the launched jobs in index order, and the folders made by entries
  // not yet settled with the entry that made them.
  std::deque<FlightJob*> order_;
  std::vector<std::pair<std::int32_t, std::wstring>> folders_;
  std::uint32_t bytesInFlight_ = 0;  // the launched jobs' buffers
  std::uint32_t live_ = 0;           // flight threads that take jobs
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

std::unique_ptr<EntryFlight> EntryFlight::Make() {
  std::unique_ptr<EntryFlight> flight(new (std::nothrow) EntryFlight);
  if (!flight) return nullptr;
  try {
    flight->threads_.reserve(kFlightThreads);
    for (std::uint32_t i = 0; i < kFlightThreads; ++i) {
      {
        const std::lock_guard lock(flight->mutex_);
        ++flight->live_;
      }
      try {
        flight->threads_.emplace_back(&EntryFlight::Run, flight.get());
      } catch (const std::system_error&) {
        const std::lock_guard lock(flight->mutex_);
        --flight->live_;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    // No room for the threads: the caller's thread makes every file.
  }
  return flight;
}

EntryFlight::~EntryFlight() {
  {
    std::unique_lock lock(mutex_);
    CancelAfter(lock, -1);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

FlightJob* EntryFlight::Acquire(std::uint32_t bytes, std::int32_t* result, std::int32_t* failedIndex) {
  std::unique_lock lock(mutex_);
  for (;;) {
    RunOrphaned(lock);
    *result = ReapLocked(lock, failedIndex);
    if (*result != ArchiveOk) return nullptr;
    if (order_.empty() || (order_.size() < kFlightEntries && bytesInFlight_ + bytes <= kFlightBytes)) {
      for (FlightJob& job : jobs_) {
        if (job.state == FlightJob::State::Free) return &job;
      }
    }
    done_.wait(lock, [this] { return live_ == 0 || order_.front()->state == FlightJob::State::Done; });
  }
}

void EntryFlight::Launch(FlightJob* job) {
  std::unique_lock lock(mutex_);
  job->state = FlightJob::State::Queued;
  job->created = false;
  job->result = ArchiveOk;
  bytesInFlight_ += job->capacity;
  order_.push_back(job);
  if (live_ == 0) {
    RunOrphaned(lock);
  } else {
    work_.notify_one();
  }
}

void EntryFlight::NoteFolders(std::int32_t index, std::vector<std::wstring> folders) {
  const std::lock_guard lock(mutex_);
  // With nothing in flight before the entry, nothing can take its folders back.
  if (order_.empty()) return;
  for (std::wstring& folder : folders) folders_.emplace_back(index, std::move(folder));
}

std::int32_t EntryFlight::Reap(std::int32_t* failedIndex) {
  std::unique_lock lock(mutex_);
  return ReapLocked(lock, failedIndex);
}

std::int32_t EntryFlight::Settle(std::int32_t* failedIndex) {
  std::unique_lock lock(mutex_);
  while (!order_.empty()) {
    RunOrphaned(lock);
    done_.wait(lock, [this] { return live_ == 0 || order_.front()->state == FlightJob::State::Done; });
    const std::int32_t result = ReapLocked(lock, failedIndex);
    if (result != ArchiveOk) return result;
  }
  folders_.clear();
  return ArchiveOk;
}

void EntryFlight::Run() noexcept {
  try {
    std::unique_lock lock(mutex_);
    for (;;) {
      FlightJob* job = nullptr;
      work_.wait(lock, [&] { return stop_ || (job = NextQueued()) != nullptr; });
      if (stop_) break;
      RunJob(lock, job);
    }
    --live_;
  } catch (...) {
    const std::lock_guard lock(mutex_);
    --live_;
  }
  done_.notify_all();
}

FlightJob* EntryFlight::NextQueued() {
  for (FlightJob* job : order_) {
    if (job->state == FlightJob::State::Queued) return job;
  }
  return nullptr;
}

// Makes the job's file without the lock; the job's fields are the running side's
// until it is marked done.
void EntryFlight::RunJob(std::unique_lock<std::mutex>& lock, FlightJob* job) {
  job->state = FlightJob::State::Running;
  lock.unlock();
  std::vector<std::wstring> made;
  const std::int32_t result = MakeJobFile(*job, &made);
  lock.lock();
  job->result = result;
  job->state = FlightJob::State::Done;
  for (std::wstring& folder : made) folders_.emplace_back(job->index, std::move(folder));
  done_.notify_all();
}

// The caller's thread takes the queued jobs when no flight thread is left.
void EntryFlight::RunOrphaned(std::unique_lock<std::mutex>& lock) {
  while (live_ == 0) {
    FlightJob* job = NextQueued();
    if (!job) return;
    RunJob(lock, job);
  }
}

std::int32_t EntryFlight::ReapLocked(std::unique_lock<std::mutex>& lock, std::int32_t* failedIndex) {
  while (!order_.empty() && order_.front()->state == FlightJob::State::Done) {
    FlightJob* job = order_.front();
    order_.pop_front();
    Free(job);
    const std::int32_t index = job->index;
    std::erase_if(folders_, [index](const auto& folder) { return folder.first <= index; });
    if (job->result != ArchiveOk) {
      *failedIndex = index;
      CancelAfter(lock, index);
      return job->result;
    }
  }
  return ArchiveOk;
}

// Cancels every entry in flight after `failed`: queued ones never start, running ones
// are waited for, then their files and the folders they made are removed, deepest first.
void EntryFlight::CancelAfter(std::unique_lock<std::mutex>& lock, std::int32_t failed) {
  for (FlightJob* job : order_) {
    if (job->state == FlightJob::State::Queued) job->state = FlightJob::State::Done;
  }
  done_.wait(lock, [this] {
    return std::none_of(order_.begin(), order_.end(),
                        [](const FlightJob* job) { return job->state == FlightJob::State::Running; });
  });
  for (FlightJob* job : order_) {
    if (job->index > failed && job->created) RemoveEntryFile(job->base + job->name);
    Free(job);
  }
  order_.clear();
  std::erase_if(folders_, [failed](const auto& folder) { return folder.first <= failed; });
  std::sort(folders_.begin(), folders_.end(),
            [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
  // A folder that holds an earlier entry's file stays: removing it fails.
  for (const auto& folder : folders_) platform::RemoveFolder(platform::NativePath::FromWide(folder.second));
  folders_.clear();
}

void EntryFlight::Free(FlightJob* job) {
  job->state = FlightJob::State::Free;
  bytesInFlight_ -= job->capacity;
  if (job->capacity > kFlightKeptBuffer) {
    job->data.reset();
    job->capacity = 0;
  }
}

EntryFlight* EnsureFlight(Archive* archive) {
  if (!archive->flight) archive->flight = EntryFlight::Make();
  return archive->flight.get();
}

// An entry's data read whole into memory; a byte beyond the room given is damage.
struct MemoryOutput {
  unsigned char* Buffer() {
    if (used == capacity) overflow = true;
    return overflow ? nullptr : data + used;
  }
  std::uint32_t Capacity() const { return capacity - used; }
  void Submit(std::uint32_t size) { used += size; }
  unsigned char* data;
  std::uint32_t capacity;
  std::uint32_t used = 0;
  bool overflow = false;
};

bool IsFolderEntry(const ArchiveEntry& entry, const std::wstring& targetName) {
  return (entry.attributes & platform::kAttributeDirectory) || platform::IsPathSeparator(targetName.back());
}

// A small file entry goes in flight. A link entry never does: where links are not
// kept, the file holding its target is still complete before the next entry starts,
// in directory order.
bool GoesInFlight(const Archive* archive, const ArchiveEntry& entry, const std::wstring& targetName) {
  return !entry.link && !IsUnixLink(archive->directory->current) && !IsFolderEntry(entry, targetName) &&
         static_cast<std::uint32_t>(entry.size) <= kWriteChunkSize;
}

// The earlier entries' failure first, then this entry's own.
std::int32_t SettleThenReport(EntryFlight& flight, std::int32_t index, std::int32_t result,
                              std::int32_t* failedIndex) {
  const std::int32_t earlier = flight.Settle(failedIndex);
  if (earlier != ArchiveOk) return earlier;
  *failedIndex = index;
  return result;
}

std::int32_t StartFileInFlight(Archive* archive, EntryFlight& flight, const ArchiveEntry& entry,
                               const std::wstring& targetName, std::int32_t* failedIndex) {
  if (!FitsPath(archive->baseDirectory + targetName)) {
    return SettleThenReport(flight, entry.index, ArchiveErrName, failedIndex);
  }
  // One byte more than the entry declares: data beyond its size is damage.
  const std::uint32_t room = static_cast<std::uint32_t>(entry.size) + 1;
  std::int32_t result = ArchiveOk;
  FlightJob* job = flight.Acquire(room, &result, failedIndex);
  if (!job) return result;
  if (job->capacity < room) {
    job->data.reset(new (std::nothrow) unsigned char[room]);
    job->capacity = job->data ? room : 0;
    if (!job->data) return SettleThenReport(flight, entry.index, ArchiveErrData, failedIndex);
  }
  MemoryOutput output{job->data.get(), room};
  result = StreamEntry(archive, output);
  if (result == ArchiveOk && output.overflow) result = ArchiveErrData;
  if (result != ArchiveOk) return SettleThenReport(flight, entry.index, result, failedIndex);
  job->index = entry.index;
  job->base = archive->baseDirectory;
  job->name = targetName;
  job->attributes = entry.attributes;
  job->posixMode = entry.posixMode;
  job->times[0] = entry.creationTime;
  job->times[1] = entry.accessTime;
  job->times[2] = entry.writeTime;
  job->size = output.used;
  flight.Launch(job);
  return flight.Reap(failedIndex);
}

// Checks an entry to be unpacked to `targetName` and describes it in *entry, with the
// directory positioned on it.
std::int32_t PlaceEntry(Archive* archive, std::int32_t index, const std::wstring& targetName, ArchiveEntry* entry) {
  if (!archive || !archive->directory) return ArchiveErrArgs;
  CloseEntryStream(archive);
  if (!IsValidIndex(archive, index)) return ArchiveErrArgs;
  std::int32_t result = PositionOn(archive, index);
  if (result == ArchiveOk) result = ArchiveGetEntry(archive, index, entry);
  if (result != ArchiveOk) return result;
  // Nothing is ever written outside the base directory.
  if (targetName.size() >= kArchiveNameSize || !IsPlaceable(targetName)) return ArchiveErrName;
  return ArchiveOk;
}

// Unpacks a checked entry; the folders a folder entry makes go to `made` when given.
std::int32_t UnpackPlaced(Archive* archive, const ArchiveEntry& entry, const std::wstring& targetName,
                          std::vector<std::wstring>* made) {
  if (entry.link) return UnpackLink(archive, entry, targetName);
  // A name ending in a separator has no file part: some tools mark folders only so.
  if (IsFolderEntry(entry, targetName)) {
    if (!FitsPath(archive->baseDirectory + targetName)) return ArchiveErrName;
    EnsureFolder(archive->baseDirectory, targetName, made);
    return ArchiveOk;
  }
  return UnpackFile(archive, entry, targetName);
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
  ArchiveEntry entry;
  const std::int32_t result = PlaceEntry(archive, index, targetName, &entry);
  return result == ArchiveOk ? UnpackPlaced(archive, entry, targetName, nullptr) : result;
}

std::int32_t ArchiveStartEntry(Archive* archive, std::int32_t index, const std::wstring& targetName,
                               std::int32_t* failedIndex) {
  if (!archive || !failedIndex) return ArchiveErrArgs;
  *failedIndex = index;
  EntryFlight* flight = EnsureFlight(archive);
  if (!flight) return ArchiveErrData;
  ArchiveEntry entry;
  std::int32_t result = PlaceEntry(archive, index, targetName, &entry);
  if (result != ArchiveOk) return SettleThenReport(*flight, index, result, failedIndex);
  if (GoesInFlight(archive, entry, targetName)) return StartFileInFlight(archive, *flight, entry, targetName, failedIndex);
  if (!entry.link && IsFolderEntry(entry, targetName)) {
    std::vector<std::wstring> made;
    result = UnpackPlaced(archive, entry, targetName, &made);
    flight->NoteFolders(index, std::move(made));
    return result == ArchiveOk ? flight->Reap(failedIndex) : SettleThenReport(*flight, index, result, failedIndex);
  }
  // A large file or a link: the entries before it settle first, so that it is written
  // as ArchiveUnpackEntry writes it.
  result = flight->Settle(failedIndex);
  if (result != ArchiveOk) return result;
  *failedIndex = index;
  return UnpackPlaced(archive, entry, targetName, nullptr);
}

std::int32_t ArchiveSettle(Archive* archive, std::int32_t* failedIndex) {
  if (!archive || !failedIndex) return ArchiveErrArgs;
  return archive->flight ? archive->flight->Settle(failedIndex) : ArchiveOk;
}

void ArchiveClose(Archive* archive) {
  if (!archive) return;
  if (archive->directory) CloseEntryStream(archive);
  ZipDirectoryClose(std::move(archive->directory));
  delete archive;
}

bool ArchiveIsPlaceableName(std::wstring_view name) { return IsPlaceable(name); }

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

Archive* ArchiveOpenPieces(std::vector<ZipPiece> pieces, std::uint64_t archiveSize) {
  std::unique_ptr<Archive> archive(new (std::nothrow) Archive);
  if (!archive) return nullptr;
  archive->baseDirectory = WithSeparator(platform::NarrowToWide(platform::GetCurrentDir(), platform::CodePage::Ansi));
  archive->directory = ZipDirectoryOpen(ZipSourceOpenPieces(std::move(pieces), archiveSize));
  return archive->directory ? archive.release() : nullptr;
}

bool ArchiveFindCentralDirectory(std::vector<ZipPiece> pieces, std::uint64_t archiveSize, std::uint64_t* offset,
                                 std::uint32_t* size) {
  return ZipFindCentralDirectory(ZipSourceOpenPieces(std::move(pieces), archiveSize), offset, size) == ZipStatusOk;
}

std::int32_t ArchiveListEntries(Archive* archive, std::vector<ArchiveListedEntry>* entries) {
  if (!archive || !archive->directory || !entries) return ArchiveErrArgs;
  CloseEntryStream(archive);
  entries->clear();
  ZipDirectory* directory = archive->directory.get();
  for (std::uint32_t i = 0; i < directory->entryCount; ++i) {
    if (PositionOn(archive, static_cast<std::int32_t>(i)) != ArchiveOk) return ArchiveErrCorrupt;
    ZipCentralHeader header;
    char rawName[kArchiveNameSize];
    if (ZipDirectoryHeader(directory, &header, rawName, sizeof rawName) != ZipStatusOk) return ArchiveErrCorrupt;
    if (header.nameLength >= sizeof rawName) return ArchiveErrName;
    ArchiveListedEntry e;
    e.index = static_cast<std::int32_t>(i);
    e.name = SanitizeName(platform::NarrowToWide(rawName, platform::CodePage::Utf8));
    if (e.name.empty() || e.name.size() >= kArchiveNameSize || !IsPlaceable(e.name)) return ArchiveErrName;
    e.crc = header.crc;
    e.size = header.uncompressedSize;
    e.compressedSize = header.compressedSize;
    e.localHeaderOffset = static_cast<std::uint64_t>(header.localHeaderOffset) + directory->bytesBefore;
    e.link = IsUnixLink(header) && ArchiveLinks() != nullptr;
    e.folder = (AttributesOf(header) & platform::kAttributeDirectory) || platform::IsPathSeparator(e.name.back());
    entries->push_back(std::move(e));
  }
  return ArchiveOk;
}
