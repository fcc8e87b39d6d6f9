#include "update/journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <utility>

#include "links.h"
#include "platform/file.h"
#include "platform/path.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::LinkKind;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

// A folder's files by '/'-separated name with their content; an empty folder shows as
// its name and a '/', a link as "<link>".
using Tree = std::map<std::string, std::string>;

Tree Snapshot(const fs::path& folder) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().lexically_relative(folder).generic_string();
    if (it->is_symlink()) {
      tree[name] = "<link>";
    } else if (it->is_directory()) {
      if (fs::is_empty(it->path())) tree[name + "/"] = "";
    } else {
      tree[name] = ReadFile(it->path());
    }
  }
  return tree;
}

// Lays out `tree` below `folder`: a name ending in '/' is an empty folder.
void LayOut(const fs::path& folder, const Tree& tree) {
  fs::create_directories(folder);
  for (const auto& [name, content] : tree) {
    if (name.back() == '/') {
      fs::create_directories(folder / name);
    } else {
      WriteFile(folder / name, content);
    }
  }
}

// Whether '\\' separates paths here: then it cannot be part of a record name.
bool BackslashSeparates() { return platform::IsPathSeparator(L'\\'); }

TEST(ClientFilesRecord, SurvivesARoundTripAndRefusesAnotherShape) {
  TempFolder temp;
  ClientFiles record;
  record.version = "2.1";
  record.baseDir = "client";
  record.files = {{"a.bin", {5, 0xFFFFFFFFu, std::string(64, 'c')}}, {"data/\xC3\xA9.txt", {1ull << 33, 7, ""}}};
  ASSERT_TRUE(SaveClientFiles(temp.Narrow("ClientFiles.json"), record));
  ClientFiles loaded;
  ASSERT_TRUE(LoadClientFiles(temp.Narrow("ClientFiles.json"), &loaded));
  EXPECT_EQ(loaded, record);

  for (const char* text : {"[]", R"({"Files": {}})", R"({"Files": [{"Name": "a", "Size": -1, "Crc32": 1}]})",
                           R"({"Files": [{"Name": 3, "Size": 1, "Crc32": 1}]})",
                           R"({"Files": [{"Name": "a", "Size": 1, "Crc32": 1, "Sha256": "ABC"}]})",
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
  EXPECT_EQ(record.files, (std::map<std::string, ClientFile>{{"a.txt", {5, 0x3610A686u, ""}}, {"sub/b.txt", {0, 0, ""}}}));
  EXPECT_EQ(last, 1.0);
  cancel = true;
  EXPECT_FALSE(ScanClientFolder(temp.Narrow("client"), &record, cancel, nullptr));
}

TEST(ScanClientFolder, LeavesOutNamesNoPackageCanHoldSoTheRecordReadsBack) {
  TempFolder temp;
  WriteFile(temp.path() / "client" / "a.txt", "hello");
  // Names only a POSIX system lets the player make.
  if (!BackslashSeparates()) WriteFile(temp.path() / "client" / "con.txt", "player's");
  ClientFiles record;
  std::atomic<bool> cancel{false};
  ASSERT_TRUE(ScanClientFolder(temp.Narrow("client"), &record, cancel, nullptr));
  EXPECT_EQ(record.files, (std::map<std::string, ClientFile>{{"a.txt", {5, 0x3610A686u, ""}}}));
  ASSERT_TRUE(SaveClientFiles(temp.Narrow("ClientFiles.json"), record));
  ClientFiles loaded;
  EXPECT_TRUE(LoadClientFiles(temp.Narrow("ClientFiles.json"), &loaded));
}

TEST(ReadJournal, RefusesUnsafeNamesAndStagedNamesOtherThanDigits) {
  TempFolder temp;
  const std::string path = temp.Narrow("journal.json");
  UpdateJournal good;
  good.version = "2";
  good.moves = {{"0", "data/\xC3\xA9.txt"}, {"17", "a b/.hidden"}};
  good.removes = {"old/x..y", "top.txt"};
  // A literal file name on a system where '\\' does not separate.
  if (!BackslashSeparates()) good.removes.push_back("dir\\a.txt");
  good.record.files = {{"data/\xC3\xA9.txt", {3, 4, ""}}};
  ASSERT_TRUE(WriteJournal(path, good));
  UpdateJournal read;
  ASSERT_TRUE(ReadJournal(path, &read));
  EXPECT_EQ(read.version, good.version);
  EXPECT_EQ(read.moves, good.moves);
  EXPECT_EQ(read.removes, good.removes);
  EXPECT_EQ(read.record, good.record);

  std::vector<std::string> unsafe = {"../x",    "a/../../x", "/etc/x", "C:x",  "a//b",     "con.txt",
                                     "a\x01" "b", "a/",        "a/./b",  "data/aux", "a/.. /b", "x\x7f",
                                     ""};
  if (BackslashSeparates()) unsafe.insert(unsafe.end(), {"dir\\a.txt", "\\x"});
  for (const std::string& name : unsafe) {
    UpdateJournal asMove = good;
    asMove.moves[1].name = name;
    UpdateJournal asRemove = good;
    asRemove.removes.push_back(name);
    UpdateJournal asRecord = good;
    asRecord.record.files[name] = {1, 1, ""};
    for (const UpdateJournal* bad : {&asMove, &asRemove, &asRecord}) {
      ASSERT_TRUE(WriteJournal(path, *bad));
      EXPECT_FALSE(ReadJournal(path, &read)) << "'" << name << "' in " << (bad == &asMove     ? "a move"
                                                                           : bad == &asRemove ? "the removes"
                                                                                              : "the record");
    }
  }
  // Bytes that are not UTF-8, which only another writer than ours puts there.
  UpdateJournal placeholder = good;
  placeholder.removes.push_back("placeholder.txt");
  ASSERT_TRUE(WriteJournal(path, placeholder));
  std::string text = ReadFile(path);
  text.replace(text.find("placeholder"), 11, "\xFF");
  WriteFile(path, text);
  EXPECT_FALSE(ReadJournal(path, &read)) << "a name that is not UTF-8";

  for (const char* staged : {"../1", "1a", "", "-1", " 1", "1/2"}) {
    UpdateJournal bad = good;
    bad.moves[0].unpacked = staged;
    ASSERT_TRUE(WriteJournal(path, bad));
    EXPECT_FALSE(ReadJournal(path, &read)) << "staged '" << staged << "'";
  }
}

// A client folder and its update folder made on disk for one journal.
struct UpdateSetup {
  Tree before;  // the client folder
  std::vector<std::pair<std::string, std::string>> moves;  // name and new content
  std::vector<std::string> removes;
  std::vector<std::string> readOnly;  // files of `before` made read-only
  std::vector<std::string> unstaged;  // moves whose staged file is not there
};

struct Laid {
  std::string client;
  UpdateFolders folders;
  UpdateJournal journal;
};

Laid LayOutUpdate(const TempFolder& temp, const UpdateSetup& setup) {
  Laid laid{temp.Narrow("client"), UpdateFoldersFor(temp.Narrow("client")), {}};
  LayOut(temp.path() / "client", setup.before);
  fs::create_directories(temp.path() / "client.update" / "files");
  for (const std::string& name : setup.readOnly) {
    fs::permissions(temp.path() / "client" / name, fs::perms::owner_write, fs::perm_options::remove);
  }
  laid.journal.version = "2";
  for (std::size_t i = 0; i < setup.moves.size(); ++i) {
    const auto& [name, content] = setup.moves[i];
    // Staged names need not follow the moves' order.
    const std::string staged = std::to_string(10 + 7 * i);
    laid.journal.moves.push_back({staged, name});
    if (std::find(setup.unstaged.begin(), setup.unstaged.end(), name) == setup.unstaged.end()) {
      WriteFile(temp.path() / "client.update" / "files" / staged, content);
    }
  }
  laid.journal.removes = setup.removes;
  return laid;
}

std::size_t g_stopAfter = 0;

bool StopAfter(std::size_t done) { return done < g_stopAfter; }

class HookResetter : public testing::Test {
 protected:
  void TearDown() override { SetAfterStepHookForTesting(nullptr); }
};

// The original fixture: a file replaced, one added in a new folder, one removed with
// its folder, one kept.
class ApplyJournalTest : public HookResetter {
 protected:
  void SetUp() override {
    laid_ = LayOutUpdate(temp_, {{{"keep.txt", "old keep"}, {"data/change.txt", "old"}, {"gone/removed.txt", "bye"}},
                                 {{"data/change.txt", "new"}, {"added/new.txt", "added"}},
                                 {"gone/removed.txt"},
                                 {},
                                 {}});
  }

  void ExpectApplied() {
    EXPECT_EQ(Snapshot(temp_.path() / "client"),
              (Tree{{"keep.txt", "old keep"}, {"data/change.txt", "new"}, {"added/new.txt", "added"}}));
  }

  TempFolder temp_;
  Laid laid_;
};

TEST_F(ApplyJournalTest, MovesStagedFilesAndRemovesGoneOnes) {
  ASSERT_EQ(CheckJournal(laid_.folders, laid_.client, laid_.journal), JournalCheck::Ready);
  ASSERT_TRUE(ApplyJournal(laid_.folders, laid_.client, laid_.journal));
  ExpectApplied();
}

TEST_F(ApplyJournalTest, ASecondRunFinishesWhatAnInterruptedOneBegan) {
  ASSERT_TRUE(WriteJournal(laid_.folders.journal, laid_.journal));
  g_stopAfter = 2;
  SetAfterStepHookForTesting(&StopAfter);
  ASSERT_FALSE(ApplyJournal(laid_.folders, laid_.client, laid_.journal));
  SetAfterStepHookForTesting(nullptr);
  UpdateJournal read;
  ASSERT_TRUE(ReadJournal(laid_.folders.journal, &read));
  EXPECT_EQ(read.moves, laid_.journal.moves);
  EXPECT_EQ(read.removes, laid_.journal.removes);
  ASSERT_TRUE(ApplyJournal(laid_.folders, laid_.client, read));
  ExpectApplied();
  // And once more: nothing left to do is no failure.
  EXPECT_TRUE(ApplyJournal(laid_.folders, laid_.client, read));
  ExpectApplied();
}

TEST_F(ApplyJournalTest, AFileNeitherStagedNorInPlaceFailsTheStep) {
  laid_.journal.moves.push_back({"99", "never/staged.txt"});
  EXPECT_EQ(CheckJournal(laid_.folders, laid_.client, laid_.journal), JournalCheck::Conflict);
  EXPECT_FALSE(ApplyJournal(laid_.folders, laid_.client, laid_.journal));
}

// One change a package can make, from the client folder before to the one after.
struct Transition {
  const char* what;
  UpdateSetup setup;
  Tree after;
  bool backslashNames = false;  // only where '\\' does not separate
};

void PrintTo(const Transition& transition, std::ostream* os) { *os << transition.what; }

class TransitionTest : public HookResetter, public testing::WithParamInterface<Transition> {};

TEST_P(TransitionTest, EndsAtTheNewContentAlsoWhenRunAgainAfterAnInterruption) {
  const Transition& t = GetParam();
  if (t.backslashNames && BackslashSeparates()) GTEST_SKIP() << "'\\' separates on this system";
  {
    TempFolder temp;
    const Laid laid = LayOutUpdate(temp, t.setup);
    EXPECT_EQ(CheckJournal(laid.folders, laid.client, laid.journal), JournalCheck::Ready);
    ASSERT_TRUE(ApplyJournal(laid.folders, laid.client, laid.journal));
    EXPECT_EQ(Snapshot(temp.path() / "client"), t.after);
    // Ended after the last step, before the journal went: the replay changes nothing.
    ASSERT_TRUE(ApplyJournal(laid.folders, laid.client, laid.journal));
    EXPECT_EQ(Snapshot(temp.path() / "client"), t.after) << "run twice";
  }
  const std::size_t steps = t.setup.moves.size() + t.setup.removes.size();
  for (std::size_t k = 1; k <= steps; ++k) {
    TempFolder temp;
    const Laid laid = LayOutUpdate(temp, t.setup);
    g_stopAfter = k;
    SetAfterStepHookForTesting(&StopAfter);
    EXPECT_FALSE(ApplyJournal(laid.folders, laid.client, laid.journal)) << "stopped after step " << k;
    SetAfterStepHookForTesting(nullptr);
    ASSERT_TRUE(ApplyJournal(laid.folders, laid.client, laid.journal)) << "run again after step " << k;
    EXPECT_EQ(Snapshot(temp.path() / "client"), t.after) << "run again after step " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, TransitionTest,
    testing::Values(
        Transition{"FileBecomesFolder",
                   {{{"data", "old file"}, {"keep.txt", "k"}}, {{"data/x", "new x"}}, {"data"}, {}, {}},
                   {{"data/x", "new x"}, {"keep.txt", "k"}}},
        Transition{"FolderBecomesFile",
                   {{{"data/x", "old x"}, {"data/y", "old y"}, {"data/empty/", ""}},
                    {{"data", "new"}},
                    {"data/x", "data/y"},
                    {},
                    {}},
                   {{"data", "new"}}},
        Transition{"RemovedFileEmptiesItsFolders",
                   {{{"gone/sub/removed.txt", "bye"}, {"keep.txt", "k"}}, {}, {"gone/sub/removed.txt"}, {}, {}},
                   {{"keep.txt", "k"}}},
        // A run ended between removing a file and removing the folders it left empty.
        Transition{"EmptiedFoldersOfAFileGoneBefore",
                   {{{"gone/sub/", ""}, {"keep.txt", "k"}}, {}, {"gone/sub/removed.txt"}, {}, {}},
                   {{"keep.txt", "k"}}},
        // The player made a folder of that name: it is not the recorded file.
        Transition{"FolderAtARemovedNameStays",
                   {{{"data/mine.txt", "player's"}}, {}, {"data"}, {}, {}},
                   {{"data/mine.txt", "player's"}}},
        Transition{"NestedMovesIntoNewFolders",
                   {{{"keep.txt", "k"}},
                    {{"a/b/c/new.txt", "n"}, {"a/b/other.txt", "o"}, {"top.txt", "t"}},
                    {},
                    {},
                    {}},
                   {{"keep.txt", "k"}, {"a/b/c/new.txt", "n"}, {"a/b/other.txt", "o"}, {"top.txt", "t"}}},
        Transition{"ReadOnlyFilesReplacedAndRemoved",
                   {{{"ro.bin", "old"}, {"ro-gone.bin", "bye"}, {"dir/ro-in.bin", "in"}},
                    {{"ro.bin", "new"}},
                    {"ro-gone.bin", "dir/ro-in.bin"},
                    {"ro.bin", "ro-gone.bin", "dir/ro-in.bin"},
                    {}},
                   {{"ro.bin", "new"}}},
        // Where letter case counts the two names are two files, and the old one goes;
        // where it does not, they are one file, which must end with the new content.
        Transition{"CaseOnlyRenames",
                   {{{"Data.txt", "old"}, {"Maps/a.txt", "old a"}, {"Maps/b.txt", "old b"}},
                    {{"data.txt", "new"}, {"maps/a.txt", "new a"}, {"maps/b.txt", "new b"}},
                    {"Data.txt", "Maps/a.txt", "Maps/b.txt"},
                    {},
                    {}},
                   {{"data.txt", "new"}, {"maps/a.txt", "new a"}, {"maps/b.txt", "new b"}}},
        Transition{"BackslashIsPartOfTheName",
                   {{{"dir\\a.txt", "old literal"}, {"dir/a.txt", "real a"}, {"dir\\b.txt", "gone"}, {"dir/b.txt", "real b"}},
                    {{"dir\\a.txt", "new literal"}},
                    {"dir\\b.txt"},
                    {},
                    {}},
                   {{"dir\\a.txt", "new literal"}, {"dir/a.txt", "real a"}, {"dir/b.txt", "real b"}},
                   true}),
    [](const testing::TestParamInfo<Transition>& info) { return std::string(info.param.what); });

// Journals the apply cannot carry out: the check says so before anything changes, and
// the apply run anyway fails.
struct Conflicting {
  const char* what;
  UpdateSetup setup;
};

void PrintTo(const Conflicting& conflicting, std::ostream* os) { *os << conflicting.what; }

class ConflictTest : public testing::TestWithParam<Conflicting> {};

TEST_P(ConflictTest, IsFoundBeforeAnythingChangesAndFailsTheApply) {
  TempFolder temp;
  const Laid laid = LayOutUpdate(temp, GetParam().setup);
  const Tree before = Snapshot(temp.path());
  EXPECT_EQ(CheckJournal(laid.folders, laid.client, laid.journal), JournalCheck::Conflict);
  EXPECT_EQ(Snapshot(temp.path()), before);
  EXPECT_FALSE(ApplyJournal(laid.folders, laid.client, laid.journal));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConflictTest,
    testing::Values(
        Conflicting{"StagedFileMissing", {{{"keep.txt", "k"}}, {{"new.txt", "n"}}, {}, {}, {"new.txt"}}},
        Conflicting{"KeptFileWhereAFolderMustBe", {{{"data", "player's"}}, {{"data/x", "new"}}, {}, {}, {}}},
        Conflicting{"FolderWithAKeptFileWhereAFileGoes",
                    {{{"data/mine.txt", "player's"}, {"data/old.txt", "old"}}, {{"data", "new"}}, {"data/old.txt"}, {}, {}}},
        Conflicting{"MovedFileWhereAnotherMoveNeedsAFolder", {{}, {{"a", "file"}, {"a/b", "below"}}, {}, {}, {}}},
        Conflicting{"PathTooLong", {{}, {{std::string(platform::kMaxPath, 'n'), "n"}}, {}, {}, {}}}),
    [](const testing::TestParamInfo<Conflicting>& info) { return std::string(info.param.what); });

// A link inside the client or update folder leading to a folder of the user's: nothing
// there may change, whichever name leads through it.
class LinkedUpdateTest : public testing::TestWithParam<LinkKind> {};

TEST_P(LinkedUpdateTest, IsAConflictAndTheApplyLeavesTheOutsideAlone) {
  struct Case {
    const char* what;
    const char* link;  // below the temporary folder, pointing at "outside"
    UpdateSetup setup;
  };
  const Case cases[] = {
      {"parent of a move", "client/linked", {{{"game.bin", "g"}}, {{"linked/new.txt", "n"}}, {}, {}, {}}},
      {"parent of a remove", "client/linked", {{{"game.bin", "g"}}, {}, {"linked/keep.txt"}, {}, {}}},
      {"the moved name", "client/linked", {{{"game.bin", "g"}}, {{"linked", "n"}}, {}, {}, {}}},
      {"the update's files folder", "client.update/files", {{{"game.bin", "g"}}, {{"new.txt", "n"}}, {}, {}, {"new.txt"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder temp;
    // The staged file the journal names ("10") waits outside when the files folder is the link.
    const Tree outside{{"keep.txt", "the user's"}, {"10", "outside"}};
    LayOut(temp.path() / "outside", outside);
    const fs::path link = temp.path() / c.link;
    fs::create_directories(link.parent_path());
    if (!GetParam().make(link, temp.path() / "outside")) GTEST_SKIP() << "this system makes no " << GetParam().name;
    const Laid laid = LayOutUpdate(temp, c.setup);
    EXPECT_TRUE(PassesThroughLink(temp.Narrow(), c.link));
    EXPECT_EQ(CheckJournal(laid.folders, laid.client, laid.journal), JournalCheck::Conflict);
    EXPECT_FALSE(ApplyJournal(laid.folders, laid.client, laid.journal));
    EXPECT_EQ(Snapshot(temp.path() / "outside"), outside);
    EXPECT_FALSE(fs::exists(temp.path() / "client" / "new.txt"));
    if (GetParam().removeFromOutside) GetParam().removeFromOutside(link);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LinkedUpdateTest, testing::ValuesIn(testing_support::FolderLinkKinds()),
                         [](const testing::TestParamInfo<LinkKind>& info) { return info.param.name; });

TEST(CheckJournal, AFileHeldOpenByARunningProgramHoldsTheUpdate) {
  if (!BackslashSeparates()) GTEST_SKIP() << "only Windows keeps a program from replacing a file held open";
  for (const bool removed : {false, true}) {
    SCOPED_TRACE(removed ? "a removed file" : "a replaced file");
    TempFolder temp;
    UpdateSetup setup{{{"held.bin", "running"}, {"other.bin", "o"}}, {{"other.bin", "new"}}, {}, {}, {}};
    if (removed) {
      setup.removes = {"held.bin"};
    } else {
      setup.moves.push_back({"held.bin", "new"});
    }
    const Laid laid = LayOutUpdate(temp, setup);
    // Shared for reading only, as a running game holds its files.
    const platform::File held = platform::File::OpenRead(temp.Wide("client/held.bin"));
    ASSERT_TRUE(held.IsOpen());
    const Tree before = Snapshot(temp.path());
    EXPECT_EQ(CheckJournal(laid.folders, laid.client, laid.journal), JournalCheck::Held);
    EXPECT_EQ(Snapshot(temp.path()), before);
  }
}

}  // namespace
