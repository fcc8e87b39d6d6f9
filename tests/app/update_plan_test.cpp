#include "app/update_plan.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr std::uint64_t kKiB = 1024;

// Three files of 100 KiB each at 0, 100 KiB and 200 KiB; the directory at 300 KiB.
std::vector<PackageEntry> Package() {
  return {{0, "a.bin", 90 * kKiB, 1, 0, false},
          {1, "data/", 0, 0, 100 * kKiB, true},
          {2, "data/b.bin", 90 * kKiB, 2, 100 * kKiB + 100, false},
          {3, "data/c.bin", 90 * kKiB, 3, 200 * kKiB, false}};
}

ClientFiles Installed() {
  ClientFiles record;
  record.files = {{"a.bin", {90 * kKiB, 1}}, {"data/b.bin", {90 * kKiB, 2}}, {"data/c.bin", {90 * kKiB, 3}}};
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
        PlanCase{"new", [](auto& p, auto&, auto&) { p.push_back({4, "new.bin", 5, 5, 290 * kKiB, false}); }, {4}, {}},
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
  EXPECT_EQ(plan.ranges, (std::vector<net::ByteRange>{{0, 300 * kKiB}}));
  EXPECT_EQ(plan.fetchBytes, 300 * kKiB);
  EXPECT_EQ(plan.unpackedBytes, 270 * kKiB);

  // The first and the last only: 100 KiB apart, more than the merge gap.
  package[2].crc = 2;
  plan = PlanUpdate(package, 300 * kKiB, installed, size);
  EXPECT_EQ(plan.ranges, (std::vector<net::ByteRange>{{0, 100 * kKiB}, {200 * kKiB, 100 * kKiB}}));

  // Entries under 64 KiB apart are fetched together, gap included.
  package[3].localHeaderOffset = 100 * kKiB + 100 + 60 * kKiB;
  package[2].localHeaderOffset = 100 * kKiB;
  package[0].crc = 1;
  package[2].crc = 102;
  package[3].crc = 3;
  plan = PlanUpdate(package, 300 * kKiB, installed, size);
  EXPECT_EQ(plan.fetch, (std::vector<std::int32_t>{2}));
  EXPECT_EQ(plan.ranges, (std::vector<net::ByteRange>{{100 * kKiB, 60 * kKiB + 100}}));
}

}  // namespace
