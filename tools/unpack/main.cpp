// unpack [-v] ARCHIVE DIR: runs the launcher's extraction job on a zip archive, to try
// it on real-world archives and to time it. Exits 0 on success; otherwise names the
// failing entry and its result code on standard error and exits 1.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/codepage.h"
#include "platform/path.h"
#include "zip/archive.h"
#include "zip/extractor.h"
#include "zip/symlink.h"

namespace {

std::wstring Wide(const char* text) { return platform::NarrowToWide(text, platform::CodePage::Ansi); }
std::string Narrow(const wchar_t* text) { return platform::WideToNarrow(text, platform::CodePage::Ansi); }

// Counts the entries the job starts, naming each with -v (through a second handle on
// the archive).
class Monitor : public CZipExtractorCallback {
 public:
  explicit Monitor(Archive* listing) : listing_(listing) {}

  void OnExtractProgress(CZipExtractor*) override {
    const int index = started_++;
    ArchiveEntry entry;
    if (listing_ && ArchiveGetEntry(listing_, index, &entry) == ArchiveOk) {
      std::printf("%6d %10d  %s\n", index, entry.size, Narrow(entry.name).c_str());
    }
  }

  int started() const { return started_; }

 private:
  Archive* listing_;
  int started_ = 0;  // only the worker touches it until the job has been joined
};

std::int32_t Retry(Archive* archive, std::int32_t index, ArchiveEntry* entry) {
  const std::int32_t result = ArchiveGetEntry(archive, index, entry);
  return result == ArchiveOk ? ArchiveUnpackEntry(archive, index, entry->name) : result;
}

// The first symbolic-link entry that is not a link below `folder`; -1 when there is none.
std::int32_t FirstMissingLink(Archive* archive, const char* folder, std::int32_t count) {
  ArchiveEntry entry;
  for (std::int32_t i = 0; i < count; ++i) {
    if (ArchiveGetEntry(archive, i, &entry) == ArchiveOk && entry.link &&
        !ArchiveLinks()->isLink(Wide(folder) + Wide(platform::PathSeparator()) + entry.name)) {
      return i;
    }
  }
  return -1;
}

// The job names the entry that stopped it (`failed`, -1 when none) but keeps no error
// code, so that step is repeated on a handle of our own to name its result.
void Diagnose(const char* archivePath, const char* folder, int started, std::int32_t failed) {
  Archive* archive = ArchiveOpen(Wide(archivePath));
  if (!archive) {
    std::fprintf(stderr, "unpack: %s cannot be opened as a zip archive\n", archivePath);
    return;
  }
  std::int32_t result = ArchiveSetBaseDir(archive, Wide(folder));
  if (result != ArchiveOk || started == 0) {
    std::fprintf(stderr, "unpack: cannot unpack into %s: %s\n", folder, ArchiveResultName(result));
  } else {
    ArchiveEntry entry;
    ArchiveGetEntry(archive, -1, &entry);
    const std::int32_t count = entry.index;
    std::int32_t index = failed >= 0 ? failed : started - 1;
    // Links are created after every other entry, so a link entry is not the one that
    // stopped the job unless all the others went through.
    const bool lastIsLink = ArchiveGetEntry(archive, index, &entry) == ArchiveOk && entry.link;
    result = lastIsLink ? ArchiveOk : Retry(archive, index, &entry);
    const std::int32_t link = result == ArchiveOk && started == count ? FirstMissingLink(archive, folder, count) : -1;
    if (link >= 0) {
      index = link;
      result = Retry(archive, index, &entry);
    }
    const std::string name = result == ArchiveOk || entry.name[0] ? Narrow(entry.name) : "?";
    std::fprintf(stderr, "unpack: entry %d \"%s\" failed: %s\n", index, name.c_str(), ArchiveResultName(result));
  }
  ArchiveClose(archive);
}

}  // namespace

int main(int argc, char** argv) {
  const bool verbose = argc == 4 && std::strcmp(argv[1], "-v") == 0;
  if (argc != 3 && !verbose) {
    std::fprintf(stderr, "usage: unpack [-v] ARCHIVE DIR\n");
    return 2;
  }
  const char* archivePath = argv[argc - 2];
  const char* folder = argv[argc - 1];
  Archive* listing = verbose ? ArchiveOpen(Wide(archivePath)) : nullptr;
  Monitor monitor(listing);
  bool succeeded = false;
  std::int32_t failed = -1;
  {
    CZipExtractor extractor(&monitor);
    extractor.Start(Wide(archivePath), Wide(folder));
    // Polled like the launcher's owner does.
    while (!extractor.finished) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    extractor.Stop();
    succeeded = extractor.succeeded;
    failed = extractor.failedEntry;
  }
  ArchiveClose(listing);
  if (succeeded) return 0;
  Diagnose(archivePath, folder, monitor.started(), failed);
  return 1;
}
