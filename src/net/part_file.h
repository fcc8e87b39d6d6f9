#pragma once
// The file a download is written into before it is complete: "<target>.part", with a
// small record beside it, "<target>.part.json", naming the URL and the validator
// (ETag or Last-Modified) of the content it holds, so that a later attempt, or a
// later run of the launcher, can ask for the rest instead of starting over. Only a
// complete body that passes every check is moved to the target.
//
// A body fetched as several ranges at once is written in segments: each at its offset,
// the record listing the spans the part holds, so that only the missing ones are asked
// for again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/background_sha256.h"
#include "net/resume_record.h"
#include "platform/file.h"

namespace net {

class PartFile {
 public:
  // `expectedSize` < 0 and an empty `expectedHash` (lower-case hex SHA-256) mean unknown.
  PartFile(std::string target, std::string url, std::int64_t expectedSize, std::string expectedHash);
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // The files a download into `target` keeps beside it: the part and its record.
  static std::string PartPath(const std::string& target);
  static std::string RecordPath(const std::string& target);
  // Whether a file name is a part's or a part record's (by its ending).
  static bool IsPartName(const std::wstring& name);
  // After a run that failed: a part with no record beside it (an error page, a body
  // without a validator) is nothing a later run could resume, and goes.
  static void RemoveUnresumable(const std::string& target);

  // At the start of a run: removes an older file under the target's name and keeps a
  // part left by an earlier run only when its record names the same URL and a
  // validator, neither with a control character; any other part is removed.
  void Prepare();
  // Bytes on disk that a range request may continue; 0 when nothing can be resumed.
  std::int64_t Resumable() const;
  const std::string& validator() const { return validator_; }

  // Empties the part for a new body. A non-empty `validator` without control characters
  // makes what follows resumable and is recorded (when it is UTF-8, which the record can
  // hold as it is; otherwise only this run resumes); without one the record goes. False
  // when the part cannot be created.
  bool StartOver(const std::string& validator);
  // Adds body bytes; false when they cannot be written or the body outgrows the
  // expected size (the part is then of no use and goes at EndAttempt).
  bool Append(const char* data, std::size_t size);
  // Writes out what is buffered after an attempt; false when the part failed (or the
  // body broke the expected size), and then it is removed.
  bool EndAttempt();
  // The body is complete: checks it against `announcedSize` (the server's total, < 0
  // when not announced) and the expected size and hash, then moves it to the target
  // and removes the record. On any failure the part and its record are removed.
  bool Commit(std::int64_t announcedSize);
  // Removes the part and its record; the next body starts from nothing.
  void Discard();

  // From here on the body of `size` bytes is written in segments; what was appended so
  // far is its first span. False (nothing changed) when the part is broken or the size
  // is not the expected one.
  bool BeginSegments(std::int64_t size);
  // Whether the part is written in segments: after BeginSegments, or when Prepare took
  // over such a part.
  bool segmented() const { return segmentSize_ >= 0; }
  // A write failed or did not fit: the part takes nothing more.
  bool broken() const { return broken_; }
  std::int64_t segmentSize() const { return segmentSize_; }
  // Writes bytes at `offset` of a segmented body; false when they do not fit within it
  // or cannot be written, and then the part is broken (Commit fails).
  bool WriteAt(std::int64_t offset, const char* data, std::size_t size);
  // The spans of a segmented body that are not in the part yet, in order.
  std::vector<ByteSpan> Missing() const;
  // Bytes of the body in the part.
  std::int64_t HeldBytes() const;
  // Records the spans held, for a later attempt or run.
  void SaveRecord();

 private:
  // Takes over an earlier run's part, which holds a prefix of the body.
  bool Adopt();
  // Moves the earlier run's part aside and copies it into a new one (there is no way to
  // append to an existing file): through Append when `appended`, which also hashes it.
  bool CopyEarlier(bool appended);
  // Takes over an earlier run's segmented part: copied as it is, spans and all.
  bool AdoptSegments(std::int64_t size, const std::vector<ByteSpan>& spans);
  void Hold(ByteSpan span);
  // The hash of a segmented body, read back from the part.
  bool HashPart();
  // The record beside the part when it names this URL.
  bool ReadRecord(ResumeRecord* record) const;
  // Writes the buffer out and hands it to the hash; false when the file did not take it.
  bool Flush();
  bool Create();

  const std::string target_;
  const std::string path_;
  const std::string recordPath_;
  const std::string url_;
  const std::int64_t expectedSize_;
  const std::string expectedHash_;
  platform::File file_;
  std::string buffer_;
  // Every byte of the body so far, buffered ones included.
  std::int64_t size_ = 0;
  // Set when a write failed or the body broke the expected size.
  bool broken_ = false;
  std::string validator_;
  // Only when a hash is expected.
  std::unique_ptr<BackgroundSha256> hash_;
  // The whole body's size when written in segments; -1 otherwise.
  std::int64_t segmentSize_ = -1;
  // The spans of a segmented body on disk, in order, apart from each other.
  std::vector<ByteSpan> held_;
  // Bytes written since the record was last saved.
  std::int64_t unrecorded_ = 0;
};

}  // namespace net
