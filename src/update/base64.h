#pragma once
// Base64 (the standard alphabet, with padding) for keys and signatures in settings and
// server answers.
#include <string>
#include <string_view>

// The bytes that `text` encodes; false when it is not canonical base64: a length that
// is not a multiple of four, a character outside the alphabet, padding anywhere but at
// the end, or bits set past the last byte. White space is not allowed either.
bool DecodeBase64(std::string_view text, std::string* bytes);
