#include "net/response_headers.h"

#include <cctype>
#include <charconv>

namespace net {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// A whole non-negative decimal number; -1 for anything else.
std::int64_t ReadCount(std::string_view text) {
  std::int64_t value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 0 ? value : -1;
}

}  // namespace

void ResponseHeaders::ReadLine(std::string_view line) {
  line = Trim(line);
  if (line.starts_with("HTTP/")) {
    *this = ResponseHeaders();
    const auto space = line.find(' ');
    if (space != std::string_view::npos) {
      const std::int64_t code = ReadCount(Trim(line.substr(space + 1, 4)));
      status_ = code >= 100 && code <= 999 ? static_cast<int>(code) : 0;
    }
    return;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = Trim(line.substr(0, colon));
  const std::string_view value = Trim(line.substr(colon + 1));
  if (SameName(name, "Content-Length")) {
    contentLength_ = ReadCount(value);
  } else if (SameName(name, "Content-Range")) {
    ReadContentRange(value);
  } else if (SameName(name, "ETag")) {
    etag_ = value;
  } else if (SameName(name, "Last-Modified")) {
    lastModified_ = value;
  } else if (SameName(name, "Content-Type")) {
    ReadContentType(value);
  } else if (SameName(name, "Accept-Ranges")) {
    acceptsRanges_ = SameName(value, "bytes");
  }
}

// "multipart/byteranges; boundary=B", the boundary perhaps quoted.
void ResponseHeaders::ReadContentType(std::string_view value) {
  boundary_.clear();
  constexpr std::string_view kType = "multipart/byteranges";
  if (value.size() < kType.size() || !SameName(value.substr(0, kType.size()), kType)) return;
  constexpr std::string_view kName = "boundary=";
  for (std::size_t at = value.find(';'); at != std::string_view::npos; at = value.find(';', at + 1)) {
    std::string_view parameter = Trim(value.substr(at + 1, value.find(';', at + 1) - at - 1));
    if (parameter.size() <= kName.size() || !SameName(parameter.substr(0, kName.size()), kName)) continue;
    parameter.remove_prefix(kName.size());
    if (parameter.size() >= 2 && parameter.front() == '"' && parameter.back() == '"') {
      parameter = parameter.substr(1, parameter.size() - 2);
    }
    boundary_ = parameter;
    return;
  }
}

// "bytes FIRST-LAST/TOTAL", or "bytes */TOTAL" when the range could not be served.
void ResponseHeaders::ReadContentRange(std::string_view value) {
  rangeStart_ = -1;
  rangeEnd_ = -1;
  rangeTotal_ = -1;
  if (!value.starts_with("bytes ")) return;
  value = Trim(value.substr(6));
  const auto slash = value.find('/');
  if (slash == std::string_view::npos) return;
  rangeTotal_ = ReadCount(value.substr(slash + 1));
  const std::string_view range = value.substr(0, slash);
  const auto dash = range.find('-');
  if (dash == std::string_view::npos) return;
  rangeStart_ = ReadCount(range.substr(0, dash));
  rangeEnd_ = ReadCount(range.substr(dash + 1));
}

std::string ResponseHeaders::Validator() const {
  if (!etag_.empty() && !etag_.starts_with("W/")) return etag_;
  return lastModified_;
}

bool HasControlCharacter(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

}  // namespace net
