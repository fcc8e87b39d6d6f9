// libFuzzer target of an archive of which only some byte ranges are at hand, as an
// incremental update reads its package. The input is a piece layout and then the
// archive's bytes:
//   byte 0          the number of pieces, less one (modulo 8)
//   9 bytes each    offset and length (32-bit little-endian, taken modulo the archive's
//                   size plus one and plus two, so some reach past its end) and a flag:
//                   bit 0 names the piece's file with a leading zero ("07.piece")
//   the rest        the archive
// The pieces are written into a folder as the range fetcher writes them, read back
// with HeldPieces as the update does, and then:
// - every byte the pieces source serves lies in a held piece and is the archive's byte
//   at that offset;
// - MissingRanges and the held pieces together cover a wanted range exactly once;
// - whatever the archive read from the pieces yields (where the directory lies, the
//   listing, each entry's unpacked bytes), the whole archive yields too, with every byte
//   outside the pieces changed: nothing is taken from outside them.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "update/range_fetcher.h"
#include "zip/archive.h"
#include "zip/zip_reader.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxPieces = 8;
constexpr std::size_t kLayoutEntry = 9;
// More entries add time, not coverage.
constexpr std::size_t kMaxEntries = 32;

[[noreturn]] void Broken(const char* contract, const std::string& detail) {
  std::fprintf(stderr, "contract broken: %s: %s\n", contract, detail.c_str());
  std::abort();
}

void Require(bool holds, const char* contract, const std::string& detail = "") {
  if (!holds) Broken(contract, detail);
}

const fs::path& Root() {
  static const fs::path root = fs::temp_directory_path() / ("pieces-fuzz-" + std::to_string(getpid()));
  return root;
}

void RemoveRoot() {
  std::error_code ec;
  fs::remove_all(Root(), ec);
}

void Write(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t Get32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Writes each piece as the range fetcher does, "<offset>.piece" holding the archive's
// bytes from there (cut at its end).
void WritePieces(const std::uint8_t* layout, std::size_t count, std::string_view archive, const fs::path& folder) {
  fs::create_directories(folder);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = layout + i * kLayoutEntry;
    const std::uint64_t offset = Get32(entry) % (archive.size() + 1);
    const std::uint64_t length = Get32(entry + 4) % (archive.size() + 2);
    const std::string name = ((entry[8] & 1) ? "0" : "") + std::to_string(offset) + ".piece";
    Write(folder / name, archive.substr(offset, length));
  }
}

bool IsHeld(const std::vector<update::ByteRange>& held, std::uint64_t at) {
  return std::any_of(held.begin(), held.end(),
                     [at](const update::ByteRange& piece) { return at >= piece.offset && at - piece.offset < piece.length; });
}

std::vector<ZipPiece> ZipPieces(const std::vector<update::ByteRange>& held, const fs::path& folder) {
  std::vector<ZipPiece> pieces;
  for (const update::ByteRange& piece : held) {
    pieces.push_back({piece.offset, piece.length, fs::path(update::PiecePath(folder.string(), piece.offset)).wstring()});
  }
  return pieces;
}

// Reads around every piece's edges and across the whole archive.
void CheckServedBytes(const std::vector<ZipPiece>& pieces, const std::vector<update::ByteRange>& held,
                      std::string_view archive) {
  std::unique_ptr<ZipSource> source = ZipSourceOpenPieces(pieces, archive.size());
  if (!source) return;
  std::vector<std::uint64_t> starts = {0, archive.size() - std::min<std::uint64_t>(archive.size(), 1)};
  for (const ZipPiece& piece : pieces) {
    for (std::uint64_t edge : {piece.offset, piece.offset + piece.length}) {
      starts.push_back(edge);
      if (edge > 0) starts.push_back(edge - 1);
    }
  }
  std::vector<unsigned char> buffer(archive.size() + 1);
  for (std::uint64_t start : starts) {
    for (std::uint64_t length : {std::uint64_t{1}, std::uint64_t{5}, std::uint64_t{4096}, archive.size() + 1}) {
      if (ZipSourceSeek(source.get(), start) != ZipStatusOk) continue;
      const std::uint32_t got = ZipSourceRead(source.get(), buffer.data(), static_cast<std::uint32_t>(length));
      Require(got <= length, "the pieces source served more than was asked");
      for (std::uint32_t i = 0; i < got; ++i) {
        const std::uint64_t at = start + i;
        Require(at < archive.size() && IsHeld(held, at), "the pieces source served a byte outside the pieces",
                std::to_string(at));
        Require(buffer[i] == static_cast<unsigned char>(archive[at]), "the pieces source served another byte",
                std::to_string(at));
      }
    }
  }
}

// The missing parts and the held pieces inside a wanted range cover it once.
void CheckMissingRanges(const std::vector<update::ByteRange>& held, const update::ByteRange& wanted) {
  const std::vector<update::ByteRange> missing = update::MissingRanges({wanted}, held);
  std::uint64_t previousEnd = wanted.offset;
  std::uint64_t missingBytes = 0;
  for (const update::ByteRange& range : missing) {
    Require(range.length > 0 && range.offset >= previousEnd && range.offset + range.length <= wanted.offset + wanted.length,
            "a missing range is empty, out of order or outside the wanted one");
    Require(!IsHeld(held, range.offset) && !IsHeld(held, range.offset + range.length - 1),
            "a missing range starts or ends in a held piece");
    previousEnd = range.offset + range.length;
    missingBytes += range.length;
  }
  std::uint64_t heldBytes = 0;
  for (std::uint64_t at = wanted.offset; at < wanted.offset + wanted.length; ++at) heldBytes += IsHeld(held, at);
  Require(heldBytes + missingBytes == wanted.length, "missing and held ranges do not cover the wanted one");
}

struct Unpacked {
  std::vector<ArchiveListedEntry> listing;
  std::vector<std::int32_t> results;
  std::vector<std::string> contents;
};

// Lists the archive and unpacks every file entry under its index's name.
Unpacked UnpackAll(Archive* archive, const fs::path& folder) {
  Unpacked out;
  fs::create_directories(folder);
  ArchiveSetBaseDir(archive, folder.wstring());
  if (ArchiveListEntries(archive, &out.listing) != ArchiveOk) out.listing.clear();
  const std::size_t count = std::min(out.listing.size(), kMaxEntries);
  for (std::size_t i = 0; i < count; ++i) {
    const ArchiveListedEntry& listed = out.listing[i];
    if (listed.folder || listed.link) continue;
    ArchiveEntry entry;
    std::int32_t result = ArchiveGetEntry(archive, listed.index, &entry);
    const std::wstring name = std::to_wstring(listed.index);
    if (result == ArchiveOk) result = ArchiveUnpackEntry(archive, listed.index, name);
    out.results.push_back(result);
    out.contents.push_back(result == ArchiveOk ? Read(folder / name) : "");
  }
  return out;
}

bool SameListing(const std::vector<ArchiveListedEntry>& a, const std::vector<ArchiveListedEntry>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ArchiveListedEntry& x, const ArchiveListedEntry& y) {
    return x.index == y.index && x.name == y.name && x.crc == y.crc && x.size == y.size &&
           x.compressedSize == y.compressedSize && x.localHeaderOffset == y.localHeaderOffset &&
           x.folder == y.folder && x.link == y.link;
  });
}

// The archive with every byte outside the pieces changed.
std::string Changed(std::string_view archive, const std::vector<update::ByteRange>& held) {
  std::string changed(archive);
  for (std::size_t at = 0; at < changed.size(); ++at) {
    if (!IsHeld(held, at)) changed[at] = static_cast<char>(changed[at] ^ 0xA5);
  }
  return changed;
}

void CompareWithWhole(const std::vector<ZipPiece>& pieces, const std::vector<update::ByteRange>& held,
                      std::string_view archive) {
  const fs::path whole = Root() / "whole.zip";
  Write(whole, Changed(archive, held));
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  if (ArchiveFindCentralDirectory(pieces, archive.size(), &offset, &size)) {
    std::uint64_t wholeOffset = 0;
    std::uint32_t wholeSize = 0;
    Require(ZipFindCentralDirectory(ZipSourceOpen(whole.wstring()), &wholeOffset, &wholeSize) == ZipStatusOk &&
                wholeOffset == offset && wholeSize == size,
            "the pieces place the directory elsewhere than the whole archive does");
  }
  Archive* fromPieces = ArchiveOpenPieces(pieces, archive.size());
  if (!fromPieces) return;
  const Unpacked read = UnpackAll(fromPieces, Root() / "from-pieces");
  ArchiveClose(fromPieces);
  if (read.listing.empty()) return;
  Archive* fromWhole = ArchiveOpen(whole.wstring());
  Require(fromWhole != nullptr, "the pieces open as an archive, the whole archive does not");
  const Unpacked expected = UnpackAll(fromWhole, Root() / "from-whole");
  ArchiveClose(fromWhole);
  Require(SameListing(read.listing, expected.listing), "the pieces list other entries than the whole archive");
  for (std::size_t i = 0; i < read.results.size(); ++i) {
    if (read.results[i] != ArchiveOk) continue;
    Require(expected.results[i] == ArchiveOk && expected.contents[i] == read.contents[i],
            "an entry unpacked from the pieces differs from the whole archive's", std::to_string(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Registered once the root's path exists, so it runs before the path is destroyed.
  static const bool cleanupRegistered = !Root().empty() && std::atexit(RemoveRoot) == 0;
  (void)cleanupRegistered;
  if (size == 0) return 0;
  const std::size_t count = data[0] % kMaxPieces + 1;
  if (size < 1 + count * kLayoutEntry + 1) return 0;
  const std::string_view archive(reinterpret_cast<const char*>(data) + 1 + count * kLayoutEntry,
                                 size - 1 - count * kLayoutEntry);
  std::error_code ec;
  fs::remove_all(Root(), ec);
  const fs::path folder = Root() / "pieces";
  WritePieces(data + 1, count, archive, folder);
  const std::vector<update::ByteRange> held = update::HeldPieces(folder.string());
  for (const update::ByteRange& piece : held) {
    Require(piece.length > 0 && piece.offset + piece.length <= archive.size(), "a held piece lies outside the archive");
  }
  const std::vector<ZipPiece> pieces = ZipPieces(held, folder);
  CheckServedBytes(pieces, held, archive);
  CheckMissingRanges(held, {0, archive.size()});
  CompareWithWhole(pieces, held, archive);
  return 0;
}
