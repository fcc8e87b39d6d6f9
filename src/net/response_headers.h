#pragma once
// What the downloader needs from an HTTP response's header lines: the status, the
// length, the range of a partial answer and the validators that let a later request
// resume the same content.
#include <cstdint>
#include <string>
#include <string_view>

namespace net {

class ResponseHeaders {
 public:
  // One header line as libcurl hands it over, line end included. A status line starts
  // a new response (a redirect's or an interim answer's lines are forgotten), so after
  // the transfer the fields describe the final response.
  void ReadLine(std::string_view line);

  // 0 until a status line came.
  int status() const { return status_; }
  // -1 when not announced.
  std::int64_t contentLength() const { return contentLength_; }
  // The first and the last byte of a partial answer (Content-Range); -1 when absent or
  // unreadable.
  std::int64_t rangeStart() const { return rangeStart_; }
  std::int64_t rangeEnd() const { return rangeEnd_; }
  // The whole content's size from Content-Range; -1 when absent or "*".
  std::int64_t rangeTotal() const { return rangeTotal_; }
  // What If-Range can carry: a strong ETag, else Last-Modified; empty when neither.
  // A weak ETag never matches a range request, so it does not count.
  std::string Validator() const;
  // A strong ETag names one exact content: only then may ranges of it be joined.
  bool HasStrongEtag() const { return !etag_.empty() && !etag_.starts_with("W/"); }
  // The server said it answers byte ranges (Accept-Ranges: bytes).
  bool acceptsRanges() const { return acceptsRanges_; }
  // The boundary of a multipart/byteranges answer (several ranges in one); empty for
  // any other content type.
  const std::string& boundary() const { return boundary_; }

 private:
  void ReadContentType(std::string_view value);
  void ReadContentRange(std::string_view value);

  int status_ = 0;
  std::int64_t contentLength_ = -1;
  std::int64_t rangeStart_ = -1;
  std::int64_t rangeEnd_ = -1;
  std::int64_t rangeTotal_ = -1;
  std::string etag_;
  std::string lastModified_;
  std::string boundary_;
  bool acceptsRanges_ = false;
};

// Whether `text` holds a control character (a byte below 0x20, or 0x7F). A value that
// does must never go into a request's header, where a line end would start another.
bool HasControlCharacter(std::string_view text);

}  // namespace net
