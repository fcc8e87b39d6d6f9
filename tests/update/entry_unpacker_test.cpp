// Unpacking the entries an update fetched, from the byte ranges at hand.
#include "update/entry_unpacker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "pieced_archive_test.h"
#include "temp_folder.h"
#include "zip/archive.h"

namespace {

using testing_support::ReadFile;
using testing_support::WriteFile;

class EntryUnpackerTest : public zip_testing::PiecedArchiveTest {
 protected:
  static void WaitFor(CEntryUnpacker& unpacker) {
    while (!unpacker.finished) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    unpacker.Stop();
  }
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
