#include "update/file_list.h"

#include <gtest/gtest.h>

#include "temp_folder.h"

namespace {

using testing_support::TempFolder;
using testing_support::WriteFile;

const std::string kHelloHash = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";  // "hello"
const std::string kOtherHash(64, 'a');

TEST(ParseFileList, ReadsOneHashAndNameALine) {
  std::map<std::string, std::string> hashes;
  ASSERT_TRUE(ParseFileList(kHelloHash + "  a.txt\n" + kOtherHash + "  sub/with  spaces.bin\n", &hashes));
  EXPECT_EQ(hashes, (std::map<std::string, std::string>{{"a.txt", kHelloHash}, {"sub/with  spaces.bin", kOtherHash}}));
  EXPECT_TRUE(ParseFileList("", &hashes));
  EXPECT_TRUE(hashes.empty());
}

TEST(ParseFileList, RefusesAnyOtherForm) {
  std::map<std::string, std::string> hashes;
  for (const std::string& text : {kHelloHash + "  a.txt", kHelloHash + " a.txt\n", kHelloHash + "  \n",
                                  kHelloHash.substr(1) + "  a.txt\n", std::string(64, 'A') + "  a.txt\n",
                                  kHelloHash + "  a.txt\n" + kOtherHash + "  a.txt\n", kHelloHash + "  ../a.txt\n",
                                  kHelloHash + "  /etc/passwd\n", kHelloHash + "  a\rb\n"}) {
    EXPECT_FALSE(ParseFileList(text, &hashes)) << text;
  }
}

TEST(FilesMatchList, EveryNamedFileMustHaveItsListedHash) {
  TempFolder temp;
  WriteFile(temp.path() / "a.txt", "hello");
  WriteFile(temp.path() / "sub" / "b.txt", "hello");
  std::atomic<bool> cancel{false};
  const std::map<std::string, std::string> hashes{{"a.txt", kHelloHash}, {"sub/b.txt", kHelloHash}};
  EXPECT_TRUE(FilesMatchList(temp.Narrow(), {"a.txt", "sub/b.txt"}, hashes, cancel, nullptr));
  EXPECT_FALSE(FilesMatchList(temp.Narrow(), {"a.txt", "unlisted.txt"}, hashes, cancel, nullptr));
  WriteFile(temp.path() / "sub" / "b.txt", "hellO");
  EXPECT_FALSE(FilesMatchList(temp.Narrow(), {"sub/b.txt"}, hashes, cancel, nullptr));
  EXPECT_EQ(FileSha256(temp.Narrow("a.txt")), kHelloHash);
  EXPECT_EQ(FileSha256(temp.Narrow("missing")), "");
}

}  // namespace
