#include "net/part_file.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "log/log.h"
#include "net/response_headers.h"
#include "platform/codepage.h"

namespace net {
namespace {

// Collecting what libcurl hands over before each write to the file saves system calls,
// and gives the hash blocks worth a thread's while.
constexpr std::size_t kBufferSize = 256 * 1024;
constexpr char kPartSuffix[] = ".part";
constexpr char kRecordSuffix[] = ".part.json";
// How many bytes a segmented part takes between records: a killed run loses at most
// about this much per segment, and the record is not rewritten for every block.
constexpr std::int64_t kRecordEvery = 1024 * 1024;

}  // namespace

PartFile::PartFile(std::string target, std::string url, std::int64_t expectedSize, std::string expectedHash)
    : target_(std::move(target)),
      path_(PartPath(target_)),
      recordPath_(RecordPath(target_)),
      url_(std::move(url)),
      expectedSize_(expectedSize),
      expectedHash_(std::move(expectedHash)),
      hash_(expectedHash_.empty() ? nullptr : std::make_unique<BackgroundSha256>()) {}

std::string PartFile::PartPath(const std::string& target) { return target + kPartSuffix; }

std::string PartFile::RecordPath(const std::string& target) { return target + kRecordSuffix; }

bool PartFile::IsPartName(const std::wstring& name) {
  return name.ends_with(platform::AnsiToWide(kPartSuffix)) ||
         name.ends_with(platform::AnsiToWide(kRecordSuffix));
}

void PartFile::RemoveUnresumable(const std::string& target) {
  std::uint32_t attributes = 0;
  if (!platform::QueryAttributes(RecordPath(target), &attributes)) platform::RemoveFile(PartPath(target));
}

// Results of removals are not looked at: what cannot go is harmless here (an old target
// is replaced when the download completes; a stale helper file is never read as a
// part).
void PartFile::Prepare() {
  // Under the target's name there is only ever a complete download of this run.
  platform::RemoveFile(target_);
  platform::RemoveFile(path_ + ".old");
  platform::RemoveFile(recordPath_ + ".tmp");
  ResumeRecord record;
  validator_ = ReadRecord(&record) ? record.validator : std::string();
  const bool adopted =
      !validator_.empty() && (record.spans ? AdoptSegments(record.size, *record.spans) : Adopt());
  if (!adopted) Discard();
}

std::int64_t PartFile::Resumable() const {
  return validator_.empty() || broken_ || !file_.IsOpen() || segmented() ? 0 : size_;
}

bool PartFile::StartOver(const std::string& validator) {
  // The record describes what was there before.
  platform::RemoveFile(recordPath_);
  validator_.clear();
  if (!Create()) return false;
  // One with control characters could not go into If-Range: the body is nothing to resume.
  if (!HasControlCharacter(validator)) validator_ = validator;
  // One the record cannot hold as it is (not UTF-8) resumes within this run only. Without
  // a record written this run still resumes; only a later run starts over.
  if (IsRecordableValidator(validator_)) WriteResumeRecord(recordPath_, {url_, validator_});
  return true;
}

bool PartFile::Append(const char* data, std::size_t size) {
  if (broken_ || !file_.IsOpen() || segmented()) return false;
  if (expectedSize_ >= 0 && size > static_cast<std::uint64_t>(expectedSize_ - size_)) {
    broken_ = true;
    return false;
  }
  buffer_.append(data, size);
  size_ += static_cast<std::int64_t>(size);
  if (buffer_.size() >= kBufferSize && !Flush()) broken_ = true;
  return !broken_;
}

bool PartFile::EndAttempt() {
  if (!broken_ && !Flush()) broken_ = true;
  if (!broken_) return true;
  Discard();
  return false;
}

bool PartFile::Commit(std::int64_t announcedSize) {
  bool complete = file_.IsOpen() && !broken_ && Flush();
  if (segmented()) {
    complete = complete && Missing().empty();
    size_ = segmentSize_;
  }
  complete = complete && (announcedSize < 0 || size_ == announcedSize);
  if (complete && expectedSize_ >= 0 && size_ != expectedSize_) {
    applog::Log("download " + target_ + " refused: " + std::to_string(size_) + " bytes, not the expected " +
                std::to_string(expectedSize_));
    complete = false;
  }
  file_.Close();
  if (complete && hash_ && segmented()) complete = HashPart();
  if (complete && hash_ && hash_->FinishHex() != expectedHash_) {
    applog::Log("download " + target_ + " refused: its SHA-256 does not match the expected hash");
    complete = false;
  }
  complete = complete && platform::RenameOver(path_, target_);
  if (!complete) {
    Discard();
    return false;
  }
  // A record left without its part is dropped at the next start.
  platform::RemoveFile(recordPath_);
  validator_.clear();
  size_ = 0;
  return true;
}

void PartFile::Discard() {
  file_.Close();
  buffer_.clear();
  size_ = 0;
  broken_ = false;
  validator_.clear();
  segmentSize_ = -1;
  held_.clear();
  // Removed or not, neither is used again: the next body starts the part over.
  platform::RemoveFile(path_);
  platform::RemoveFile(recordPath_);
}

bool PartFile::Adopt() { return CopyEarlier(true) && Flush() && size_ > 0; }

bool PartFile::AdoptSegments(std::int64_t size, const std::vector<ByteSpan>& spans) {
  std::uint64_t onDisk = 0;
  // A part shorter than its spans, or longer than the body, is not what the record says.
  if ((expectedSize_ >= 0 && size != expectedSize_) || !platform::QueryFileSize(path_, &onDisk) ||
      onDisk > static_cast<std::uint64_t>(size) ||
      (!spans.empty() && onDisk < static_cast<std::uint64_t>(spans.back().end)) || !CopyEarlier(false)) {
    return false;
  }
  segmentSize_ = size;
  held_ = spans;
  return true;
}

bool PartFile::CopyEarlier(bool appended) {
  const std::string earlier = path_ + ".old";
  if (!platform::RenameOver(path_, earlier)) return false;
  platform::File source = platform::File::OpenRead(platform::AnsiToWide(earlier));
  bool copied = source.IsOpen() && Create();
  std::string chunk(kBufferSize, '\0');
  while (copied) {
    std::uint32_t got = 0;
    copied = source.Read(chunk.data(), static_cast<std::uint32_t>(chunk.size()), &got);
    if (got == 0) break;
    copied = copied && (appended ? Append(chunk.data(), got) : file_.Write(chunk.data(), got));
  }
  source.Close();
  platform::RemoveFile(earlier);
  return copied;
}

bool PartFile::ReadRecord(ResumeRecord* record) const {
  return ReadResumeRecord(recordPath_, record) && record->url == url_;
}

bool PartFile::BeginSegments(std::int64_t size) {
  if (broken_ || !file_.IsOpen() || segmented() || size < size_ || (expectedSize_ >= 0 && size != expectedSize_) ||
      !Flush()) {
    return false;
  }
  segmentSize_ = size;
  held_.clear();
  if (size_ > 0) held_.push_back({0, size_});
  // The body no longer arrives in order: its hash is taken from the part at the end.
  if (hash_) hash_->Reset();
  SaveRecord();
  return true;
}

bool PartFile::WriteAt(std::int64_t offset, const char* data, std::size_t size) {
  if (!segmented() || broken_ || !file_.IsOpen()) return false;
  std::int64_t position = 0;
  if (offset < 0 || offset > segmentSize_ || size > static_cast<std::uint64_t>(segmentSize_ - offset) ||
      !file_.Seek(offset, platform::SeekOrigin::Begin, &position) ||
      !file_.Write(data, static_cast<std::uint32_t>(size))) {
    broken_ = true;
    return false;
  }
  Hold({offset, offset + static_cast<std::int64_t>(size)});
  unrecorded_ += static_cast<std::int64_t>(size);
  if (unrecorded_ >= kRecordEvery) SaveRecord();
  return true;
}

std::vector<ByteSpan> PartFile::Missing() const {
  std::vector<ByteSpan> missing;
  std::int64_t from = 0;
  for (const ByteSpan& span : held_) {
    if (span.start > from) missing.push_back({from, span.start});
    from = span.end;
  }
  if (from < segmentSize_) missing.push_back({from, segmentSize_});
  return missing;
}

std::int64_t PartFile::HeldBytes() const {
  if (!segmented()) return size_;
  std::int64_t held = 0;
  for (const ByteSpan& span : held_) held += span.end - span.start;
  return held;
}

// Written after the bytes it names, so that it never claims more than the part holds.
void PartFile::SaveRecord() {
  unrecorded_ = 0;
  if (!segmented() || !IsRecordableValidator(validator_)) return;
  if (held_.size() > kMaxRecordSpans) {
    // Too scattered to record: this run still resumes, a later one starts over.
    platform::RemoveFile(recordPath_);
    return;
  }
  WriteResumeRecord(recordPath_, {url_, validator_, segmentSize_, held_});
}

void PartFile::Hold(ByteSpan span) {
  // The first span that overlaps or touches the new one, then all that do.
  auto it = std::lower_bound(held_.begin(), held_.end(), span.start,
                             [](const ByteSpan& held, std::int64_t start) { return held.end < start; });
  while (it != held_.end() && it->start <= span.end) {
    span.start = std::min(span.start, it->start);
    span.end = std::max(span.end, it->end);
    it = held_.erase(it);
  }
  held_.insert(it, span);
}

bool PartFile::HashPart() {
  hash_->Reset();
  platform::File source = platform::File::OpenRead(platform::AnsiToWide(path_));
  bool read = source.IsOpen();
  while (read) {
    std::string block(kBufferSize, '\0');
    std::uint32_t got = 0;
    read = source.Read(block.data(), static_cast<std::uint32_t>(block.size()), &got);
    if (got == 0) break;
    block.resize(got);
    hash_->Add(block);
  }
  return read;
}

bool PartFile::Flush() {
  if (buffer_.empty()) return true;
  const bool written = file_.Write(buffer_.data(), static_cast<std::uint32_t>(buffer_.size()));
  // The hash takes the block and works on it while the next one arrives.
  if (written && hash_) {
    hash_->Add(buffer_);
  } else {
    buffer_.clear();
  }
  return written;
}

bool PartFile::Create() {
  file_.Close();
  buffer_.clear();
  size_ = 0;
  broken_ = false;
  segmentSize_ = -1;
  held_.clear();
  unrecorded_ = 0;
  if (hash_) hash_->Reset();
  file_ = platform::File::Create(platform::AnsiToWide(path_), platform::kAttributeNormal, 0);
  return file_.IsOpen();
}

}  // namespace net
