#include "update/plan.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr std::uint64_t kKiB = 1024;

PackageEntry Entry(std::int32_t index, std::string name, std::uint64_t size, std::uint32_t crc, std::uint64_t offset,
                   bool folder = false, std::uint64_t compressedSize = 0) {
  PackageEntry entry;
  entry.index = index;
  entry.name = std::move(name);
  entry.size = size;
  entry.crc = crc;
  entry.localHeaderOffset = offset;
  entry.folder = folder;
  entry.compressedSize = compressedSize;
  return entry;
}

ClientFile File(std::uint64_t size, std::uint32_t crc) { return {size, crc, ""}; }

// Three files of 100 KiB each at 0, 100 KiB and 200 KiB; the directory at 300 KiB.
std::vector<PackageEntry> Package() {
  return {Entry(0, "a.bin", 90 * kKiB, 1, 0), Entry(1, "data/", 0, 0, 100 * kKiB, true),
          Entry(2, "data/b.bin", 90 * kKiB, 2, 100 * kKiB + 100), Entry(3, "data/c.bin", 90 * kKiB, 3, 200 * kKiB)};
}

ClientFiles Installed() {
  ClientFiles record;
  record.files = {{"a.bin", File(90 * kKiB, 1)}, {"data/b.bin", File(90 * kKiB, 2)}, {"data/c.bin", File(90 * kKiB, 3)}};
  return record;
}

struct PlanCase {
  const char* what;
  std::function<void(std::vector<PackageEntry>&, ClientFiles&, std::map<std::string, std::int64_t>&)> change;
  std::vector<std::int32_t> fetch;
  std::vector<std::string> remove;
};

class PlanUpdateTest : public testing::TestWithParam<PlanCase> {};

TEST_P(PlanUpdateTest, FetchesWhatChangedOrIsDamagedAndRemovesWhatWentFromThePackage) {
  std::vector<PackageEntry> package = Package();
  ClientFiles installed = Installed();
  std::map<std::string, std::int64_t> onDisk;
  for (const auto& [name, file] : installed.files) onDisk[name] = static_cast<std::int64_t>(file.size);
  GetParam().change(package, installed, onDisk);
  const UpdatePlan plan = PlanUpdate(package, 300 * kKiB, installed, [&](const std::string& name) {
    const auto found = onDisk.find(name);
    return found == onDisk.end() ? std::int64_t{-1} : found->second;
  });
  EXPECT_EQ(plan.fetch, GetParam().fetch);
  EXPECT_EQ(plan.remove, GetParam().remove);
  EXPECT_EQ(plan.fetch.size(), plan.fetchNames.size());
  EXPECT_EQ(plan.record.files.size(), 3u + (package.size() - 4));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanUpdateTest,
    testing::Values(
        PlanCase{"unchanged", [](auto&, auto&, auto&) {}, {}, {}},
        PlanCase{"crc", [](auto& p, auto&, auto&) { p[2].crc = 9; }, {2}, {}},
        PlanCase{"size", [](auto& p, auto&, auto&) { p[3].size += 1; }, {3}, {}},
        PlanCase{"new", [](auto& p, auto&, auto&) { p.push_back(Entry(4, "new.bin", 5, 5, 290 * kKiB)); }, {4}, {}},
        PlanCase{"missing", [](auto&, auto&, auto& d) { d.erase("a.bin"); }, {0}, {}},
        PlanCase{"truncated", [](auto&, auto&, auto& d) { d["data/c.bin"] = 10; }, {3}, {}},
        PlanCase{"removed", [](auto& p, auto&, auto&) { p.erase(p.begin()); }, {}, {"a.bin"}},
        PlanCase{"scanned record deletes nothing",
                 [](auto& p, auto& r, auto&) {
                   p.erase(p.begin());
                   r.scanned = true;
                 },
                 {},
                 {}}),
    [](const testing::TestParamInfo<PlanCase>& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(PlanUpdateRanges, EachEntryRunsToTheNextHeaderAndCloseRangesMerge) {
  std::vector<PackageEntry> package = Package();
  for (PackageEntry& e : package) e.crc += 100;
  ClientFiles installed = Installed();
  const auto size = [](const std::string&) { return std::int64_t{90 * kKiB}; };

  // All three: the folder entry lies between, so the ranges touch and become one.
  UpdatePlan plan = PlanUpdate(package, 300 * kKiB, installed, size);
  EXPECT_EQ(plan.ranges, (std::vector<update::ByteRange>{{0, 300 * kKiB}}));
  EXPECT_EQ(plan.fetchBytes, 300 * kKiB);
  EXPECT_EQ(plan.unpackedBytes, 270 * kKiB);

  // The first and the last only: 100 KiB apart, more than the merge gap.
  package[2].crc = 2;
  plan = PlanUpdate(package, 300 * kKiB, installed, size);
  EXPECT_EQ(plan.ranges, (std::vector<update::ByteRange>{{0, 100 * kKiB}, {200 * kKiB, 100 * kKiB}}));

  // Entries under 64 KiB apart are fetched together, gap included.
  package[3].localHeaderOffset = 100 * kKiB + 100 + 60 * kKiB;
  package[2].localHeaderOffset = 100 * kKiB;
  package[0].crc = 1;
  package[2].crc = 102;
  package[3].crc = 3;
  plan = PlanUpdate(package, 300 * kKiB, installed, size);
  EXPECT_EQ(plan.fetch, (std::vector<std::int32_t>{2}));
  EXPECT_EQ(plan.ranges, (std::vector<update::ByteRange>{{100 * kKiB, 60 * kKiB + 100}}));
}

}  // namespace

namespace {

const std::string kHashA(64, 'a');
const std::string kHashB(64, 'b');
const std::string kHashList(64, 'f');

TEST(PlanUpdateRanges, AnEntryNeverReachesFurtherThanItsHeaderDataAndDescriptor) {
  // 150 MB between two local headers: only the first entry's own bytes are asked for.
  std::vector<PackageEntry> package{Entry(0, "a.bin", 10, 1, 0, false, 8), Entry(1, "b.bin", 10, 2, 150'000'000, false, 8)};
  const UpdatePlan plan =
      PlanUpdate(package, 150'000'100, ClientFiles{}, [](const std::string&) { return std::int64_t{-1}; });
  ASSERT_EQ(plan.ranges.size(), 2u);
  EXPECT_EQ(plan.ranges[0], (update::ByteRange{0, 30 + 0xFFFF + 0xFFFF + 24 + 8}));
  EXPECT_EQ(plan.ranges[1], (update::ByteRange{150'000'000, 100}));
  // An entry said to start past the directory has no bytes to fetch.
  EXPECT_EQ(EntryRange(package, 100, 1).length, 0u);
}

TEST(PlanUpdateHashes, AFileListedWithAnotherHashThanRecordedIsFetched) {
  std::vector<PackageEntry> package = Package();
  ClientFiles installed = Installed();
  installed.files["a.bin"].sha256 = kHashA;
  installed.files["data/b.bin"].sha256 = kHashA;
  package[0].sha256 = kHashA;  // vouched and unchanged
  package[2].sha256 = kHashB;  // same size and CRC-32, other bytes
  package[3].sha256 = kHashB;  // the record knows no hash
  const UpdatePlan plan = PlanUpdate(package, 300 * kKiB, installed, [](const std::string&) {
    return std::int64_t{90 * kKiB};
  });
  EXPECT_EQ(plan.fetch, (std::vector<std::int32_t>{2, 3}));
  EXPECT_EQ(plan.record.files.at("data/b.bin").sha256, kHashB);
}

struct ListCase {
  const char* what;
  std::function<void(std::vector<PackageEntry>&, std::map<std::string, std::string>&)> change;
  bool agrees;
};

class AttachFileListTest : public testing::TestWithParam<ListCase> {};

TEST_P(AttachFileListTest, TheDirectoryMustListExactlyTheFilesOfTheList) {
  std::vector<PackageEntry> package = Package();
  package.push_back(Entry(4, ".release/files.sha256", 200, 7, 290 * kKiB));
  std::map<std::string, std::string> hashes{{"a.bin", kHashA}, {"data/b.bin", kHashB}, {"data/c.bin", kHashA}};
  GetParam().change(package, hashes);
  const std::vector<PackageEntry> before = package;
  ASSERT_EQ(AttachFileList(hashes, kHashList, &package), GetParam().agrees);
  if (!GetParam().agrees) {
    EXPECT_EQ(package.size(), before.size());
    for (const PackageEntry& e : package) EXPECT_EQ(e.sha256, "") << e.name;
    return;
  }
  EXPECT_EQ(package[0].sha256, kHashA);
  EXPECT_EQ(package[1].sha256, "");
  EXPECT_EQ(package.back().sha256, kHashList);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttachFileListTest,
    testing::Values(
        ListCase{"agree", [](auto&, auto&) {}, true},
        ListCase{"entry not listed", [](auto& p, auto&) { p.push_back(Entry(5, "extra.bin", 1, 1, 295 * kKiB)); },
                 false},
        ListCase{"line without entry", [](auto&, auto& h) { h["gone.bin"] = kHashA; }, false},
        ListCase{"listed file marked as a folder", [](auto& p, auto&) { p[2].folder = true; }, false},
        ListCase{"renamed in the directory", [](auto& p, auto&) { p[3].name = "data/C.bin"; }, false}),
    [](const testing::TestParamInfo<ListCase>& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(HasClashingNames, TwoEntriesForOneFileClash) {
  const auto entries = [](std::vector<std::pair<std::string, bool>> names) {
    std::vector<PackageEntry> out;
    for (auto& [name, folder] : names) out.push_back(Entry(0, name, 0, 0, 0, folder));
    return out;
  };
  EXPECT_FALSE(HasClashingNames(entries({{"a/", true}, {"a/x", false}, {"a/", true}, {"b", false}})));
  EXPECT_TRUE(HasClashingNames(entries({{"a/x", false}, {"a/x", false}})));
  EXPECT_TRUE(HasClashingNames(entries({{"Data.txt", false}, {"data.TXT", false}})));
  EXPECT_TRUE(HasClashingNames(entries({{"data/", true}, {"data", false}})));
}

}  // namespace
