#pragma once
// What a download keeps for a later run belongs to: the URL, the server's validator of
// the body (its ETag or Last-Modified), where it matters the body's whole size, and for
// a part written in segments at once, the byte ranges it holds.
// One small JSON record, the same for a package's part (".part.json") and an update's
// kept pieces.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace net {

// Bytes [start, end) of a body.
struct ByteSpan {
  std::int64_t start = 0;
  std::int64_t end = 0;

  bool operator==(const ByteSpan&) const = default;
};

struct ResumeRecord {
  std::string url;
  std::string validator;
  // -1: not part of the record.
  std::int64_t size = -1;
  // The spans held, in order, apart from each other and within `size`; absent: the part
  // holds a prefix of the body, as much as is on disk.
  std::optional<std::vector<ByteSpan>> spans = std::nullopt;

  bool operator==(const ResumeRecord&) const = default;
};

// Whether a later run can ask with this validator: not empty, no control characters (it
// goes into If-Range) and UTF-8 (JSON would hold other bytes as U+FFFD, so the record
// would name another validator).
constexpr std::size_t kMaxRecordSpans = 64;

bool IsRecordableValidator(const std::string& validator);
// False when there is no record at `path` or it is not one of ours: not a JSON object
// of at most 64 KiB (nesting too deep included), a URL or validator missing, of another
// type or holding control characters, a size of another form, spans without a size,
// out of order, touching, beyond the size or more than kMaxRecordSpans.
bool ReadResumeRecord(const std::string& path, ResumeRecord* record);
// Written beside and then renamed over `path`, so that a record is always whole; false
// (and nothing left beside) when it cannot be written.
bool WriteResumeRecord(const std::string& path, const ResumeRecord& record);

}  // namespace net
