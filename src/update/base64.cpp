#include "update/base64.h"

#include <cstdint>
#include <utility>

namespace {

constexpr int kNotInAlphabet = -1;

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotInAlphabet;
}

}  // namespace

bool DecodeBase64(std::string_view text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  const std::string_view digits = text.substr(0, text.size() - padding);
  std::string out;
  out.reserve(digits.size() * 3 / 4);
  std::uint32_t bits = 0;
  int bitCount = 0;
  for (const char c : digits) {
    const int sextet = SextetOf(c);
    if (sextet == kNotInAlphabet) return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(sextet);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      out.push_back(static_cast<char>((bits >> bitCount) & 0xFF));
    }
  }
  // What is left over must be the zero bits that fill the last group.
  if ((bits & ((1u << bitCount) - 1)) != 0) return false;
  *bytes = std::move(out);
  return true;
}
