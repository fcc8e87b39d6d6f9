// Archives of which only some byte ranges are at hand, as an incremental update reads
// a package: the directory from its end, then the entries it fetched.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "temp_folder.h"
#include "zip/archive.h"
#include "zip/entry_stager.h"
#include "zip_builder.h"

namespace {

using testing_support::ReadFile;
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

  static void WaitFor(CEntryStager& stager) {
    while (!stager.finished) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stager.Stop();
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

TEST_F(ArchivePiecesTest, TheStagerUnpacksTheChosenEntriesFromTheirPieces) {
  const ZipPiece tail = Tail();
  CEntryStager stager(nullptr);
  stager.Start({Piece(0, tail.offset), tail}, bytes_.size(), {0, 2}, temp_.Wide("out"));
  WaitFor(stager);
  ASSERT_TRUE(stager.finished);
  EXPECT_TRUE(stager.succeeded) << ArchiveResultName(stager.result);
  // Each entry's file is named after its index, whatever the entry's name.
  EXPECT_TRUE(ReadFile(temp_.path() / "out" / "0") == bytes_.substr(30 + 5, 100000));
  EXPECT_EQ(ReadFile(temp_.path() / "out" / "2"), "bee");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp_.path() / "out"),
                          std::filesystem::directory_iterator()),
            2);

  // A piece whose bytes differ from what the directory says fails the CRC check.
  std::string altered = bytes_.substr(0, tail.offset);
  altered[1000] ^= 0x55;
  WriteFile(temp_.path() / "altered", altered);
  stager.Start({{0, tail.offset, temp_.Wide("altered")}, tail}, bytes_.size(), {0}, temp_.Wide("out2"));
  WaitFor(stager);
  EXPECT_FALSE(stager.succeeded);
  EXPECT_EQ(stager.result, ArchiveErrData);
}

TEST_F(ArchivePiecesTest, OverlappingOrOutlyingPiecesAreRefused) {
  EXPECT_EQ(ArchiveOpenPieces({Piece(0, 100), Piece(50, 100)}, bytes_.size()), nullptr);
  EXPECT_EQ(ArchiveOpenPieces({{bytes_.size() - 10, 20, temp_.Wide("x")}}, bytes_.size()), nullptr);
  EXPECT_EQ(ArchiveOpenPieces({}, bytes_.size()), nullptr);
}

}  // namespace
