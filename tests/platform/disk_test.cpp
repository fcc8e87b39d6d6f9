#include "platform/disk.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/codepage.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/path.h"
#include "temp_folder.h"

namespace {

using testing_support::TempFolder;

class FreeDiskSpaceTest : public testing::Test {
 protected:
  void TearDown() override { platform::fault::Clear(); }

  // The volume's size, an upper bound for any free-space answer.
  std::uint64_t Capacity() const { return std::filesystem::space(temp.path()).capacity; }

  TempFolder temp;
};

TEST_F(FreeDiskSpaceTest, RealFolderHasSomeRoomWithinTheVolume) {
  std::uint64_t bytes = 0;
  ASSERT_TRUE(platform::FreeDiskSpace(temp.Narrow(), &bytes));
  EXPECT_GT(bytes, 0u);
  EXPECT_LE(bytes, Capacity());
}

TEST_F(FreeDiskSpaceTest, FolderNamedInTheAnsiCodePage) {
  const std::wstring name = L"\u00e9t\u00e9";
  const std::string ansi = platform::WideToNarrow(name, platform::CodePage::Ansi);
  if (platform::NarrowToWide(ansi, platform::CodePage::Ansi) != name) GTEST_SKIP() << "not in the ANSI code page";
  const std::string folder = temp.Narrow() + platform::PathSeparator() + ansi;
  ASSERT_TRUE(platform::MakeFolder(folder));
  std::uint64_t bytes = 0;
  EXPECT_TRUE(platform::FreeDiskSpace(folder, &bytes));
  EXPECT_GT(bytes, 0u);
}

TEST_F(FreeDiskSpaceTest, MissingFolderCannotTell) {
  std::uint64_t bytes = 7;
  EXPECT_FALSE(platform::FreeDiskSpace(temp.Narrow("missing"), &bytes));
  EXPECT_FALSE(platform::FreeDiskSpace("", &bytes));
  platform::fault::LimitFreeSpace(1000);
  EXPECT_FALSE(platform::FreeDiskSpace(temp.Narrow("missing"), &bytes)) << "a limit answers for real folders only";
  EXPECT_EQ(bytes, 7u);
}

TEST_F(FreeDiskSpaceTest, LimitLowersTheAnswerUntilCleared) {
  std::uint64_t bytes = 0;
  platform::fault::LimitFreeSpace(1000);
  ASSERT_TRUE(platform::FreeDiskSpace(temp.Narrow(), &bytes));
  EXPECT_EQ(bytes, 1000u);
  platform::fault::LimitFreeSpace(0);
  ASSERT_TRUE(platform::FreeDiskSpace(temp.Narrow(), &bytes));
  EXPECT_EQ(bytes, 0u);
  platform::fault::LimitFreeSpace(Capacity() * 2);
  ASSERT_TRUE(platform::FreeDiskSpace(temp.Narrow(), &bytes));
  EXPECT_LE(bytes, Capacity()) << "a limit above the real room leaves the real answer";
  platform::fault::Clear();
  ASSERT_TRUE(platform::FreeDiskSpace(temp.Narrow(), &bytes));
  EXPECT_GT(bytes, 1000u);
}

}  // namespace
