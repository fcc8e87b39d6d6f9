#pragma once
// What an incremental update does: from the new package's directory and the record of
// the installed files, the entries to fetch, the files to delete and the byte ranges
// of the package that hold the entries to fetch.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "update/client_files.h"
#include "update/range_fetcher.h"

// One entry of the new package, as its central directory describes it.
struct PackageEntry {
  std::int32_t index = 0;
  std::string name;  // '/'-separated, as recorded
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::uint64_t localHeaderOffset = 0;
  bool folder = false;
  std::uint64_t compressedSize = 0;
  std::string sha256;  // from the release's file list; empty without one
};

struct UpdatePlan {
  std::vector<std::int32_t> fetch;   // entry indices, in package order
  std::vector<std::string> fetchNames;  // their names
  std::vector<std::string> remove;   // recorded names the package no longer has
  std::vector<update::ByteRange> ranges;
  std::uint64_t fetchBytes = 0;      // sum of the ranges
  std::uint64_t unpackedBytes = 0;   // sum of the fetched entries' sizes
  ClientFiles record;                // the record once the update is applied
};

// Ranges closer than this are fetched as one: a gap costs less than a request.
inline constexpr std::uint64_t kRangeMergeGap = 64 * 1024;

// The bytes of entry `index` of `entries`: from its local header to the next entry's,
// or to the central directory at `centralDirectoryOffset`, but never more than a local
// header, the entry's compressed data and a data descriptor can take: a package with
// room between its entries costs no more than its entries.
update::ByteRange EntryRange(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                          std::int32_t index);

// Where each entry's bytes end (by position in `entries`): at the next local header, or
// at the directory, or where its header, data and descriptor must have ended, whichever
// comes first.
std::vector<std::uint64_t> EntryEnds(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset);

// The ranges that hold the entries `indices` of `entries` (as EntryRange gives them)
// and the ranges `more`, merged as a plan merges them.
std::vector<update::ByteRange> MergedRanges(const std::vector<PackageEntry>& entries,
                                            std::uint64_t centralDirectoryOffset,
                                            const std::vector<std::int32_t>& indices,
                                            std::vector<update::ByteRange> more);

// Whether two entries would be unpacked to one file (names equal but for ASCII case,
// which some systems ignore), or a file entry and a folder entry share a name.
bool HasClashingNames(const std::vector<PackageEntry>& entries);

// Holds the package's directory to the release's file list (`hashes` by name, read
// from the list whose own SHA-256 is `listHash`): every file entry but the list has a
// line and every line a file entry. Each entry then gets its line's SHA-256, the list's
// entry `listHash`. False, changing nothing, when they disagree.
bool AttachFileList(const std::map<std::string, std::string>& hashes, const std::string& listHash,
                    std::vector<PackageEntry>* entries);

// `installedSize` tells the size of an installed file by name, -1 when it is missing.
// A record made by scanning the client folder deletes nothing: it cannot tell the
// package's files from the player's. An entry is fetched when it is new, when its size
// or CRC-32 differs from the record, when the installed file is missing or of another
// size than recorded, or when the entry carries a SHA-256 (a file list vouches for it)
// that the record does not. The new record keeps each entry's SHA-256.
UpdatePlan PlanUpdate(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                      const ClientFiles& installed, const std::function<std::int64_t(const std::string&)>& installedSize);
