// Links inside a folder that is listed and emptied: a listing names a link as a link,
// and emptying removes the link itself, never anything behind it.
#include <gtest/gtest.h>

#include "app/config_helpers.h"
#include "folder_link.h"
#include "platform/file.h"
#include "temp_folder.h"

namespace testing_support {

void PrintTo(const FolderLinkKind& kind, std::ostream* os) { *os << kind.name; }

}  // namespace testing_support

namespace {

namespace fs = std::filesystem;
using platform::NativePath;
using testing_support::FolderLinkKind;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

// A client folder holding a file and a link to a folder of the user's with a file in it.
class FolderLinkTest : public testing::TestWithParam<FolderLinkKind> {
 protected:
  void SetUp() override {
    WriteFile(temp.path() / "elsewhere" / "keep.txt", "the user's");
    WriteFile(temp.path() / "client" / "game.bin", "x");
    if (!GetParam().make(link, temp.path() / "elsewhere")) GTEST_SKIP() << "this system makes no " << GetParam().name;
  }
  void TearDown() override {
    if (GetParam().removeFromOutside) GetParam().removeFromOutside(link);
  }
  TempFolder temp;
  const fs::path link = temp.path() / "client" / "linked";
};

TEST_P(FolderLinkTest, ListingNamesTheLinkAsALink) {
  platform::FolderSearch search;
  ASSERT_TRUE(search.Open(NativePath::FromAnsi(temp.Narrow("client"))));
  platform::FolderEntry entry;
  int found = 0;
  while (search.Next(&entry)) {
    if (entry.name != NativePath::FromAnsi("linked")) continue;
    ++found;
    EXPECT_TRUE(entry.isLink);
    EXPECT_FALSE(entry.isFolder) << "a folder would be entered";
  }
  EXPECT_EQ(found, 1);
}

TEST_P(FolderLinkTest, EmptyFolderRemovesTheLinkItselfAndNothingBehindIt) {
  // Where the system cannot remove the link, that entry stops the emptying.
  const bool removable = GetParam().removeFromOutside == nullptr;
  EXPECT_EQ(EmptyFolder(temp.Narrow("client")), removable);
  EXPECT_EQ(fs::exists(link), !removable);
  if (removable) {
    EXPECT_TRUE(fs::is_empty(temp.path() / "client"));
  }
  EXPECT_EQ(ReadFile(temp.path() / "elsewhere" / "keep.txt"), "the user's");
}

INSTANTIATE_TEST_SUITE_P(Kinds, FolderLinkTest, testing::ValuesIn(testing_support::FolderLinkKinds()),
                         [](const testing::TestParamInfo<FolderLinkKind>& info) { return info.param.name; });

}  // namespace
