#include "app/config_helpers.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "app/text.h"
#include "platform/appdata.h"
#include "platform/codepage.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/path.h"
#include "store/files.h"
#include "store/json_file.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using platform::fault::Op;

class ConfigTest : public testing::Test {
 protected:
  void TearDown() override { platform::fault::Clear(); }
  TempFolder temp;
};

Json::Value Parse(const std::string& text) {
  TempFolder temp;
  WriteFile(temp.path() / "doc.json", text);
  Json::Value document;
  EXPECT_TRUE(ReadJsonFile(temp.Narrow("doc.json"), document)) << text;
  return document;
}

TEST_F(ConfigTest, ReadsJsonWithComments) {
  WriteFile(temp.path() / "Setting.json",
            "// settings\n{\n  /* the title */ \"Title\": \"Game\", // trailing\n  \"FixedWidth\": 800\n}\n");
  Json::Value settings;
  ASSERT_TRUE(ReadJsonFile(temp.Narrow("Setting.json"), settings));
  EXPECT_EQ(ReadJsonText(settings, "Title"), "Game");
  EXPECT_EQ(ReadJsonInt(settings, "FixedWidth"), 800);
}

TEST_F(ConfigTest, MissingOrBrokenFilesAreFailedParses) {
  Json::Value document;
  EXPECT_FALSE(ReadJsonFile(temp.Narrow("missing.json"), document));
  WriteFile(temp.path() / "broken.json", "{\"Title\": ");
  EXPECT_FALSE(ReadJsonFile(temp.Narrow("broken.json"), document));
  WriteFile(temp.path() / "unreadable.json", "{}");
  platform::fault::Inject(Op::Read, "unreadable.json");
  EXPECT_FALSE(ReadJsonFile(temp.Narrow("unreadable.json"), document));
}

// The JSON reader throws past a thousand nested arrays or objects; any file or server
// may send that many (Setting.json, Version.json, the records, the version answer).
TEST_F(ConfigTest, NestingTooDeepIsAFailedParse) {
  for (const std::string& text : {std::string(1100, '['), "{\"a\":" + std::string(1100, '[') + "1"}) {
    Json::Value document;
    EXPECT_FALSE(ParseJsonText(text, document));
    EXPECT_TRUE(document.isNull());
    WriteFile(temp.path() / "deep.json", text);
    EXPECT_FALSE(ReadJsonFile(temp.Narrow("deep.json"), document));
  }
  Json::Value document;
  EXPECT_TRUE(ParseJsonText(std::string(500, '[') + std::string(500, ']'), document));
}

struct KeyCase {
  const char* json;
  const char* text;
  int integer;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.json; }

class KeyReadTest : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyReadTest, ReadsTextAndIntegerWithDefaults) {
  const Json::Value document = Parse(GetParam().json);
  EXPECT_EQ(ReadJsonText(document, "k"), GetParam().text);
  EXPECT_EQ(ReadJsonInt(document, "k"), GetParam().integer);
}

INSTANTIATE_TEST_SUITE_P(
    Values, KeyReadTest,
    testing::Values(KeyCase{"{}", "", 0}, KeyCase{"{\"k\": null}", "", 0}, KeyCase{"{\"K\": \"case\"}", "", 0},
                    KeyCase{"{\"k\": \"text\"}", "text", 0}, KeyCase{"{\"k\": \"12\"}", "12", 0},
                    KeyCase{"{\"k\": 7}", "", 7}, KeyCase{"{\"k\": -5}", "", -5}, KeyCase{"{\"k\": 3.9}", "", 3},
                    KeyCase{"{\"k\": -3.9}", "", -3}, KeyCase{"{\"k\": true}", "", 1}, KeyCase{"{\"k\": false}", "", 0},
                    KeyCase{"{\"k\": 2147483647}", "", INT_MAX}, KeyCase{"{\"k\": -2147483648}", "", INT_MIN},
                    KeyCase{"{\"k\": 2147483648}", "", 0}, KeyCase{"{\"k\": -2147483649}", "", 0},
                    KeyCase{"{\"k\": 1e20}", "", 0}, KeyCase{"{\"k\": {\"a\": 1}}", "", 0},
                    KeyCase{"{\"k\": [1]}", "", 0}, KeyCase{"[\"k\"]", "", 0}, KeyCase{"\"k\"", "", 0},
                    KeyCase{"42", "", 0}));

TEST_F(ConfigTest, VersionFileIsRewrittenInTheStyledLayoutKeepingOtherKeys) {
  const std::string path = temp.Narrow("Version.json");
  WriteFile(path, "{\"Version\": \"1.0\", \"zeta\": [1, 2], \"Alpha\": {\"b\": true, \"a\": null}}");
  Json::Value version;
  ASSERT_TRUE(ReadJsonFile(path, version));
  version["Version"] = "2.0";
  ASSERT_TRUE(WriteJsonFile(path, version));
  EXPECT_EQ(ReadFile(path),
            "{\n"
            "   \"Alpha\" : {\n"
            "      \"a\" : null,\n"
            "      \"b\" : true\n"
            "   },\n"
            "   \"Version\" : \"2.0\",\n"
            "   \"zeta\" : [ 1, 2 ]\n"
            "}\n");
}

TEST_F(ConfigTest, FailedRewriteKeepsTheOldFile) {
  const std::string path = temp.Narrow("Version.json");
  const std::string old = "{\"Version\": \"1.0\"}";
  Json::Value version;
  version["Version"] = "2.0";
  for (Op op : {Op::Create, Op::Write, Op::Replace}) {
    WriteFile(path, old);
    platform::fault::Inject(op, "Version.json");
    EXPECT_FALSE(WriteJsonFile(path, version));
    platform::fault::Clear();
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
  }
}

TEST_F(ConfigTest, CheckWritableLeavesNoFile) {
  const std::string path = temp.Narrow("Check.dat");
  EXPECT_TRUE(CheckWritable(path));
  EXPECT_FALSE(fs::exists(path));

  WriteFile(path, "an older probe, longer than sixteen bytes");
  EXPECT_TRUE(CheckWritable(path));
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(ConfigTest, CheckWritableFailsWhenTheProbeCannotBeWrittenOrRead) {
  const std::string path = temp.Narrow("Check.dat");
  for (Op op : {Op::Create, Op::Write, Op::Open, Op::Read}) {
    platform::fault::Inject(op, "Check.dat");
    EXPECT_FALSE(CheckWritable(path)) << static_cast<int>(op);
    platform::fault::Clear();
    EXPECT_FALSE(fs::exists(path)) << static_cast<int>(op);
  }
}

TEST_F(ConfigTest, EmptyFolderOnMissingAndEmptyFolders) {
  EXPECT_TRUE(EmptyFolder(temp.Narrow("missing")));
  fs::create_directory(temp.path() / "empty");
  EXPECT_TRUE(EmptyFolder(temp.Narrow("empty")));
  EXPECT_TRUE(fs::is_directory(temp.path() / "empty"));
}

TEST_F(ConfigTest, EmptyFolderDeletesANestedTreeWithReadOnlyFiles) {
  WriteFile(temp.path() / "client/game.exe", "x");
  WriteFile(temp.path() / "client/data/maps/m1.bin", "x");
  WriteFile(temp.path() / "client/data/readonly.txt", "x");
  fs::create_directories(temp.path() / "client/empty/inner");
  fs::permissions(temp.path() / "client/data/readonly.txt", fs::perms::owner_read);
  platform::File::Create(temp.Wide("client/data/ro2"), platform::kAttributeReadOnly, 0);

  EXPECT_TRUE(EmptyFolder(temp.Narrow("client")));
  EXPECT_TRUE(fs::is_directory(temp.path() / "client"));
  EXPECT_TRUE(fs::is_empty(temp.path() / "client"));
}

// Names outside the ANSI code page (on Windows; on POSIX every name is bytes), which a
// search in that code page lists with '?' in place of each such character.
struct ForeignNameCase {
  const char* label;
  const char8_t* relative;
  bool readOnly;
};

void PrintTo(const ForeignNameCase& c, std::ostream* os) { *os << c.label; }

class EmptyFolderForeignNameTest : public testing::TestWithParam<ForeignNameCase> {
 protected:
  TempFolder temp;
};

TEST_P(EmptyFolderForeignNameTest, DeletesTheEntrySoThatLaterInstallsCanRun) {
  const fs::path client = temp.path() / "client";
  const fs::path file = client / fs::path(GetParam().relative);
  WriteFile(file, "x");
  ASSERT_TRUE(fs::exists(file));
  if (GetParam().readOnly) fs::permissions(file, fs::perms::owner_read);

  EXPECT_TRUE(EmptyFolder(temp.Narrow("client")));
  EXPECT_TRUE(fs::is_directory(client));
  EXPECT_TRUE(fs::is_empty(client));
}

INSTANTIATE_TEST_SUITE_P(
    Names, EmptyFolderForeignNameTest,
    testing::Values(ForeignNameCase{"File", u8"\u6f22\u5b57.txt", false},
                    ForeignNameCase{"ReadOnlyFile", u8"\u0416\u6f22\u05d0.dat", true},
                    ForeignNameCase{"FolderAndFileInside", u8"\u6f22\u5b57/\u0e01\u05d0/data.bin", false}),
    [](const testing::TestParamInfo<ForeignNameCase>& info) { return info.param.label; });

TEST_F(ConfigTest, EmptyFolderStopsAtAnUndeletableFile) {
  for (const char* name : {"file-a", "file-b", "file-c", "file-d", "file-e"}) WriteFile(temp.path() / "client" / name, name);
  // The search order is the system's; find which file comes in the middle.
  std::vector<std::string> order;
  platform::FolderSearch search;
  ASSERT_TRUE(search.Open(platform::NativePath::FromAnsi(temp.Narrow("client"))));
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    for (const char* name : {"file-a", "file-b", "file-c", "file-d", "file-e"}) {
      if (entry.name == platform::NativePath::FromAnsi(name)) order.push_back(name);
    }
  }
  ASSERT_EQ(order.size(), 5u);
  platform::fault::Inject(Op::Remove, platform::PathSeparator() + order[2]);

  EXPECT_FALSE(EmptyFolder(temp.Narrow("client")));
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(fs::exists(temp.path() / "client" / order[i]), i >= 2) << order[i];
  }
}

TEST_F(ConfigTest, EmptyFolderFailsWhenASubfolderCannotBeRemoved) {
  WriteFile(temp.path() / "client/sub/file", "x");
  platform::fault::Inject(Op::RemoveFolder, "sub");
  EXPECT_FALSE(EmptyFolder(temp.Narrow("client")));
  EXPECT_FALSE(fs::exists(temp.path() / "client/sub/file"));
  EXPECT_TRUE(fs::exists(temp.path() / "client/sub"));
}

TEST_F(ConfigTest, EmptyFolderRefusesPathsBeyondTheLimit) {
  const std::string deep = temp.Narrow(std::string(platform::kMaxPath, 'x'));
  EXPECT_FALSE(EmptyFolder(deep)) << "a folder the search cannot name is not reported as emptied";
}

TEST(TextHelpers, ConvertBetweenNarrowAndWide) {
  EXPECT_EQ(platform::AnsiToWide(""), L"");
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToAnsi(L""), "");
  EXPECT_EQ(Utf8ToWide("\xE5\x90\xAF\xE5\x8A\xA8 caf\xC3\xA9"), L"\u542F\u52A8 caf\u00E9");
  EXPECT_EQ(platform::AnsiToWide("Launcher"), L"Launcher");
  EXPECT_EQ(WideToAnsi(L"Launcher"), "Launcher");
}

TEST(TextHelpers, IntToWideFormatsDecimal) {
  EXPECT_EQ(IntToWide(0), L"0");
  EXPECT_EQ(IntToWide(-5), L"-5");
  EXPECT_EQ(IntToWide(100), L"100");
  EXPECT_EQ(IntToWide(INT_MIN), L"-2147483648");
}

TEST(TextHelpers, PercentTextTruncatesTowardZero) {
  EXPECT_EQ(PercentText(0.0f), L"0%");
  EXPECT_EQ(PercentText(0.427f), L"42%");
  EXPECT_EQ(PercentText(0.999f), L"99%");
  EXPECT_EQ(PercentText(1.0f / 3.0f), L"33%");
  EXPECT_EQ(PercentText(2.0f / 3.0f), L"66%");
  EXPECT_EQ(PercentText(1.0f), L"100%");
}

}  // namespace
