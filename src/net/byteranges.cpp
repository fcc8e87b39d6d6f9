#include "net/byteranges.h"

#include <algorithm>
#include <utility>

namespace net {
namespace {

// Delimiter and part header lines are short; a longer one is no answer of ours.
constexpr std::size_t kMaxLine = 4096;

}  // namespace

ByteRangesReader::ByteRangesReader(std::string boundary) : delimiter_("--" + std::move(boundary)) {}

bool ByteRangesReader::Feed(std::string_view data, Events& events) {
  while (!data.empty()) {
    if (state_ == State::Done) return true;
    if (state_ == State::Data) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(remaining_, data.size()));
      if (!events.Data(data.data(), n)) return false;
      data.remove_prefix(n);
      remaining_ -= static_cast<std::int64_t>(n);
      if (remaining_ == 0) state_ = State::Delimiter;
      continue;
    }
    const std::size_t end = data.find('\n');
    line_.append(data.substr(0, end));
    if (line_.size() > kMaxLine) return false;
    // The closing delimiter needs no line end after it.
    if (state_ == State::Delimiter && line_ == delimiter_ + "--") {
      state_ = State::Done;
      return true;
    }
    if (end == std::string_view::npos) return true;
    data.remove_prefix(end + 1);
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    const std::string line = std::exchange(line_, std::string());
    if (!Line(line, events)) return false;
  }
  return true;
}

bool ByteRangesReader::Line(std::string_view line, Events& events) {
  if (state_ == State::Delimiter) {
    // The line end before a delimiter, and a preamble, carry nothing.
    if (line == delimiter_) {
      state_ = State::Headers;
      part_ = ResponseHeaders();
    } else if (line.size() == delimiter_.size() + 2 && line.starts_with(delimiter_) && line.ends_with("--")) {
      state_ = State::Done;
    }
    return true;
  }
  if (!line.empty()) {
    part_.ReadLine(line);
    return true;
  }
  const std::int64_t first = part_.rangeStart();
  const std::int64_t last = part_.rangeEnd();
  if (first < 0 || last < first || part_.rangeTotal() <= last) return false;
  remaining_ = last - first + 1;
  state_ = State::Data;
  return events.Part(first, last, part_.rangeTotal());
}

}  // namespace net
