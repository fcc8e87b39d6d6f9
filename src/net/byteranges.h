#pragma once
// Reads a multipart/byteranges body (the answer to a request for several ranges) as it
// arrives: each part's Content-Range, then that part's bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/response_headers.h"

namespace net {

class ByteRangesReader {
 public:
  // What the body holds, in order; false from either ends the reading as refused.
  class Events {
   public:
    virtual ~Events() = default;
    // A part of bytes `first` to `last` (inclusive) of content of `total` bytes begins.
    virtual bool Part(std::int64_t first, std::int64_t last, std::int64_t total) = 0;
    virtual bool Data(const char* data, std::size_t size) = 0;
  };

  explicit ByteRangesReader(std::string boundary);

  // False when the body is not a multipart/byteranges body of this boundary (a part
  // without a readable Content-Range, over-long lines) or an event refused.
  bool Feed(std::string_view data, Events& events);
  // The closing delimiter came: every part is whole.
  bool complete() const { return state_ == State::Done; }

 private:
  enum class State { Delimiter, Headers, Data, Done };

  // One line of the delimiter or header state, line end removed.
  bool Line(std::string_view line, Events& events);

  const std::string delimiter_;
  State state_ = State::Delimiter;
  std::string line_;
  ResponseHeaders part_;
  std::int64_t remaining_ = 0;
};

}  // namespace net
