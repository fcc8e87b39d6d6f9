#pragma once
// What an incremental update does: from the new package's directory and the record of
// the installed files, the entries to fetch, the files to delete and the byte ranges
// of the package that hold the entries to fetch.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/client_files.h"
#include "net/range_fetcher.h"

// One entry of the new package, as its central directory describes it.
struct PackageEntry {
  std::int32_t index = 0;
  std::string name;  // '/'-separated, as recorded
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::uint64_t localHeaderOffset = 0;
  bool folder = false;
};

struct UpdatePlan {
  std::vector<std::int32_t> fetch;   // entry indices, in package order
  std::vector<std::string> fetchNames;  // their names
  std::vector<std::string> remove;   // recorded names the package no longer has
  std::vector<net::ByteRange> ranges;
  std::uint64_t fetchBytes = 0;      // sum of the ranges
  std::uint64_t unpackedBytes = 0;   // sum of the fetched entries' sizes
  ClientFiles record;                // the record once the update is applied
};

// Ranges closer than this are fetched as one: a gap costs less than a request.
inline constexpr std::uint64_t kRangeMergeGap = 64 * 1024;

// The bytes of entry `index` of `entries`: from its local header to the next entry's,
// or to the central directory at `centralDirectoryOffset`.
net::ByteRange EntryRange(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                          std::int32_t index);

// `installedSize` tells the size of an installed file by name, -1 when it is missing.
// A record made by scanning the client folder deletes nothing: it cannot tell the
// package's files from the player's. An entry is fetched when it is new, when its size or CRC-32 differs from the record,
// or when the installed file is missing or of another size than recorded. An entry's
// bytes run from its local header to the next entry's (or the central directory at
// `centralDirectoryOffset`), which covers its data and any data descriptor.
UpdatePlan PlanUpdate(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                      const ClientFiles& installed, const std::function<std::int64_t(const std::string&)>& installedSize);
