// Archives of which only some byte ranges are at hand, as an incremental update reads
// a package: the directory from its end, then the entries it fetched.
#include <gtest/gtest.h>

#include "temp_folder.h"
#include "zip/archive.h"
#include "zip_builder.h"

namespace {

using testing_support::TempFolder;
using testing_support::WriteFile;

class ArchivePiecesTest : public testing::Test {
 protected:
  void SetUp() override {
    zip_testing::Zip zip;
    // A stored entry larger than the tail an update fetches first.
    std::string noise(100000, '\0');
    std::uint32_t state = 1;
    for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    zip.entries = {zip_testing::File("a.txt", noise, zip_testing::kStored), zip_testing::Folder("sub/"),
                   zip_testing::File("sub/b.txt", "bee"), zip_testing::File("c.txt", std::string(3000, 'c'))};
    bytes_ = zip.Build();
  }

  // A piece file holding bytes [offset, offset + length) of the archive.
  ZipPiece Piece(std::uint64_t offset, std::uint64_t length) {
    const std::string name = "piece" + std::to_string(offset);
    WriteFile(temp_.path() / name, bytes_.substr(offset, length));
    return {offset, length, temp_.Wide(name)};
  }

  // The last bytes an update fetches first: the end record with the longest comment.
  ZipPiece Tail() {
    const std::uint64_t length = 22 + 65535;
    return Piece(bytes_.size() - length, length);
  }

  TempFolder temp_;
  std::string bytes_;
};

TEST_F(ArchivePiecesTest, TheEndRecordTellsWhereTheDirectoryIs) {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  ASSERT_TRUE(ArchiveFindCentralDirectory({Tail()}, bytes_.size(), &offset, &size));
  EXPECT_EQ(offset + size, bytes_.size() - 22);
  EXPECT_FALSE(ArchiveFindCentralDirectory({Piece(0, 100)}, bytes_.size(), &offset, &size));
}

TEST_F(ArchivePiecesTest, TheTailAloneListsEveryEntry) {
  Archive* archive = ArchiveOpenPieces({Tail()}, bytes_.size());
  ASSERT_NE(archive, nullptr);
  std::vector<ArchiveListedEntry> entries;
  ASSERT_EQ(ArchiveListEntries(archive, &entries), ArchiveOk);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, L"a.txt");
  EXPECT_EQ(entries[0].size, 100000u);
  EXPECT_EQ(entries[0].localHeaderOffset, 0u);
  EXPECT_TRUE(entries[1].folder);
  EXPECT_EQ(entries[2].name, L"sub/b.txt");
  EXPECT_GT(entries[3].localHeaderOffset, entries[2].localHeaderOffset);
  // An entry whose bytes were not fetched reads as damaged, never as something else.
  ASSERT_EQ(ArchiveSetBaseDir(archive, temp_.Wide("out")), ArchiveOk);
  EXPECT_NE(ArchiveUnpackEntry(archive, 0, L"a.txt"), ArchiveOk);
  EXPECT_FALSE(std::filesystem::exists(temp_.path() / "out" / "a.txt"));
  ArchiveClose(archive);
}

TEST_F(ArchivePiecesTest, OverlappingOrOutlyingPiecesAreRefused) {
  EXPECT_EQ(ArchiveOpenPieces({Piece(0, 100), Piece(50, 100)}, bytes_.size()), nullptr);
  EXPECT_EQ(ArchiveOpenPieces({{bytes_.size() - 10, 20, temp_.Wide("x")}}, bytes_.size()), nullptr);
  EXPECT_EQ(ArchiveOpenPieces({}, bytes_.size()), nullptr);
}

}  // namespace
