#include "platform/file.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/fault.h"
#include "platform/path.h"
#include "temp_folder.h"

namespace {

using platform::NativePath;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

class FileTest : public testing::Test {
 protected:
  void TearDown() override { platform::fault::Clear(); }
  TempFolder temp;
};

TEST_F(FileTest, WritesReadsAndSeeks) {
  {
    platform::File file = platform::File::Create(temp.Wide("a.bin"), platform::kAttributeNormal, 0);
    ASSERT_TRUE(file.IsOpen());
    ASSERT_TRUE(file.Write("hello world", 11));
  }
  platform::File file = platform::File::OpenRead(temp.Wide("a.bin"));
  ASSERT_TRUE(file.IsOpen());
  std::int64_t position = -1;
  ASSERT_TRUE(file.Seek(-5, platform::SeekOrigin::End, &position));
  EXPECT_EQ(position, 6);
  char buffer[16] = {};
  std::uint32_t n = 0;
  ASSERT_TRUE(file.Read(buffer, sizeof buffer, &n));
  EXPECT_EQ(std::string(buffer, n), "world");
  ASSERT_TRUE(file.Read(buffer, sizeof buffer, &n));
  EXPECT_EQ(n, 0u) << "the end of a file reads as success with no bytes";
  EXPECT_FALSE(file.Seek(-1, platform::SeekOrigin::Begin, &position));
}

TEST_F(FileTest, FileSizeComesFromTheDirectoryEntry) {
  WriteFile(temp.path() / "five.bin", "12345");
  std::uint64_t size = 0;
  ASSERT_TRUE(platform::QueryFileSize(temp.Narrow("five.bin"), &size));
  EXPECT_EQ(size, 5u);
  {
    // Held open for writing by someone else: the size is still known.
    platform::File held = platform::File::Create(temp.Wide("held.bin"), 0, 0);
    ASSERT_TRUE(held.Write("abc", 3));
    ASSERT_TRUE(platform::QueryFileSize(temp.Narrow("held.bin"), &size));
    EXPECT_EQ(size, 3u);
  }
  EXPECT_FALSE(platform::QueryFileSize(temp.Narrow("missing.bin"), &size));
  EXPECT_FALSE(platform::QueryFileSize(temp.Narrow(), &size)) << "a folder is no file";
}

TEST_F(FileTest, MissingFilesAndOverlongPathsDoNotOpen) {
  EXPECT_FALSE(platform::File::OpenRead(temp.Wide("missing")).IsOpen());
  EXPECT_FALSE(platform::File::Create(temp.Wide("no/such/folder/x"), 0, 0).IsOpen());
  const std::string longName(platform::kMaxPath, 'x');
  EXPECT_FALSE(platform::File::Create(temp.Wide(longName), 0, 0).IsOpen());
  EXPECT_FALSE(platform::MakeFolder(temp.Narrow(longName)));
  EXPECT_FALSE(platform::RemoveFile(temp.Narrow(longName)));
}

TEST_F(FileTest, InjectedReadFaultIsAnErrorNotTheEnd) {
  WriteFile(temp.path() / "data", "abc");
  platform::fault::Inject(platform::fault::Op::Read, "data");
  platform::File file = platform::File::OpenRead(temp.Wide("data"));
  ASSERT_TRUE(file.IsOpen());
  char buffer[4];
  std::uint32_t n = 7;
  EXPECT_FALSE(file.Read(buffer, sizeof buffer, &n));
  EXPECT_EQ(n, 0u);
}

TEST_F(FileTest, InjectedFaultsFailEachOperation) {
  using platform::fault::Op;
  WriteFile(temp.path() / "keep", "x");
  platform::fault::Inject(Op::Remove, "keep");
  platform::fault::Inject(Op::Create, "new");
  platform::fault::Inject(Op::MakeFolder, "dir");
  platform::fault::Inject(Op::Write, "w.bin");
  EXPECT_FALSE(platform::RemoveFile(temp.Narrow("keep")));
  EXPECT_FALSE(platform::File::Create(temp.Wide("new"), 0, 0).IsOpen());
  EXPECT_FALSE(platform::MakeFolder(temp.Narrow("dir")));
  platform::File w = platform::File::Create(temp.Wide("w.bin"), 0, 0);
  ASSERT_TRUE(w.IsOpen());
  EXPECT_FALSE(w.Write("x", 1));
  platform::fault::Clear();
  EXPECT_TRUE(platform::RemoveFile(temp.Narrow("keep")));
}

TEST_F(FileTest, ReadOnlyAttributeIsAppliedAndCleared) {
  {
    platform::File file = platform::File::Create(temp.Wide("ro"), platform::kAttributeReadOnly, 0);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_TRUE(file.Write("x", 1)) << "the creating handle stays writable";
  }
  std::uint32_t attributes = 0;
  ASSERT_TRUE(platform::QueryAttributes(temp.Narrow("ro"), &attributes));
  EXPECT_TRUE(attributes & platform::kAttributeReadOnly);
  ASSERT_TRUE(platform::ClearReadOnly(platform::NativePath::FromAnsi(temp.Narrow("ro"))));
  ASSERT_TRUE(platform::QueryAttributes(temp.Narrow("ro"), &attributes));
  EXPECT_FALSE(attributes & platform::kAttributeReadOnly);
}

TEST_F(FileTest, FoldersAreCreatedListedAndRemoved) {
  EXPECT_TRUE(platform::MakeFolder(temp.Wide("sub")));
  EXPECT_FALSE(platform::MakeFolder(temp.Wide("sub"))) << "an existing folder is not created again";
  WriteFile(temp.path() / "file.txt", "x");
  std::uint32_t attributes = 0;
  ASSERT_TRUE(platform::QueryAttributes(temp.Wide("sub"), &attributes));
  EXPECT_TRUE(attributes & platform::kAttributeDirectory);
  EXPECT_FALSE(platform::QueryAttributes(temp.Wide("nothing"), &attributes));

  platform::FolderSearch search;
  ASSERT_TRUE(search.Open(NativePath::FromAnsi(temp.Narrow())));
  std::set<std::wstring> folders, files;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    EXPECT_FALSE(entry.isLink);
    (entry.isFolder ? folders : files).insert(entry.name.units());
  }
  EXPECT_EQ(files, std::set<std::wstring>{L"file.txt"});
  EXPECT_EQ(folders, (std::set<std::wstring>{L".", L"..", L"sub"}));

  EXPECT_FALSE(search.Open(NativePath::FromAnsi(temp.Narrow("nothing"))));
  EXPECT_TRUE(platform::RemoveFolder(temp.Narrow("sub")));
  EXPECT_FALSE(platform::RemoveFolder(temp.Narrow("sub")));
}

TEST_F(FileTest, RenameOverReplacesTheTarget) {
  WriteFile(temp.path() / "new", "fresh");
  WriteFile(temp.path() / "old", "stale");
  ASSERT_TRUE(platform::RenameOver(temp.Narrow("new"), temp.Narrow("old")));
  EXPECT_EQ(ReadFile(temp.path() / "old"), "fresh");
  EXPECT_FALSE(std::filesystem::exists(temp.path() / "new"));
}

TEST_F(FileTest, SetTimesChangesTheWriteTime) {
  platform::File file = platform::File::Create(temp.Wide("t"), 0, 0);
  ASSERT_TRUE(file.IsOpen());
  // 2001-02-03 04:05:06 UTC in 100-ns units since 1601.
  const platform::FileTime when = (981173106LL + 11644473600LL) * 10000000LL;
  ASSERT_TRUE(file.SetTimes(&when, &when, &when));
  file.Close();
  const auto written = std::filesystem::last_write_time(temp.path() / "t");
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::file_clock::to_sys(written).time_since_epoch());
  EXPECT_EQ(seconds.count(), 981173106);
}

}  // namespace
