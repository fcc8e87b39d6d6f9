#include "update/plan.h"

#include <algorithm>
#include <set>

#include "update/file_list.h"

namespace {

bool NeedsFetch(const PackageEntry& entry, const ClientFiles& installed,
                const std::function<std::int64_t(const std::string&)>& installedSize) {
  const auto known = installed.files.find(entry.name);
  if (known == installed.files.end()) return true;
  if (known->second.size != entry.size || known->second.crc != entry.crc) return true;
  if (!entry.sha256.empty() && known->second.sha256 != entry.sha256) return true;
  return installedSize(entry.name) != static_cast<std::int64_t>(entry.size);
}

// The most a local header (fixed part, name, extra field) and a data descriptor (with
// its signature and 64-bit sizes) add to an entry's compressed data.
constexpr std::uint64_t kMaxEntryOverhead = 30 + 0xFFFF + 0xFFFF + 24;

std::vector<update::ByteRange> Merge(std::vector<update::ByteRange> ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const update::ByteRange& a, const update::ByteRange& b) { return a.offset < b.offset; });
  std::vector<update::ByteRange> merged;
  for (const update::ByteRange& range : ranges) {
    if (!merged.empty()) {
      update::ByteRange& last = merged.back();
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

// A name as a system that ignores ASCII case sees it, without a folder's closing '/'.
std::string FoldedName(const PackageEntry& entry) {
  std::string name = entry.name;
  if (!name.empty() && name.back() == '/') name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return name;
}

}  // namespace

// Where each entry's bytes end: at the next local header, or at the directory, or
// where its header and data must have ended, whichever comes first.
std::vector<std::uint64_t> EntryEnds(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset) {
  std::vector<std::uint64_t> starts;
  for (const PackageEntry& entry : entries) starts.push_back(entry.localHeaderOffset);
  std::sort(starts.begin(), starts.end());
  std::vector<std::uint64_t> ends;
  for (const PackageEntry& entry : entries) {
    const auto next = std::upper_bound(starts.begin(), starts.end(), entry.localHeaderOffset);
    const std::uint64_t end = next == starts.end() ? centralDirectoryOffset : *next;
    ends.push_back(std::min(end, entry.localHeaderOffset + kMaxEntryOverhead + entry.compressedSize));
  }
  return ends;
}

bool HasClashingNames(const std::vector<PackageEntry>& entries) {
  std::set<std::string> files;
  std::set<std::string> folders;
  for (const PackageEntry& entry : entries) {
    if (entry.folder) {
      folders.insert(FoldedName(entry));
    } else if (!files.insert(FoldedName(entry)).second) {
      return true;
    }
  }
  return std::any_of(folders.begin(), folders.end(), [&](const std::string& name) { return files.count(name) > 0; });
}

bool AttachFileList(const std::map<std::string, std::string>& hashes, const std::string& listHash,
                    std::vector<PackageEntry>* entries) {
  std::size_t listed = 0;
  for (const PackageEntry& entry : *entries) {
    if (entry.folder || entry.name == kFileListName) continue;
    if (!hashes.count(entry.name)) return false;
    ++listed;
  }
  if (listed != hashes.size()) return false;
  for (PackageEntry& entry : *entries) {
    if (entry.folder) continue;
    entry.sha256 = entry.name == kFileListName ? listHash : hashes.at(entry.name);
  }
  return true;
}

update::ByteRange EntryRange(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                          std::int32_t index) {
  const std::vector<std::uint64_t> ends = EntryEnds(entries, centralDirectoryOffset);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t start = entries[i].localHeaderOffset;
    if (entries[i].index == index) return {start, ends[i] > start ? ends[i] - start : 0};
  }
  return {};
}

std::vector<update::ByteRange> MergedRanges(const std::vector<PackageEntry>& entries,
                                            std::uint64_t centralDirectoryOffset,
                                            const std::vector<std::int32_t>& indices,
                                            std::vector<update::ByteRange> more) {
  const std::vector<std::uint64_t> ends = EntryEnds(entries, centralDirectoryOffset);
  const std::set<std::int32_t> wanted(indices.begin(), indices.end());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PackageEntry& entry = entries[i];
    if (wanted.count(entry.index) && ends[i] > entry.localHeaderOffset) {
      more.push_back({entry.localHeaderOffset, ends[i] - entry.localHeaderOffset});
    }
  }
  return Merge(std::move(more));
}

UpdatePlan PlanUpdate(const std::vector<PackageEntry>& entries, std::uint64_t centralDirectoryOffset,
                      const ClientFiles& installed, const std::function<std::int64_t(const std::string&)>& installedSize) {
  UpdatePlan plan;
  const std::vector<std::uint64_t> ends = EntryEnds(entries, centralDirectoryOffset);
  std::set<std::string> names;
  std::vector<update::ByteRange> ranges;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PackageEntry& entry = entries[i];
    if (entry.folder) continue;
    names.insert(entry.name);
    plan.record.files[entry.name] = {entry.size, entry.crc, entry.sha256};
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
  for (const update::ByteRange& range : plan.ranges) plan.fetchBytes += range.length;
  return plan;
}
