// Unpacking the entries an update fetched, from the byte ranges at hand.
#include "update/entry_unpacker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "temp_folder.h"
#include "zip/archive.h"
#include "zip_builder.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

class EntryUnpackerTest : public testing::Test {
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

  static void WaitFor(CEntryUnpacker& unpacker) {
    while (!unpacker.finished) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    unpacker.Stop();
  }

  TempFolder temp_;
  std::string bytes_;
};

TEST_F(EntryUnpackerTest, UnpacksTheChosenEntriesFromTheirPieces) {
  const ZipPiece tail = Tail();
  CEntryUnpacker unpacker(nullptr);
  unpacker.Start({Piece(0, tail.offset), tail}, bytes_.size(), {0, 2}, temp_.Wide("out"));
  WaitFor(unpacker);
  ASSERT_TRUE(unpacker.finished);
  EXPECT_TRUE(unpacker.succeeded) << ArchiveResultName(unpacker.result);
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
  unpacker.Start({{0, tail.offset, temp_.Wide("altered")}, tail}, bytes_.size(), {0}, temp_.Wide("out2"));
  WaitFor(unpacker);
  EXPECT_FALSE(unpacker.succeeded);
  EXPECT_EQ(unpacker.result, ArchiveErrData);
}

}  // namespace
