#include "app/update_plan.h"

#include <algorithm>
#include <set>

namespace {

bool NeedsFetch(const PackageEntry& entry, const ClientFiles& installed,
                const std::function<std::int64_t(const std::string&)>& installedSize) {
  const auto known = installed.files.find(entry.name);
  if (known == installed.files.end()) return true;
  if (known->second.size != entry.size || known->second.crc != entry.crc) return true;
  return installedSize(entry.name) != static_cast<std::int64_t>(entry.size);
}

// Where each entry's bytes end: at the next local header, or at the directory.
std::vector<std::uint64_t> EntryEnds(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset) {
  std::vector<std::uint64_t> starts;
  for (const PackageEntry& entry : entries) starts.push_back(entry.localHeaderOffset);
  std::sort(starts.begin(), starts.end());
  std::vector<std::uint64_t> ends;
  for (const PackageEntry& entry : entries) {
    const auto next = std::upper_bound(starts.begin(), starts.end(), entry.localHeaderOffset);
    ends.push_back(next == starts.end() ? centralDirectoryOffset : *next);
  }
  return ends;
}

std::vector<net::ByteRange> Merge(std::vector<net::ByteRange> ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const net::ByteRange& a, const net::ByteRange& b) { return a.offset < b.offset; });
  std::vector<net::ByteRange> merged;
  for (const net::ByteRange& range : ranges) {
    if (!merged.empty()) {
      net::ByteRange& last = merged.back();
      const std::uint64_t lastEnd = last.offset + last.length;
      if (range.offset <= lastEnd + kRangeMergeGap) {
        last.length = std::max(lastEnd, range.offset + range.length) - last.offset;
        continue;
      }
    }
    merged.push_back(range);
  }
  return merged;
}

}  // namespace

net::ByteRange EntryRange(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                          std::int32_t index) {
  const std::vector<std::uint64_t> ends = EntryEnds(entries, centralDirectoryOffset);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].index == index) return {entries[i].localHeaderOffset, ends[i] - entries[i].localHeaderOffset};
  }
  return {};
}

UpdatePlan PlanUpdate(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                      const ClientFiles& installed, const std::function<std::int64_t(const std::string&)>& installedSize) {
  UpdatePlan plan;
  const std::vector<std::uint64_t> ends = EntryEnds(entries, centralDirectoryOffset);
  std::set<std::string> names;
  std::vector<net::ByteRange> ranges;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PackageEntry& entry = entries[i];
    if (entry.folder) continue;
    names.insert(entry.name);
    plan.record.files[entry.name] = {entry.size, entry.crc};
    if (!NeedsFetch(entry, installed, installedSize)) continue;
    plan.fetch.push_back(entry.index);
    plan.fetchNames.push_back(entry.name);
    plan.unpackedBytes += entry.size;
    if (ends[i] > entry.localHeaderOffset) ranges.push_back({entry.localHeaderOffset, ends[i] - entry.localHeaderOffset});
  }
  for (const auto& [name, file] : installed.files) {
    if (!installed.scanned && !names.count(name)) plan.remove.push_back(name);
  }
  plan.ranges = Merge(std::move(ranges));
  for (const net::ByteRange& range : plan.ranges) plan.fetchBytes += range.length;
  return plan;
}
