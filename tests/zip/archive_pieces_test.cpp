// Archives of which only some byte ranges are at hand, as an incremental update reads
// a package: the directory from its end, then the entries it fetched.
#include <gtest/gtest.h>

#include "pieced_archive_test.h"
#include "zip/archive.h"

namespace {

class ArchivePiecesTest : public zip_testing::PiecedArchiveTest {};

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
