#include "platform/codepage.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `i`, advancing `i`; malformed input gives U+FFFD and
// skips one byte, as the Windows converter does.
char32_t DecodeOne(const std::string& s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + length > s.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k < length; ++k) {
    const std::uint8_t next = byte(i + k);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += length;
  return cp;
}

void EncodeOne(char32_t cp, std::string& out) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

// Both narrow code pages are UTF-8 here.
std::wstring NarrowToWide(const std::string& text, CodePage) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = DecodeOne(text, i);
    if (cp == 0) break;  // the text ends at its first NUL, as with C strings
    out.push_back(static_cast<wchar_t>(cp));
  }
  return out;
}

std::string WideToNarrow(const std::wstring& text, CodePage) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c == 0) break;
    EncodeOne(static_cast<char32_t>(c), out);
  }
  return out;
}

}  // namespace platform
