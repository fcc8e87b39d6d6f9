#include "zip/archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/os.h"
#include "temp_folder.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using zip_testing::Entry;
using zip_testing::Zip;

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string CaseName(std::size_t index) { return "Case" + std::to_string(index); }

bool IsWindows() { return std::string(platform::OsName()) == "Windows"; }

class ArchiveTest : public testing::Test {
 protected:
  void TearDown() override {
    platform::fault::Clear();
    ArchiveClose(archive);
  }

  Archive* Open(const Zip& zip, const std::string& file = "a.zip") {
    ArchiveClose(archive);
    WriteFile(temp.path() / file, zip.Build());
    archive = ArchiveOpen(temp.Wide(file));
    if (archive) {
      EXPECT_EQ(ArchiveSetBaseDir(archive, temp.Wide("out")), ArchiveOk);
    }
    return archive;
  }

  std::int32_t Unpack(std::int32_t index) {
    ArchiveEntry entry;
    const std::int32_t result = ArchiveGetEntry(archive, index, &entry);
    return result != ArchiveOk ? result : ArchiveUnpackEntry(archive, index, entry.name);
  }

  ArchiveEntry Get(std::int32_t index) {
    ArchiveEntry entry;
    EXPECT_EQ(ArchiveGetEntry(archive, index, &entry), ArchiveOk) << index;
    return entry;
  }

  fs::path Out(const std::string& relative = "") const { return temp.path() / "out" / relative; }

  // Every path below `root`, relative and with forward slashes.
  static std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      paths.insert(fs::relative(it->path(), root).generic_string());
    }
    return paths;
  }

  TempFolder temp;
  Archive* archive = nullptr;
};

TEST_F(ArchiveTest, CountQueryAndIndexLimits) {
  Zip zip;
  zip.entries = {zip_testing::File("a.txt", "alpha"), zip_testing::File("b.txt", "beta")};
  ASSERT_TRUE(Open(zip));
  ArchiveEntry entry;
  entry.size = 99;
  ASSERT_EQ(ArchiveGetEntry(archive, -1, &entry), ArchiveOk);
  EXPECT_EQ(entry.index, 2);
  EXPECT_EQ(entry.name[0], L'\0');
  EXPECT_EQ(entry.size, 0);
  EXPECT_EQ(entry.compressedSize, 0);
  EXPECT_EQ(ArchiveGetEntry(archive, 2, &entry), ArchiveErrArgs);
  EXPECT_EQ(ArchiveGetEntry(archive, -2, &entry), ArchiveErrArgs);
  EXPECT_EQ(ArchiveUnpackEntry(archive, 2, L"x"), ArchiveErrArgs);
  EXPECT_EQ(ArchiveUnpackEntry(archive, -1, L"x"), ArchiveErrArgs);
  EXPECT_EQ(ArchiveSetBaseDir(archive, L""), ArchiveErrArgs);
  EXPECT_EQ(ArchiveSetBaseDir(archive, std::wstring(300, L'd')), ArchiveErrArgs);
  EXPECT_EQ(Unpack(1), ArchiveOk) << "a refused base directory keeps the previous one";
  EXPECT_EQ(ReadFile(Out("b.txt")), "beta");
}

TEST_F(ArchiveTest, MissingFilesAndNonArchivesDoNotOpen) {
  EXPECT_EQ(ArchiveOpen(temp.Wide("missing.zip")), nullptr);
  WriteFile(temp.path() / "text.zip", "just text, no archive");
  EXPECT_EQ(ArchiveOpen(temp.Wide("text.zip")), nullptr);
}

TEST_F(ArchiveTest, StoredAndDeflatedEntriesGiveIdenticalFiles) {
  const std::string content = zip_testing::Text(70000) + zip_testing::NoiseBytes(30000, 5);
  Zip zip;
  zip.entries = {zip_testing::File("stored.bin", content, zip_testing::kStored),
                 zip_testing::File("deflated.bin", content), zip_testing::File("empty.bin", "")};
  ASSERT_TRUE(Open(zip));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Unpack(i), ArchiveOk) << i;
  EXPECT_TRUE(ReadFile(Out("stored.bin")) == content);
  EXPECT_TRUE(ReadFile(Out("deflated.bin")) == content);
  EXPECT_TRUE(fs::exists(Out("empty.bin")));
  EXPECT_EQ(fs::file_size(Out("empty.bin")), 0u);
  const ArchiveEntry stored = Get(0);
  EXPECT_EQ(stored.size, 100000);
  EXPECT_EQ(stored.compressedSize, 100000);
  EXPECT_LT(Get(1).compressedSize, 100000);
}

struct NameCase {
  const char* stored;
  const char* sanitised;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.stored; }

class NameSanitising : public ArchiveTest, public testing::WithParamInterface<NameCase> {};

TEST_P(NameSanitising, DropsPrefixesAndEverythingBeforeAParentStep) {
  Zip zip;
  zip.entries = {zip_testing::File(GetParam().stored, "x")};
  ASSERT_TRUE(Open(zip));
  EXPECT_EQ(std::wstring(Get(0).name), Wide(GetParam().sanitised));
}

INSTANTIATE_TEST_SUITE_P(Table, NameSanitising,
                         testing::Values(NameCase{"plain/a.txt", "plain/a.txt"},
                                         NameCase{"C:\\data\\a.txt", "data\\a.txt"},
                                         NameCase{"/data/a.txt", "data/a.txt"},
                                         NameCase{"data/old/../new/a.txt", "new/a.txt"},
                                         NameCase{"\\\\server\\share\\a.txt", "server\\share\\a.txt"},
                                         NameCase{"C:/D:\\x.txt", "x.txt"},
                                         NameCase{"a\\..\\b.txt", "b.txt"},
                                         NameCase{"a\\../b.txt", "b.txt"},
                                         NameCase{"a/..\\b.txt", "b.txt"},
                                         NameCase{"x/../y\\..\\z.txt", "z.txt"},
                                         NameCase{"/x/../../y.txt", "../y.txt"},
                                         NameCase{"../up.txt", "../up.txt"},
                                         NameCase{"a..b/..c.txt", "a..b/..c.txt"}),
                         [](const testing::TestParamInfo<NameCase>& info) { return CaseName(info.index); });

class NameRefusal : public ArchiveTest, public testing::WithParamInterface<const char*> {};

TEST_P(NameRefusal, WritesNothingAndFailsTheEntry) {
  Zip zip;
  zip.entries = {zip_testing::File(GetParam(), "escaped")};
  ASSERT_TRUE(Open(zip));
  EXPECT_EQ(Unpack(0), ArchiveErrName);
  EXPECT_EQ(Tree(temp.path()), std::set<std::string>{"a.zip"});
}

INSTANTIATE_TEST_SUITE_P(Traversal, NameRefusal,
                         testing::Values("../up.txt", "..\\up.txt", "a/..", "a/../..", "x/./../../y.txt", "...",
                                         ".. /up.txt", "inner/.. ", "C:", "/", "\\\\", "../"),
                         [](const testing::TestParamInfo<const char*>& info) { return CaseName(info.index); });

// Names Windows turns into a device or an alternate data stream are refused on every
// system: a package unpacks the same everywhere.
INSTANTIATE_TEST_SUITE_P(WindowsNames, NameRefusal,
                         testing::Values("CON", "con.txt", "Nul.tar.gz", "CON.", "aux  ", "prn .log", "data/PRN/x.txt",
                                         "maps\\lpt1", "COM0", "com9.ini", "LPT0.", "lpt9", "conin$", "CONOUT$.txt",
                                         "COM\xc2\xb9", "lpt\xc2\xb3.dat", "nul/", "file.txt:stream",
                                         "dir/a:b/c.txt", "a/C:b.txt", "stream:"),
                         [](const testing::TestParamInfo<const char*>& info) { return CaseName(info.index); });

TEST_F(ArchiveTest, NamesThatOnlyResembleDevicesAreUnpacked) {
  const char* names[] = {"console.txt", "com10", "COM", "lpt", "auxiliary/x", "a.con", "nul_", "conin", "comA",
                         "x/con1"};
  Zip zip;
  for (const char* name : names) zip.entries.push_back(zip_testing::File(name, name));
  ASSERT_TRUE(Open(zip));
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_EQ(Unpack(static_cast<std::int32_t>(i)), ArchiveOk) << names[i];
    EXPECT_EQ(ReadFile(Out(names[i])), names[i]);
  }
}

TEST_F(ArchiveTest, RefusesTargetNamesOutsideTheBase) {
  Zip zip;
  zip.entries = {zip_testing::File("a.txt", "alpha")};
  ASSERT_TRUE(Open(zip));
  for (const std::wstring& target :
       {temp.Wide("abs.txt"), std::wstring(L"/abs.txt"), std::wstring(L"\\\\server\\share\\a.txt"),
        std::wstring(L"C:a.txt"), std::wstring(L"D:\\a.txt"), std::wstring(L""), std::wstring(L"a/../../b.txt")}) {
    EXPECT_EQ(ArchiveUnpackEntry(archive, 0, target), ArchiveErrName);
  }
  EXPECT_EQ(Tree(temp.path()), std::set<std::string>{"a.zip"});
}

TEST_F(ArchiveTest, RefusesNamesAndPathsBeyondTheLimits) {
  const std::string base = temp.Narrow("out");
  const std::string fitsEntry(259, 'n');
  Zip zip;
  zip.entries = {zip_testing::File(std::string(260, 'n'), "x"), zip_testing::File(fitsEntry, "y"),
                 zip_testing::File(std::string(259 - base.size() - 1, 'f'), "z"),
                 zip_testing::File(std::string(259 - base.size(), 'f'), "w")};
  ASSERT_TRUE(Open(zip));
  ArchiveEntry entry;
  EXPECT_EQ(ArchiveGetEntry(archive, 0, &entry), ArchiveErrName);
  EXPECT_EQ(ArchiveUnpackEntry(archive, 0, L"x"), ArchiveErrName);
  EXPECT_EQ(Unpack(1), ArchiveErrName) << "the name fits the record but not the path";
  EXPECT_EQ(Unpack(2), ArchiveOk) << "259 characters in all";
  EXPECT_EQ(Unpack(3), ArchiveErrName);
  EXPECT_EQ(Tree(Out()).size(), 1u);
}

struct AttributeCase {
  const char* label;
  std::uint16_t host;
  std::uint32_t external;
  std::uint32_t attributes;
  std::uint32_t posixMode;
  bool link = false;  // a symbolic link (Windows unpacks it as a regular file)
};

void PrintTo(const AttributeCase& c, std::ostream* os) { *os << c.label; }

class Attributes : public ArchiveTest, public testing::WithParamInterface<AttributeCase> {};

TEST_P(Attributes, FollowTheHostSystem) {
  Entry e = zip_testing::File("f", "x");
  e.host = GetParam().host;
  e.externalAttributes = GetParam().external;
  Zip zip;
  zip.entries = {e};
  ASSERT_TRUE(Open(zip));
  const ArchiveEntry entry = Get(0);
  EXPECT_EQ(entry.attributes, GetParam().attributes);
  EXPECT_EQ(entry.posixMode, GetParam().posixMode);
  EXPECT_EQ(entry.link, GetParam().link && !IsWindows());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Attributes,
    testing::Values(AttributeCase{"DosArchive", 0, 0x20, 0x20, 0}, AttributeCase{"DosReadOnly", 0, 0x21, 0x21, 0},
                    AttributeCase{"DosHiddenSystem", 0, 0x06, 0x06, 0},
                    AttributeCase{"DosFolder", 0, 0x10, 0x10, 0}, AttributeCase{"NtfsReadOnly", 11, 0x01, 0x01, 0},
                    AttributeCase{"VfatHidden", 14, 0x22, 0x22, 0},
                    AttributeCase{"UnixExecutable", 3, 0100755u << 16, 0x20, 0755},
                    AttributeCase{"UnixReadOnly", 3, 0100444u << 16, 0x21, 0444},
                    AttributeCase{"UnixFolder", 3, 040755u << 16 | 0x10, 0x30, 0755},
                    AttributeCase{"UnixSetuidDropped", 3, 0106775u << 16, 0x20, 0775},
                    AttributeCase{"UnixDosBitsIgnored", 3, (0100644u << 16) | 0x07, 0x20, 0644},
                    AttributeCase{"UnixLink", 3, 0120777u << 16, 0x20, 0777, true},
                    AttributeCase{"DosBitsLikeALink", 0, 0xA1FF0020u, 0x20, 0},
                    AttributeCase{"OtherHostNoPermissions", 19, 0100755u << 16, 0x20, 0}),
    [](const testing::TestParamInfo<AttributeCase>& info) { return info.param.label; });

TEST_F(ArchiveTest, UnpackedFilesGetTheirPermissions) {
  auto entry = [](const char* name, std::uint16_t host, std::uint32_t external) {
    Entry e = zip_testing::File(name, "#!/bin/sh\n");
    e.host = host;
    e.externalAttributes = external;
    return e;
  };
  Zip zip;
  zip.entries = {entry("game", 3, 0100755u << 16), entry("suid", 3, 0104750u << 16), entry("dos.txt", 0, 0x20),
                 entry("ro.txt", 0, 0x21), entry("unixro.txt", 3, 0100444u << 16)};
  ASSERT_TRUE(Open(zip));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Unpack(i), ArchiveOk) << i;
  for (const char* name : {"ro.txt", "unixro.txt"}) {
    std::uint32_t attributes = 0;
    ASSERT_TRUE(platform::QueryAttributes(temp.Wide("out/" + std::string(name)), &attributes));
    EXPECT_TRUE(attributes & platform::kAttributeReadOnly) << name;
  }
  if (IsWindows()) return;  // permission bits are a POSIX matter
  auto mode = [&](const char* name) { return static_cast<unsigned>(fs::status(Out(name)).permissions()); };
  EXPECT_EQ(mode("game"), 0755u);
  EXPECT_EQ(mode("suid"), 0750u);
  EXPECT_EQ(mode("dos.txt"), 0644u);
  EXPECT_EQ(mode("ro.txt"), 0444u);
  EXPECT_EQ(mode("unixro.txt"), 0444u);
}

platform::FileTime FromUnix(std::int64_t seconds) {
  return static_cast<platform::FileTime>(seconds + 11644473600LL) * 10000000ULL;
}

std::int64_t WriteTimeOnDisk(const fs::path& path) {
  const auto system = std::chrono::file_clock::to_sys(fs::last_write_time(path));
  return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

TEST_F(ArchiveTest, TimesComeFromDosFieldsAndTheExtendedTimestamp) {
  platform::FileTime dos = 0;
  ASSERT_TRUE(platform::LocalTimeToFileTime({2021, 3, 4, 5, 6, 8}, &dos));
  const std::int32_t t1 = 1600000000, t2 = 1500000000, t3 = 1400000000;
  Entry plain = zip_testing::File("plain", "1");
  Entry writeOnly = zip_testing::File("write-only", "2");
  writeOnly.localExtra = zip_testing::ExtendedTimestamp(1, {t1});
  Entry all = zip_testing::File("all", "3");
  all.localExtra = std::string("\x0a\x00\x04\x00", 4) + "abcd" + zip_testing::ExtendedTimestamp(7, {t1, t2, t3});
  Entry cut = zip_testing::File("cut", "4");  // flags announce three times, the block holds one
  cut.localExtra = zip_testing::ExtendedTimestamp(7, {t1}) + std::string("\x0a\x00\x08\x00", 4) + "12345678";
  Entry invalid = zip_testing::File("invalid", "5");
  invalid.dosTime = 0;
  // A second DOS time after the first: each distinct value is converted on its own.
  platform::FileTime otherDos = 0;
  ASSERT_TRUE(platform::LocalTimeToFileTime({2019, 12, 31, 23, 59, 58}, &otherDos));
  Entry otherDay = zip_testing::File("other-day", "6");
  otherDay.dosTime = ((2019 - 1980) << 9 | 12 << 5 | 31) << 16 | (23 << 11 | 59 << 5 | 29);
  Zip zip;
  zip.entries = {plain, writeOnly, all, cut, invalid, otherDay, plain};
  zip.entries.back().name = "plain-again";
  ASSERT_TRUE(Open(zip));

  struct Expected {
    platform::FileTime write, access, creation;
  };
  const Expected expected[] = {{dos, dos, dos},
                               {FromUnix(t1), dos, dos},
                               {FromUnix(t1), FromUnix(t2), FromUnix(t3)},
                               {FromUnix(t1), dos, dos},
                               {kArchiveFallbackTime, kArchiveFallbackTime, kArchiveFallbackTime},
                               {otherDos, otherDos, otherDos},
                               {dos, dos, dos}};
  for (int i = 0; i < 7; ++i) {
    const ArchiveEntry entry = Get(i);
    EXPECT_EQ(entry.writeTime, expected[i].write) << i;
    EXPECT_EQ(entry.accessTime, expected[i].access) << i;
    EXPECT_EQ(entry.creationTime, expected[i].creation) << i;
    ASSERT_EQ(ArchiveUnpackEntry(archive, i, entry.name), ArchiveOk);
  }
  EXPECT_EQ(WriteTimeOnDisk(Out("all")), t1);
  EXPECT_EQ(WriteTimeOnDisk(Out("invalid")), 315532800) << "1980-01-01 00:00:00 UTC";
}

TEST_F(ArchiveTest, LocalTimesBecomeUtc) {
  platform::FileTime utc = 0;
  ASSERT_TRUE(platform::LocalTimeToFileTime({2024, 2, 29, 23, 59, 58}, &utc));
  // The tests run with TZ=UTC, where local time is UTC.
  EXPECT_EQ(utc, FromUnix(1709251198));
  for (const platform::CalendarTime bad : {platform::CalendarTime{2023, 2, 29, 0, 0, 0},
                                           platform::CalendarTime{1980, 0, 0, 0, 0, 0},
                                           platform::CalendarTime{2000, 13, 1, 0, 0, 0},
                                           platform::CalendarTime{2000, 1, 1, 24, 0, 0},
                                           platform::CalendarTime{2000, 1, 1, 0, 60, 0},
                                           platform::CalendarTime{2000, 1, 1, 0, 0, 62}}) {
    EXPECT_FALSE(platform::LocalTimeToFileTime(bad, &utc)) << bad.month << "/" << bad.day;
  }
}

TEST_F(ArchiveTest, FoldersAreCreatedOutermostFirst) {
  Entry bare = zip_testing::File("bare/", "");  // a folder marked only by its name
  bare.externalAttributes = 0;
  Zip zip;
  zip.entries = {zip_testing::Folder("data/maps/"), zip_testing::File("deep/er/still/m1.bin", "map"), bare};
  ASSERT_TRUE(Open(zip));
  ASSERT_EQ(Unpack(0), ArchiveOk);
  EXPECT_EQ(Tree(Out()), (std::set<std::string>{"data", "data/maps"}));
  ASSERT_EQ(Unpack(1), ArchiveOk);
  EXPECT_EQ(ReadFile(Out("deep/er/still/m1.bin")), "map");
  ASSERT_EQ(Unpack(2), ArchiveOk);
  EXPECT_TRUE(fs::is_directory(Out("bare")));
}

// Unix symbolic links are kept on POSIX systems; Windows unpacks each as a regular file
// holding its target text.
TEST_F(ArchiveTest, LinksAreKeptAndReadableThroughThem) {
  Zip zip;
  zip.entries = {zip_testing::File("lib/libgame.so.1", "elf"),
                 zip_testing::SymbolicLink("lib/libgame.so", "libgame.so.1"),
                 zip_testing::File("share/data/x.txt", "x"),
                 zip_testing::SymbolicLink("bin/data", "../share/data"),
                 zip_testing::SymbolicLink("a/b/top", "../.."),
                 zip_testing::SymbolicLink("dangling", "./later/file")};
  ASSERT_TRUE(Open(zip));
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Unpack(i), ArchiveOk) << i;
  if (IsWindows()) {
    EXPECT_EQ(ReadFile(Out("lib/libgame.so")), "libgame.so.1");
    EXPECT_EQ(ReadFile(Out("bin/data")), "../share/data");
    EXPECT_EQ(ReadFile(Out("a/b/top")), "../..");
    return;
  }
  EXPECT_EQ(fs::read_symlink(Out("lib/libgame.so")), "libgame.so.1");
  EXPECT_EQ(ReadFile(Out("lib/libgame.so")), "elf");
  EXPECT_EQ(ReadFile(Out("bin/data/x.txt")), "x");
  EXPECT_EQ(ReadFile(Out("a/b/top/lib/libgame.so")), "elf");
  EXPECT_EQ(fs::read_symlink(Out("dangling")), "./later/file");
}

struct LinkCase {
  const char* label;
  const char* name;
  std::string target;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.label; }

class LinkRefusal : public ArchiveTest, public testing::WithParamInterface<LinkCase> {};

TEST_P(LinkRefusal, WritesNothingWhereLinksAreKept) {
  Zip zip;
  zip.entries = {zip_testing::SymbolicLink(GetParam().name, GetParam().target)};
  ASSERT_TRUE(Open(zip));
  if (IsWindows()) {
    EXPECT_EQ(Unpack(0), ArchiveOk);
    EXPECT_TRUE(ReadFile(Out(GetParam().name)) == GetParam().target);
    return;
  }
  EXPECT_EQ(Unpack(0), ArchiveErrName);
  EXPECT_EQ(Tree(temp.path()), std::set<std::string>{"a.zip"});
}

INSTANTIATE_TEST_SUITE_P(Table, LinkRefusal,
                         testing::Values(LinkCase{"Outside", "link", "../outside"},
                                         LinkCase{"OutsideFromAFolder", "a/link", "../../outside"},
                                         LinkCase{"Absolute", "link", "/etc/passwd"}, LinkCase{"Empty", "link", ""},
                                         LinkCase{"OnlyDots", "a/link", "./../.."},
                                         LinkCase{"Backslashes", "link", "..\\outside"},
                                         LinkCase{"DriveLetter", "link", "C:\\outside"},
                                         // ".." after a link in the target's path leads from wherever
                                         // that link points: only leading parent steps are taken.
                                         LinkCase{"ParentAfterAName", "a/link", "sub/../x"},
                                         LinkCase{"NulByte", "link", std::string("in\0side", 7)},
                                         LinkCase{"LongerThanAPath", "link", std::string(300, 'x')}),
                         [](const testing::TestParamInfo<LinkCase>& info) { return info.param.label; });

TEST_F(ArchiveTest, LinksAreNotPlacedThroughOtherLinks) {
  if (IsWindows()) GTEST_SKIP() << "Windows keeps no links";
  Zip zip;
  // "d" leads to the base itself, so "d/up" would be one folder higher than its name says.
  zip.entries = {zip_testing::SymbolicLink("d", "."), zip_testing::SymbolicLink("d/up", "../x"),
                 zip_testing::SymbolicLink("d/deeper/up", "../../x"), zip_testing::SymbolicLink("d", "elsewhere")};
  ASSERT_TRUE(Open(zip));
  EXPECT_EQ(Unpack(0), ArchiveOk);
  EXPECT_EQ(Unpack(1), ArchiveErrName);
  EXPECT_EQ(Unpack(2), ArchiveErrName);
  EXPECT_EQ(Unpack(3), ArchiveErrOpen) << "nothing is replaced by a link";
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(Out())) names.insert(e.path().filename().string());
  EXPECT_EQ(names, std::set<std::string>{"d"});
  EXPECT_EQ(fs::read_symlink(Out("d")), ".");
}

TEST_F(ArchiveTest, PrefixedArchiveUnpacksAsWithoutPrefix) {
  Entry timed = zip_testing::File("maps/m1.bin", zip_testing::NoiseBytes(20000, 9));
  timed.localExtra = zip_testing::ExtendedTimestamp(3, {1234567890, 1234567000});
  Zip zip;
  zip.entries = {timed, zip_testing::File("readme.txt", "hello", zip_testing::kStored)};
  ASSERT_TRUE(Open(zip));
  const ArchiveEntry plain[2] = {Get(0), Get(1)};
  Zip prefixed = zip;
  prefixed.prefix = "MZ" + zip_testing::NoiseBytes(8190, 4);
  ASSERT_TRUE(Open(prefixed, "b.zip"));
  for (int i = 0; i < 2; ++i) {
    const ArchiveEntry entry = Get(i);
    EXPECT_EQ(std::wstring(entry.name), std::wstring(plain[i].name));
    EXPECT_EQ(entry.writeTime, plain[i].writeTime);
    EXPECT_EQ(entry.accessTime, plain[i].accessTime);
    EXPECT_EQ(entry.size, plain[i].size);
    ASSERT_EQ(ArchiveUnpackEntry(archive, i, entry.name), ArchiveOk);
  }
  EXPECT_TRUE(ReadFile(Out("maps/m1.bin")) == timed.data);
  EXPECT_EQ(ReadFile(Out("readme.txt")), "hello");
}

TEST_F(ArchiveTest, ContainerFailuresMapToResultCodes) {
  Entry encrypted = zip_testing::File("secret.txt", "classified");
  encrypted.flags = 1;
  encrypted.password = "secret";
  Entry methodMismatch = zip_testing::File("method.txt", "m");
  methodMismatch.localMethod = zip_testing::kStored;
  Entry badCrc = zip_testing::File("crc.txt", zip_testing::Text(3000));
  badCrc.crc = badCrc.localCrc = 0xDEADBEEF;
  Entry shortStored = zip_testing::File("short.txt", "0123", zip_testing::kStored);
  shortStored.uncompressedSize = shortStored.localUncompressedSize = 400;
  Entry garbage = zip_testing::File("garbage.txt", "g");
  garbage.rawData = zip_testing::NoiseBytes(64, 11);
  Zip zip;
  zip.entries = {encrypted, methodMismatch, badCrc, shortStored, garbage};
  ASSERT_TRUE(Open(zip));
  EXPECT_EQ(Unpack(0), ArchiveErrPassword);
  ArchiveEntry entry;
  EXPECT_EQ(ArchiveGetEntry(archive, 1, &entry), ArchiveErrCorrupt);
  EXPECT_EQ(Unpack(2), ArchiveErrData);
  EXPECT_EQ(ReadFile(Out("crc.txt")).size(), 3000u) << "a failed entry's bytes stay on disk";
  EXPECT_EQ(Unpack(3), ArchiveErrData);
  EXPECT_EQ(Unpack(4), ArchiveErrData);
}

TEST_F(ArchiveTest, UnreadableHeadersEndTheWalkWithAFailure) {
  Zip zip;
  zip.entries = {zip_testing::File("a", "1"), zip_testing::File("b", "2"), zip_testing::File("c", "3")};
  std::string bytes = zip.Build();
  const std::size_t second = bytes.find("PK\x01\x02", bytes.find("PK\x01\x02") + 1);
  bytes[second + 3] = 9;
  bytes[28] = '\xFF';  // the first local header's extra field now runs past the end
  bytes[29] = '\xFF';
  WriteFile(temp.path() / "a.zip", bytes);
  archive = ArchiveOpen(temp.Wide("a.zip"));
  ASSERT_TRUE(archive);
  ArchiveEntry entry;
  EXPECT_EQ(ArchiveGetEntry(archive, 0, &entry), ArchiveErrRead);
  EXPECT_EQ(ArchiveGetEntry(archive, 2, &entry), ArchiveErrCorrupt);
  EXPECT_EQ(ArchiveGetEntry(archive, 1, &entry), ArchiveErrCorrupt);
  EXPECT_EQ(ArchiveUnpackEntry(archive, 2, L"c"), ArchiveErrCorrupt);
}

TEST_F(ArchiveTest, WalksBackwardsAndUnpacksWithoutAPriorQuery) {
  Zip zip;
  zip.entries = {zip_testing::File("a", "1"), zip_testing::File("b", "22"), zip_testing::File("c", "333")};
  ASSERT_TRUE(Open(zip));
  EXPECT_EQ(std::wstring(Get(2).name), L"c");
  EXPECT_EQ(std::wstring(Get(0).name), L"a");
  EXPECT_EQ(Get(0).size, 1) << "the cached entry";
  EXPECT_EQ(ArchiveUnpackEntry(archive, 1, L"renamed/b"), ArchiveOk);
  EXPECT_EQ(ReadFile(Out("renamed/b")), "22");
  EXPECT_EQ(ArchiveUnpackEntry(archive, 0, L"a"), ArchiveOk);
  EXPECT_EQ(ReadFile(Out("a")), "1");
}

TEST_F(ArchiveTest, OutputFaultsAreReported) {
  Zip zip;
  zip.entries = {zip_testing::File("create-fails", "1"), zip_testing::File("write-fails", "2"),
                 zip_testing::File("fine", "3")};
  ASSERT_TRUE(Open(zip));
  platform::fault::Inject(platform::fault::Op::Create, "create-fails");
  platform::fault::Inject(platform::fault::Op::Write, "write-fails");
  EXPECT_EQ(Unpack(0), ArchiveErrOpen);
  EXPECT_EQ(Unpack(1), ArchiveErrWrite);
  EXPECT_EQ(Unpack(2), ArchiveOk);
}

std::int64_t DefaultDosTimeOnDisk() {
  platform::FileTime dos = 0;
  EXPECT_TRUE(platform::LocalTimeToFileTime({2021, 3, 4, 5, 6, 8}, &dos));
  return static_cast<std::int64_t>(dos / 10000000) - 11644473600LL;
}

// Entries much larger than any buffer arrive whole, and get their times only after
// their last byte.
TEST_F(ArchiveTest, LargeEntriesArriveWholeAndStampedLast) {
  const std::string noise = zip_testing::NoiseBytes((3 << 20) + 1, 9);
  const std::string text = zip_testing::Text(5 << 20);
  Zip zip;
  zip.entries = {zip_testing::File("stored.bin", noise, zip_testing::kStored), zip_testing::File("noise.bin", noise),
                 zip_testing::File("text.bin", text)};
  ASSERT_TRUE(Open(zip));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Unpack(i), ArchiveOk) << i;
  EXPECT_TRUE(ReadFile(Out("stored.bin")) == noise);
  EXPECT_TRUE(ReadFile(Out("noise.bin")) == noise);
  EXPECT_TRUE(ReadFile(Out("text.bin")) == text);
  for (const char* name : {"stored.bin", "noise.bin", "text.bin"}) {
    EXPECT_EQ(WriteTimeOnDisk(Out(name)), DefaultDosTimeOnDisk()) << name;
  }
}

// Open file descriptors of this process; -1 where the system does not list them (on
// Windows a handle left open shows when the file cannot be removed).
int OpenDescriptors() {
  if (IsWindows()) return -1;
  std::error_code ec;
  fs::directory_iterator it("/proc/self/fd", ec);
  if (ec) return -1;
  return static_cast<int>(std::distance(it, fs::directory_iterator()));
}

struct LargeEntryCase {
  const char* name;
  bool injectFault;
  platform::fault::Op fault;
  bool damaged;  // the deflated data is broken halfway through
  std::int32_t expected;
};

void PrintTo(const LargeEntryCase& c, std::ostream* os) { *os << c.name; }

class LargeEntryFailure : public ArchiveTest, public testing::WithParamInterface<LargeEntryCase> {};

// A large entry that fails part-way fails with its own code, keeps the bytes written
// before the failure, gets no times and leaves nothing open; later entries, and the
// same entry once the fault is gone, unpack as usual.
TEST_P(LargeEntryFailure, FailsTheEntryAndReleasesItsFile) {
  const LargeEntryCase& c = GetParam();
  const std::string content = zip_testing::Text(4 << 20);
  Entry big = zip_testing::File("big.bin", content);
  if (c.damaged) {
    std::string raw = zip_testing::Deflate(content);
    raw[raw.size() / 2] = static_cast<char>(raw[raw.size() / 2] ^ 0x5A);
    big.rawData = raw;
  }
  Zip zip;
  zip.entries = {big, zip_testing::File("after.txt", "after")};
  ASSERT_TRUE(Open(zip));
  if (c.injectFault) platform::fault::Inject(c.fault, "big.bin");
  EXPECT_EQ(Unpack(1), ArchiveOk);
  const int descriptors = OpenDescriptors();
  EXPECT_EQ(Unpack(0), c.expected);
  EXPECT_EQ(OpenDescriptors(), descriptors) << "the output file is closed";
  if (fs::exists(Out("big.bin"))) {
    const std::string written = ReadFile(Out("big.bin"));
    const std::size_t kept = std::min<std::size_t>(written.size(), 65536);
    EXPECT_TRUE(written.compare(0, kept, content, 0, kept) == 0) << "bytes before the failure are in order";
    if (c.damaged) {
      EXPECT_GE(written.size(), 65536u);
    }
    EXPECT_NE(WriteTimeOnDisk(Out("big.bin")), DefaultDosTimeOnDisk()) << "a failed entry gets no times";
    std::error_code ec;
    fs::remove(Out("big.bin"), ec);  // Windows refuses while a handle is open
    EXPECT_FALSE(ec) << ec.message();
  }
  EXPECT_EQ(Unpack(1), ArchiveOk);
  EXPECT_EQ(ReadFile(Out("after.txt")), "after");
  platform::fault::Clear();
  if (!c.damaged) {
    EXPECT_EQ(Unpack(0), ArchiveOk);
    EXPECT_TRUE(ReadFile(Out("big.bin")) == content);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LargeEntryFailure,
    testing::Values(LargeEntryCase{"WriteFails", true, platform::fault::Op::Write, false, ArchiveErrWrite},
                    LargeEntryCase{"CreateFails", true, platform::fault::Op::Create, false, ArchiveErrOpen},
                    LargeEntryCase{"DataBreaksHalfway", false, platform::fault::Op::Write, true, ArchiveErrData}),
    [](const testing::TestParamInfo<LargeEntryCase>& info) { return std::string(info.param.name); });

TEST(ArchiveResultNames, NameEveryCode) {
  EXPECT_STREQ(ArchiveResultName(ArchiveErrData), "ArchiveErrData");
  EXPECT_STREQ(ArchiveResultName(ArchiveErrName), "ArchiveErrName");
  EXPECT_STREQ(ArchiveResultName(12345), "unknown");
}

}  // namespace
