#include "app/client_update.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/path.h"
#include "temp_folder.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

TEST(ClientFilesRecord, SurvivesARoundTripAndRefusesAnotherShape) {
  TempFolder temp;
  ClientFiles record;
  record.version = "2.1";
  record.baseDir = "client";
  record.files = {{"a.bin", {5, 0xFFFFFFFFu}}, {"data/\xC3\xA9.txt", {1ull << 33, 7}}};
  ASSERT_TRUE(SaveClientFiles(temp.Narrow("ClientFiles.json"), record));
  ClientFiles loaded;
  ASSERT_TRUE(LoadClientFiles(temp.Narrow("ClientFiles.json"), &loaded));
  EXPECT_EQ(loaded, record);

  for (const char* text : {"[]", R"({"Files": {}})", R"({"Files": [{"Name": "a", "Size": -1, "Crc32": 1}]})",
                           R"({"Files": [{"Name": 3, "Size": 1, "Crc32": 1}]})",
                           R"({"Files": [{"Name": "../../victim.txt", "Size": 1, "Crc32": 1}]})",
                           R"({"Files": [{"Name": "a/../../b", "Size": 1, "Crc32": 1}]})"}) {
    WriteFile(temp.path() / "bad.json", text);
    EXPECT_FALSE(LoadClientFiles(temp.Narrow("bad.json"), &loaded)) << text;
  }
}

TEST(ScanClientFolder, RecordsSizeAndCrcOfEveryFileBelow) {
  TempFolder temp;
  WriteFile(temp.path() / "client" / "a.txt", "hello");
  WriteFile(temp.path() / "client" / "sub" / "b.txt", "");
  ClientFiles record;
  std::atomic<bool> cancel{false};
  double last = 0;
  ASSERT_TRUE(ScanClientFolder(temp.Narrow("client"), &record, cancel, [&](double f) { last = f; }));
  EXPECT_TRUE(record.scanned);
  EXPECT_EQ(record.files, (std::map<std::string, ClientFile>{{"a.txt", {5, 0x3610A686u}}, {"sub/b.txt", {0, 0}}}));
  EXPECT_EQ(last, 1.0);
  cancel = true;
  EXPECT_FALSE(ScanClientFolder(temp.Narrow("client"), &record, cancel, nullptr));
}

TEST(ScanClientFolder, LeavesOutNamesNoPackageCanHoldSoTheRecordReadsBack) {
  TempFolder temp;
  WriteFile(temp.path() / "client" / "a.txt", "hello");
  // Names only a POSIX system lets the player make.
  if (!platform::IsPathSeparator(L'\\')) WriteFile(temp.path() / "client" / "con.txt", "player's");
  ClientFiles record;
  std::atomic<bool> cancel{false};
  ASSERT_TRUE(ScanClientFolder(temp.Narrow("client"), &record, cancel, nullptr));
  EXPECT_EQ(record.files, (std::map<std::string, ClientFile>{{"a.txt", {5, 0x3610A686u}}}));
  ASSERT_TRUE(SaveClientFiles(temp.Narrow("ClientFiles.json"), record));
  ClientFiles loaded;
  EXPECT_TRUE(LoadClientFiles(temp.Narrow("ClientFiles.json"), &loaded));
}

class ApplyJournalTest : public testing::Test {
 protected:
  void SetUp() override {
    client_ = temp_.Narrow("client");
    folders_ = UpdateFoldersFor(client_);
    WriteFile(temp_.path() / "client" / "keep.txt", "old keep");
    WriteFile(temp_.path() / "client" / "data" / "change.txt", "old");
    WriteFile(temp_.path() / "client" / "gone" / "removed.txt", "bye");
    WriteFile(temp_.path() / "client.update" / "files" / "data" / "change.txt", "new");
    WriteFile(temp_.path() / "client.update" / "files" / "added" / "new.txt", "added");
    journal_.version = "2";
    journal_.moves = {"data/change.txt", "added/new.txt"};
    journal_.removes = {"gone/removed.txt"};
  }

  void ExpectApplied() {
    EXPECT_EQ(ReadFile(temp_.path() / "client" / "keep.txt"), "old keep");
    EXPECT_EQ(ReadFile(temp_.path() / "client" / "data" / "change.txt"), "new");
    EXPECT_EQ(ReadFile(temp_.path() / "client" / "added" / "new.txt"), "added");
    EXPECT_FALSE(std::filesystem::exists(temp_.path() / "client" / "gone")) << "an emptied folder stayed";
  }

  TempFolder temp_;
  std::string client_;
  UpdateFolders folders_;
  UpdateJournal journal_;
};

TEST_F(ApplyJournalTest, MovesStagedFilesAndRemovesGoneOnes) {
  ASSERT_TRUE(CanApplyJournal(client_, journal_));
  ASSERT_TRUE(ApplyJournal(folders_, client_, journal_));
  ExpectApplied();
}

TEST_F(ApplyJournalTest, ASecondRunFinishesWhatAnInterruptedOneBegan) {
  ASSERT_TRUE(WriteJournal(folders_.journal, journal_));
  // The first move happened before the interruption.
  std::filesystem::rename(temp_.path() / "client.update" / "files" / "data" / "change.txt",
                          temp_.path() / "client" / "data" / "change.txt");
  UpdateJournal read;
  ASSERT_TRUE(ReadJournal(folders_.journal, &read));
  EXPECT_EQ(read.moves, journal_.moves);
  EXPECT_EQ(read.removes, journal_.removes);
  ASSERT_TRUE(ApplyJournal(folders_, client_, read));
  ExpectApplied();
  // And once more: nothing left to do is no failure.
  EXPECT_TRUE(ApplyJournal(folders_, client_, read));
}

TEST_F(ApplyJournalTest, AFileNeitherStagedNorInPlaceFailsTheStep) {
  journal_.moves.push_back("never/staged.txt");
  EXPECT_FALSE(ApplyJournal(folders_, client_, journal_));
}

}  // namespace
