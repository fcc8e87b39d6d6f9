// Links inside a folder that is listed, emptied or written: a listing and IsLink name a
// link as a link, emptying removes the link itself, and a file is never created through
// one; nothing behind a link changes.
#include <gtest/gtest.h>

#include "links.h"
#include "platform/file.h"
#include "store/files.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using platform::NativePath;
using testing_support::LinkKind;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

// A client folder holding a file and a link to a folder of the user's with a file in it.
class FolderLinkTest : public testing::TestWithParam<LinkKind> {
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

TEST_P(FolderLinkTest, IsLinkNamesTheLinkItselfOnly) {
  EXPECT_TRUE(platform::IsLink(temp.Narrow("client/linked")));
  for (const char* plain : {"client", "client/game.bin", "client/linked/keep.txt", "client/missing"}) {
    EXPECT_FALSE(platform::IsLink(temp.Narrow(plain))) << plain;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FolderLinkTest, testing::ValuesIn(testing_support::FolderLinkKinds()),
                         [](const testing::TestParamInfo<LinkKind>& info) { return info.param.name; });

// A link where a file is about to be written, to a file of the user's or to a name
// where none is yet: writing must not reach either.
class FileLinkTest : public testing::TestWithParam<LinkKind> {
 protected:
  void SetUp() override {
    WriteFile(temp.path() / "elsewhere" / "keep.txt", "the user's");
    fs::create_directories(temp.path() / "client");
    if (!GetParam().make(temp.path() / "client" / "to-file", temp.path() / "elsewhere" / "keep.txt") ||
        !GetParam().make(temp.path() / "client" / "to-nothing", temp.path() / "elsewhere" / "planted")) {
      GTEST_SKIP() << "this system makes no " << GetParam().name;
    }
  }
  TempFolder temp;
};

TEST_P(FileLinkTest, CreateRefusesToWriteThroughALink) {
  for (const char* name : {"client/to-file", "client/to-nothing"}) {
    EXPECT_TRUE(platform::IsLink(temp.Narrow(name))) << name;
    platform::File file = platform::File::Create(temp.Wide(name), platform::kAttributeNormal, 0);
    EXPECT_FALSE(file.IsOpen()) << name;
    if (file.IsOpen()) file.Write("x", 1);
  }
  EXPECT_EQ(ReadFile(temp.path() / "elsewhere" / "keep.txt"), "the user's");
  EXPECT_FALSE(fs::exists(temp.path() / "elsewhere" / "planted"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileLinkTest, testing::ValuesIn(testing_support::FileLinkKinds()),
                         [](const testing::TestParamInfo<LinkKind>& info) { return info.param.name; });

}  // namespace
