#include "net/part_file.h"

#include <json/json.h>

#include <exception>
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
// A record is a line of JSON; anything longer is not one of ours.
constexpr std::size_t kMaxRecord = 64 * 1024;


bool IsUtf8(const std::string& text) {
  using platform::CodePage;
  return platform::WideToNarrow(platform::NarrowToWide(text, CodePage::Utf8), CodePage::Utf8) == text;
}

std::string ReadSmallFile(const std::string& path) {
  platform::File file = platform::File::OpenRead(platform::AnsiToWide(path));
  std::string text;
  char chunk[4096];
  std::uint32_t got = 0;
  while (text.size() <= kMaxRecord && file.Read(chunk, sizeof chunk, &got) && got > 0) text.append(chunk, got);
  return text.size() <= kMaxRecord ? text : std::string();
}

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
  // The record's JSON writer turns bytes that are not UTF-8 (an ETag may hold them) into
  // U+FFFD: a later run would ask for another validator, so only this run resumes.
  if (!validator_.empty() && IsUtf8(validator_)) WriteRecord();
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
  const std::string text = ReadSmallFile(recordPath_);
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value record;
  std::string errors;
  bool parsed = false;
  try {
    parsed = !text.empty() && reader->parse(text.data(), text.data() + text.size(), &record, &errors);
  } catch (const std::exception&) {
    // Past a thousand nested arrays or objects the reader throws instead of failing.
  }
  if (!parsed || !record.isObject()) return "";
  const Json::Value url = record.get("Url", Json::Value());
  const Json::Value validator = record.get("Validator", Json::Value());
  // A line end in either would reach the server as a header of the record's choosing.
  if (!url.isString() || !validator.isString() || url.asString() != url_ || HasControlCharacter(url.asString()) ||
      HasControlCharacter(validator.asString())) {
    return "";
  }
  return validator.asString();
}

// Written beside and then renamed over the record, so that a record is always whole.
void PartFile::WriteRecord() const {
  Json::Value record(Json::objectValue);
  record["Url"] = url_;
  record["Validator"] = validator_;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  const std::string text = Json::writeString(builder, record);
  const std::string temporary = recordPath_ + ".tmp";
  platform::File file = platform::File::Create(platform::AnsiToWide(temporary), platform::kAttributeNormal, 0);
  const bool written = file.IsOpen() && file.Write(text.data(), static_cast<std::uint32_t>(text.size()));
  file.Close();
  // Without a record this run still resumes; only a later run starts over.
  if (!written || !platform::RenameOver(temporary, recordPath_)) platform::RemoveFile(temporary);
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
