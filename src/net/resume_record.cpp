#include "net/resume_record.h"

#include <json/json.h>

#include <exception>
#include <memory>
#include <utility>

#include "net/response_headers.h"
#include "platform/codepage.h"
#include "platform/file.h"

namespace net {
namespace {

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

bool ParseObject(const std::string& text, Json::Value* document) {
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return !text.empty() && reader->parse(text.data(), text.data() + text.size(), document, &errors) &&
           document->isObject();
  } catch (const std::exception&) {
    // Past a thousand nested arrays or objects the reader throws instead of failing.
    return false;
  }
}

// A line end in either would reach the server as a header of the record's choosing.
bool IsHeaderSafeText(const Json::Value& value) {
  return value.isString() && !HasControlCharacter(value.asString());
}

bool IsWholeNumber(const Json::Value& value) { return value.isIntegral() && value.isInt64(); }

bool ReadSpans(const Json::Value& value, std::int64_t size, std::vector<ByteSpan>* spans) {
  if (!value.isArray() || value.size() > kMaxRecordSpans || size < 0) return false;
  std::int64_t previousEnd = -1;
  for (const Json::Value& pair : value) {
    if (!pair.isArray() || pair.size() != 2 || !IsWholeNumber(pair[0]) || !IsWholeNumber(pair[1])) return false;
    const ByteSpan span{pair[0].asInt64(), pair[1].asInt64()};
    if (span.start <= previousEnd || span.start < 0 || span.end <= span.start || span.end > size) return false;
    previousEnd = span.end;
    spans->push_back(span);
  }
  return true;
}

}  // namespace

bool IsRecordableValidator(const std::string& validator) {
  return !validator.empty() && !HasControlCharacter(validator) && IsUtf8(validator);
}

bool ReadResumeRecord(const std::string& path, ResumeRecord* record) {
  Json::Value document;
  if (!ParseObject(ReadSmallFile(path), &document)) return false;
  const Json::Value url = document.get("Url", Json::Value());
  const Json::Value validator = document.get("Validator", Json::Value());
  const Json::Value size = document.get("Size", Json::Value());
  if (!IsHeaderSafeText(url) || !IsHeaderSafeText(validator)) return false;
  if (!size.isNull() && !(IsWholeNumber(size) && size.asInt64() >= 0)) return false;
  ResumeRecord read{url.asString(), validator.asString(), size.isNull() ? -1 : size.asInt64(), std::nullopt};
  if (document.isMember("Spans")) {
    read.spans.emplace();
    if (!ReadSpans(document["Spans"], read.size, &*read.spans)) return false;
  }
  *record = std::move(read);
  return true;
}

bool WriteResumeRecord(const std::string& path, const ResumeRecord& record) {
  Json::Value document(Json::objectValue);
  document["Url"] = record.url;
  document["Validator"] = record.validator;
  if (record.size >= 0) document["Size"] = Json::Int64(record.size);
  if (record.spans) {
    Json::Value& spans = document["Spans"] = Json::Value(Json::arrayValue);
    for (const ByteSpan& span : *record.spans) {
      Json::Value pair(Json::arrayValue);
      pair.append(Json::Int64(span.start));
      pair.append(Json::Int64(span.end));
      spans.append(std::move(pair));
    }
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  const std::string text = Json::writeString(builder, document);
  const std::string temporary = path + ".tmp";
  platform::File file = platform::File::Create(platform::AnsiToWide(temporary), platform::kAttributeNormal, 0);
  const bool written = file.IsOpen() && file.Write(text.data(), static_cast<std::uint32_t>(text.size()));
  file.Close();
  if (written && platform::RenameOver(temporary, path)) return true;
  platform::RemoveFile(temporary);
  return false;
}

}  // namespace net
