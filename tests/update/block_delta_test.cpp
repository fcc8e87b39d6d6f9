// The block map's reader, the rolling search over an old copy and the assembly of the
// new file, on real files: blocks deflated as tools/publish deflates them.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "blocked_package.h"
#include "platform/sha256.h"
#include "temp_folder.h"
#include "update/block_assembly.h"
#include "update/block_map.h"
#include "update/block_search.h"
#include "zip_builder.h"

namespace {

using block_testing::DeflateInBlocks;
using block_testing::EncodeBlockMap;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

constexpr std::uint32_t kBlock = kMinBlockSize;
// Ten blocks and a short one.
const std::string kOld = zip_testing::NoiseBytes(10 * kBlock + 1000, 3);

std::string Splice(const std::string& bytes, std::size_t at, std::size_t removed, const std::string& inserted) {
  return bytes.substr(0, at) + inserted + bytes.substr(at + removed);
}

TEST(BlockMap, ReadsWhatThePublisherWrites) {
  const block_testing::Blocked blocked = DeflateInBlocks("data/pack.bin", kOld, kBlock);
  std::vector<BlockedFile> files;
  ASSERT_TRUE(ParseBlockMap(EncodeBlockMap({blocked.file}), &files));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "data/pack.bin");
  EXPECT_EQ(files[0].size, kOld.size());
  ASSERT_EQ(files[0].blocks.size(), 11u);
  EXPECT_EQ(files[0].BlockLength(10), 1000u);
  for (std::size_t i = 0; i < files[0].blocks.size(); ++i) {
    EXPECT_EQ(files[0].blocks[i].compressedOffset, blocked.file.blocks[i].compressedOffset);
    EXPECT_EQ(files[0].blocks[i].strong, blocked.file.blocks[i].strong);
  }
  // The blocks end where the closing empty block begins.
  EXPECT_EQ(files[0].CompressedEnd() + 2, blocked.data.size());
}

struct MapLie {
  const char* name;
  std::function<void(std::string* map, std::vector<BlockedFile>* files)> change;
};

void PrintTo(const MapLie& c, std::ostream* out) { *out << c.name; }

class BlockMapRefusal : public testing::TestWithParam<MapLie> {};

TEST_P(BlockMapRefusal, RefusesAMapThatCannotBeTrue) {
  std::vector<BlockedFile> files{DeflateInBlocks("a.bin", kOld, kBlock).file,
                                 DeflateInBlocks("b.bin", "b", kBlock).file};
  std::string map;
  GetParam().change(&map, &files);
  if (map.empty()) map = EncodeBlockMap(files);
  std::vector<BlockedFile> parsed{BlockedFile{}};
  EXPECT_FALSE(ParseBlockMap(map, &parsed));
  EXPECT_EQ(parsed.size(), 1u) << "a refused map leaves the result alone";
}

INSTANTIATE_TEST_SUITE_P(
    Lies, BlockMapRefusal,
    testing::Values(
        MapLie{"Empty", [](std::string* map, auto*) { *map = std::string(1, '\0'); }},
        MapLie{"OtherMagic", [](std::string* map, auto* files) { *map = "LBM2" + EncodeBlockMap(*files).substr(4); }},
        MapLie{"CutShort",
               [](std::string* map, auto* files) {
                 *map = EncodeBlockMap(*files);
                 map->pop_back();
               }},
        MapLie{"BytesBeyondTheLastFile", [](std::string* map, auto* files) { *map = EncodeBlockMap(*files) + "x"; }},
        MapLie{"MoreFilesThanBytes",
               [](std::string* map, auto* files) {
                 *map = EncodeBlockMap(*files);
                 (*map)[7] = '\x7f';
               }},
        MapLie{"BlockSizeTooSmall", [](auto*, auto* files) { (*files)[0].blockSize = kMinBlockSize - 1; }},
        MapLie{"BlockSizeTooLarge", [](auto*, auto* files) { (*files)[0].blockSize = kMaxBlockSize * 2; }},
        MapLie{"SizeBeyondTheBlocks", [](auto*, auto* files) { (*files)[0].size += kBlock; }},
        MapLie{"SizeShortOfTheBlocks", [](auto*, auto* files) { (*files)[0].size -= 1000; }},
        MapLie{"BlockOfNoBytes", [](auto*, auto* files) { (*files)[0].blocks[3].compressedLength = 0; }},
        MapLie{"UnsafeName", [](auto*, auto* files) { (*files)[1].name = "../b.bin"; }},
        MapLie{"NameTwice", [](auto*, auto* files) { (*files)[1].name = "a.bin"; }}),
    [](const testing::TestParamInfo<MapLie>& info) { return std::string(info.param.name); });

// An old copy and the new file: how many of the new file's blocks the search must miss.
struct SearchCase {
  const char* name;
  std::string old;
  std::string next;
  std::size_t missing;
};

void PrintTo(const SearchCase& c, std::ostream* out) { *out << c.name; }

class BlockSearch : public testing::TestWithParam<SearchCase> {};

TEST_P(BlockSearch, FindsEveryBlockTheOldCopyHoldsAtAnyOffset) {
  const SearchCase& c = GetParam();
  TempFolder temp;
  WriteFile(temp.path() / "old", c.old);
  const BlockedFile file = DeflateInBlocks("f", c.next, kBlock).file;
  std::vector<std::int64_t> found;
  const std::atomic<bool> cancel{false};
  ASSERT_TRUE(FindBlocks(temp.Narrow("old"), file, cancel, &found));
  ASSERT_EQ(found.size(), file.blocks.size());
  std::size_t missing = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (found[i] == kBlockNotFound) {
      ++missing;
      continue;
    }
    // Every block found is the new block's bytes, not just a weak match.
    EXPECT_EQ(c.old.substr(static_cast<std::size_t>(found[i]), file.BlockLength(i)),
              c.next.substr(i * kBlock, file.BlockLength(i)))
        << "block " << i;
  }
  EXPECT_EQ(missing, c.missing);
}

const std::string kTen = kOld.substr(0, 10 * kBlock);

INSTANTIATE_TEST_SUITE_P(
    Edits, BlockSearch,
    testing::Values(SearchCase{"Unchanged", kOld, kOld, 0},
                    // Every block after the insertion moved by 100 bytes and is found there; the one
                    // holding the new bytes is not.
                    SearchCase{"Inserted", kOld, Splice(kOld, 5000, 0, std::string(100, 'i')), 1},
                    SearchCase{"Removed", kOld, Splice(kOld, 9000, 64, ""), 1},
                    SearchCase{"RewrittenAcrossTwoBlocks", kOld,
                               Splice(kOld, 6000, kBlock, zip_testing::NoiseBytes(kBlock, 9)), 2},
                    SearchCase{"Reordered", kTen, kTen.substr(3 * kBlock) + kTen.substr(0, 3 * kBlock), 0},
                    SearchCase{"ShortLastBlockAfterAMovedOne", kOld, Splice(kOld, 100, 0, "x"), 1},
                    SearchCase{"GrownPastTheOldEnd", kOld, kOld + zip_testing::NoiseBytes(2 * kBlock, 4), 3},
                    SearchCase{"OldCopyEmpty", "", kOld, 11},
                    SearchCase{"OldCopyShorterThanABlock", kOld.substr(0, 1000), kOld, 11},
                    SearchCase{"NewFileShorterThanABlock", kOld, kOld.substr(kOld.size() - 1000), 0},
                    SearchCase{"RepeatedBlocks", kTen, kTen.substr(0, kBlock) + kTen.substr(0, kBlock), 0}),
    [](const testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.name); });

TEST(BlockSearchTrust, AWeakMatchWithoutTheStrongHashIsNoMatch) {
  TempFolder temp;
  WriteFile(temp.path() / "old", kOld);
  BlockedFile file = DeflateInBlocks("f", kOld, kBlock).file;
  file.blocks[2].strong[0] ^= 1;
  file.blocks[10].strong[5] ^= 1;
  std::vector<std::int64_t> found;
  const std::atomic<bool> cancel{false};
  ASSERT_TRUE(FindBlocks(temp.Narrow("old"), file, cancel, &found));
  EXPECT_EQ(found[1], static_cast<std::int64_t>(kBlock));
  EXPECT_EQ(found[2], kBlockNotFound);
  EXPECT_EQ(found[3], static_cast<std::int64_t>(3 * kBlock));
  EXPECT_EQ(found[10], kBlockNotFound);
}

// The new file's package: its blocked data at an offset, the pieces holding the blocks
// the old copy lacks, and the new file assembled from both.
class BlockAssembly : public testing::Test {
 protected:
  static constexpr std::uint64_t kDataOffset = 777;

  void Prepare(const std::string& next) {
    next_ = next;
    platform::Sha256 hash;
    hash.Update(next.data(), next.size());
    sha256_ = hash.FinishHex();
    blocked_ = DeflateInBlocks("f", next, kBlock);
    WriteFile(temp_.path() / "old", kOld);
    const std::atomic<bool> cancel{false};
    ASSERT_TRUE(FindBlocks(temp_.Narrow("old"), blocked_.file, cancel, &found_));
    const std::string package = std::string(kDataOffset, 'h') + blocked_.data;
    for (const update::ByteRange& range : MissingBlockRanges(blocked_.file, found_, kDataOffset)) {
      const std::string name = std::to_string(range.offset) + ".piece";
      WriteFile(temp_.path() / name, package.substr(range.offset, range.length));
      pieces_.push_back({range.offset, range.length, temp_.Wide(name)});
    }
  }

  bool Assemble(const BlockedFile& file) {
    return AssembleBlockedFile(temp_.Narrow("old"), file, found_, pieces_, kDataOffset, zip_testing::Crc32(next_),
                               sha256_, temp_.Narrow("new"));
  }

  TempFolder temp_;
  std::string next_;
  std::string sha256_;
  block_testing::Blocked blocked_;
  std::vector<std::int64_t> found_;
  std::vector<ZipPiece> pieces_;
};

TEST_F(BlockAssembly, BuildsTheNewFileFromOldBlocksAndBlocksInflatedOnTheirOwn) {
  // Text deflates, noise is stored: both kinds of block come from the pieces.
  Prepare(Splice(kOld, 5000, 0, zip_testing::Text(3 * kBlock)));
  std::size_t fetched = 0;
  for (const std::int64_t at : found_) fetched += at == kBlockNotFound;
  EXPECT_EQ(fetched, 4u);
  ASSERT_TRUE(Assemble(blocked_.file));
  EXPECT_EQ(ReadFile(temp_.path() / "new"), next_);
}

TEST_F(BlockAssembly, AMapThatLiesFailsTheWholeFileCheck) {
  Prepare(Splice(kOld, 5000, 0, zip_testing::Text(3 * kBlock)));
  const std::string sha256 = sha256_;
  sha256_[10] = sha256_[10] == '0' ? '1' : '0';
  EXPECT_FALSE(Assemble(blocked_.file)) << "another SHA-256 than the list's";
  sha256_ = sha256;
  const auto missingBlock = std::find(found_.begin(), found_.end(), kBlockNotFound) - found_.begin();
  BlockedFile shifted = blocked_.file;
  shifted.blocks[missingBlock].compressedOffset += 1;
  EXPECT_FALSE(Assemble(shifted)) << "a block read from the wrong offset";
  BlockedFile shorter = blocked_.file;
  shorter.blocks[missingBlock].compressedLength /= 2;
  EXPECT_FALSE(Assemble(shorter)) << "a block cut short";
  // A map whose hashes point at the wrong old bytes: the old copy's block 0 stands in
  // for block 1.
  found_[1] = found_[0];
  EXPECT_FALSE(Assemble(blocked_.file)) << "the wrong old bytes";
}

TEST(ReadFromPieces, ReadsAcrossPiecesAndRefusesGaps) {
  TempFolder temp;
  WriteFile(temp.path() / "10.piece", "abcde");
  WriteFile(temp.path() / "15.piece", "fgh");
  const std::vector<ZipPiece> pieces{{10, 5, temp.Wide("10.piece")}, {15, 3, temp.Wide("15.piece")}};
  std::string out(6, '\0');
  ASSERT_TRUE(ReadFromPieces(pieces, 12, 6, reinterpret_cast<unsigned char*>(out.data())));
  EXPECT_EQ(out, "cdefgh");
  EXPECT_FALSE(ReadFromPieces(pieces, 9, 2, reinterpret_cast<unsigned char*>(out.data())));
  EXPECT_FALSE(ReadFromPieces(pieces, 16, 3, reinterpret_cast<unsigned char*>(out.data())));
}

}  // namespace
