#pragma once
// What a download keeps for a later run belongs to: the URL, the server's validator of
// the body (its ETag or Last-Modified) and, where it matters, the body's whole size.
// One small JSON record, the same for a package's part (".part.json") and an update's
// kept pieces.
#include <cstdint>
#include <string>

namespace net {

struct ResumeRecord {
  std::string url;
  std::string validator;
  // -1: not part of the record.
  std::int64_t size = -1;

  bool operator==(const ResumeRecord&) const = default;
};

// Whether a later run can ask with this validator: not empty, no control characters (it
// goes into If-Range) and UTF-8 (JSON would hold other bytes as U+FFFD, so the record
// would name another validator).
bool IsRecordableValidator(const std::string& validator);
// False when there is no record at `path` or it is not one of ours: not a JSON object
// of at most 64 KiB (nesting too deep included), a URL or validator missing, of another
// type or holding control characters, a size of another form.
bool ReadResumeRecord(const std::string& path, ResumeRecord* record);
// Written beside and then renamed over `path`, so that a record is always whole; false
// (and nothing left beside) when it cannot be written.
bool WriteResumeRecord(const std::string& path, const ResumeRecord& record);

}  // namespace net
