#pragma once
// Readers for the little-endian numbers that zip records and extra fields hold.
#include <cstdint>

inline std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t Get64(const unsigned char* p) {
  return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}
