#include "net/part_file.h"

#include <memory>
#include <utility>

#include "log/log.h"
#include "net/response_headers.h"
#include "net/resume_record.h"
#include "platform/codepage.h"

namespace net {
namespace {

// Collecting what libcurl hands over before each write to the file saves system calls,
// and gives the hash blocks worth a thread's while.
constexpr std::size_t kBufferSize = 256 * 1024;
constexpr char kPartSuffix[] = ".part";
constexpr char kRecordSuffix[] = ".part.json";

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
  validator_ = ReadRecord();
  if (validator_.empty() || !Adopt()) Discard();
}

std::int64_t PartFile::Resumable() const {
  return validator_.empty() || broken_ || !file_.IsOpen() ? 0 : size_;
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
  if (broken_ || !file_.IsOpen()) return false;
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
  bool complete = file_.IsOpen() && !broken_ && Flush() && (announcedSize < 0 || size_ == announcedSize);
  if (complete && expectedSize_ >= 0 && size_ != expectedSize_) {
    applog::Log("download " + target_ + " refused: " + std::to_string(size_) + " bytes, not the expected " +
                std::to_string(expectedSize_));
    complete = false;
  }
  if (complete && hash_ && hash_->FinishHex() != expectedHash_) {
    applog::Log("download " + target_ + " refused: its SHA-256 does not match the expected hash");
    complete = false;
  }
  file_.Close();
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
  // Removed or not, neither is used again: the next body starts the part over.
  platform::RemoveFile(path_);
  platform::RemoveFile(recordPath_);
}

bool PartFile::Adopt() {
  const std::string earlier = path_ + ".old";
  if (!platform::RenameOver(path_, earlier)) return false;
  platform::File source = platform::File::OpenRead(platform::AnsiToWide(earlier));
  bool copied = source.IsOpen() && Create();
  std::string chunk(kBufferSize, '\0');
  while (copied) {
    std::uint32_t got = 0;
    copied = source.Read(chunk.data(), static_cast<std::uint32_t>(chunk.size()), &got);
    if (got == 0) break;
    copied = copied && Append(chunk.data(), got);
  }
  source.Close();
  platform::RemoveFile(earlier);
  return copied && Flush() && size_ > 0;
}

std::string PartFile::ReadRecord() const {
  ResumeRecord record;
  if (!ReadResumeRecord(recordPath_, &record) || record.url != url_) return "";
  return record.validator;
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
  if (hash_) hash_->Reset();
  file_ = platform::File::Create(platform::AnsiToWide(path_), platform::kAttributeNormal, 0);
  return file_.IsOpen();
}

}  // namespace net
