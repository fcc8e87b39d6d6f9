#pragma once
// Writes zip archives for the tests, with every field open to change: flags, methods,
// sizes, CRCs, extra fields, host, prefix data, encryption headers and zip64 end
// records. Defaults give a sound archive as a DOS-host tool writes it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zip_testing {

inline constexpr std::uint16_t kStored = 0;
inline constexpr std::uint16_t kDeflated = 8;
inline constexpr std::uint16_t kHostDos = 0;
inline constexpr std::uint16_t kHostUnix = 3;

// 2021-03-04 05:06:08 as a DOS date (high half) and time (low half).
inline constexpr std::uint32_t kDefaultDosTime = (((2021 - 1980) << 9 | 3 << 5 | 4) << 16) | (5 << 11 | 6 << 5 | 4);

struct Entry {
  std::string name;
  std::string data;
  std::uint16_t method = kDeflated;
  std::uint16_t flags = 0;
  std::uint16_t host = kHostDos;
  std::uint32_t externalAttributes = 0x20;  // DOS archive bit
  std::uint32_t dosTime = kDefaultDosTime;
  std::string localExtra;
  std::string centralExtra;
  // Traditional PKWARE encryption of header and data with this password.
  std::optional<std::string> password;
  // Central header values that differ from the real ones.
  std::optional<std::uint32_t> crc, compressedSize, uncompressedSize;
  // Local header values that differ from the central ones.
  std::optional<std::uint16_t> localMethod, localFlags, localNameLength;
  std::optional<std::uint32_t> localCrc, localCompressedSize, localUncompressedSize;
  // Bytes stored as the entry's data instead of the (compressed, encrypted) content.
  std::optional<std::string> rawData;
};

struct Zip {
  std::vector<Entry> entries;
  std::string prefix;  // data in front of the archive, such as an executable stub
  std::string comment;
  bool zip64EndRecord = false;  // zip64 end record and locator in front of the end record
  std::optional<std::uint64_t> zip64Entries;  // the zip64 record's counts, when they differ
  std::optional<std::uint16_t> diskNumber, centralDisk, entriesOnDisk, entriesTotal;
  std::optional<std::uint32_t> centralOffset;

  std::string Build() const;
};

// Shorthands for common entries.
Entry File(std::string name, std::string data, std::uint16_t method = kDeflated);
Entry Folder(std::string name);
// A Unix symbolic link, as Info-ZIP zip -y stores one: its data is the target.
Entry SymbolicLink(std::string name, std::string target);

// Raw deflate (no zlib header), as zip entries store it.
std::string Deflate(const std::string& data);
std::uint32_t Crc32(const std::string& data);
// A "UT" extra block with the given flag bits and times.
std::string ExtendedTimestamp(std::uint8_t flags, const std::vector<std::int32_t>& times);
// Bytes that compress poorly, and text that compresses well.
std::string NoiseBytes(std::size_t size, std::uint32_t seed);
std::string Text(std::size_t size);

}  // namespace zip_testing
