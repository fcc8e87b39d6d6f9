#include "zip/extractor.h"

#include <system_error>

#include "log/log.h"
#include "platform/codepage.h"
#include "zip/archive.h"

namespace {

const char* ResultText(std::int32_t result) {
  switch (result) {
    case ArchiveErrOpen:
      return "its file cannot be created";
    case ArchiveErrWrite:
      return "writing its file failed";
    case ArchiveErrCorrupt:
      return "the headers are unreadable or disagree";
    case ArchiveErrRead:
      return "its extra field cannot be read";
    case ArchiveErrPassword:
      return "it is encrypted";
    case ArchiveErrName:
      return "its path is refused (outside the client folder, a device name, too long, or a link leading out)";
    case ArchiveErrData:
      return "its data is unreadable, damaged or cut short";
    default:
      return "the archive or the target folder cannot be used";
  }
}

// Which entry stopped an extraction, and why; a cancelled one is no failure.
void LogRefusedEntry(std::int32_t result, const std::wstring& name) {
  if (result == ArchiveOk || result == -1) return;
  applog::Log("extraction stopped at entry \"" + platform::WideToNarrow(name, platform::CodePage::Utf8) +
              "\": " + ResultText(result));
}

// The name of entry `index`, for the log.
std::wstring EntryName(Archive* archive, std::int32_t index) {
  ArchiveEntry entry;
  return ArchiveGetEntry(archive, index, &entry) == ArchiveOk ? std::wstring(entry.name) : std::wstring();
}

}  // namespace

CZipExtractor::CZipExtractor(CZipExtractorCallback* callback) : callback_(callback) {}

CZipExtractor::~CZipExtractor() { Stop(); }

void CZipExtractor::Start(const std::wstring& archivePath, const std::wstring& targetFolder) {
  Stop();
  archivePath_ = archivePath;
  targetFolder_ = targetFolder;
  cancel = false;
  finished = false;
  succeeded = false;
  progress = 0.0;
  failedEntry = -1;
  try {
    worker_ = std::make_unique<std::thread>(&CZipExtractor::Run, this);
  } catch (const std::system_error&) {
    // No thread: the job is over before it began, and failed.
    finished = true;
  }
}

void CZipExtractor::Stop() {
  if (!worker_) return;
  cancel = true;
  worker_->join();
  worker_.reset();
}

void CZipExtractor::Run() {
  if (Extract()) succeeded = true;
  finished = true;
  NotifyFinished();
}

// Whatever goes wrong on the worker, an exception included, ends the job as a failure.
bool CZipExtractor::Extract() noexcept {
  try {
    const ArchiveHandle archive(ArchiveOpen(archivePath_));
    if (!archive) {
      applog::Log("extraction failed: the package is no readable zip archive");
      return false;
    }
    std::int32_t result = ArchiveSetBaseDir(archive.get(), targetFolder_);
    if (result != ArchiveOk) applog::Log("extraction failed: the client folder cannot be used");
    if (result == ArchiveOk) result = UnpackAll(archive.get());
    return result == ArchiveOk;
  } catch (...) {
    return false;
  }
}

void CZipExtractor::NotifyFinished() noexcept {
  try {
    if (callback_) callback_->OnExtractFinished(this);
  } catch (...) {
    // The job is over either way: the owner polls finished.
  }
}

// Several small entries may be in flight at once; their results still come in index
// order, and cancel is seen between entries once the entries started are complete.
std::int32_t CZipExtractor::UnpackAll(Archive* archive) {
  ArchiveEntry entry;
  std::int32_t result = ArchiveGetEntry(archive, -1, &entry);
  const std::int32_t count = entry.index;
  std::vector<DeferredLink> links;
  std::int32_t failed = 0;
  bool cancelled = false;
  for (std::int32_t i = 0; result == ArchiveOk && i < count; ++i) {
    progress = static_cast<double>(i) / count;
    if (callback_) callback_->OnExtractProgress(this);
    if (cancel) {
      cancelled = true;
      break;
    }
    failed = i;
    result = ArchiveGetEntry(archive, i, &entry);
    if (result == ArchiveOk && entry.link) {
      links.push_back({i, entry.name});
    } else if (result == ArchiveOk) {
      result = ArchiveStartEntry(archive, i, entry.name, &failed);
    }
  }
  // An entry still in flight that failed comes before whatever stopped the loop.
  std::int32_t settledAt = 0;
  const std::int32_t settled = ArchiveSettle(archive, &settledAt);
  if (settled != ArchiveOk) {
    result = settled;
    failed = settledAt;
  }
  if (result != ArchiveOk) {
    failedEntry = failed;
    LogRefusedEntry(result, EntryName(archive, failed));
  }
  if (cancelled) return -1;
  return result == ArchiveOk ? UnpackLinks(archive, links) : result;
}

// Creates the links that UnpackAll held back, in directory order; cancel is seen
// between them as between entries.
std::int32_t CZipExtractor::UnpackLinks(Archive* archive, const std::vector<DeferredLink>& links) {
  for (const DeferredLink& link : links) {
    if (cancel) return -1;
    const std::int32_t result = ArchiveUnpackEntry(archive, link.index, link.name);
    LogRefusedEntry(result, link.name);
    if (result != ArchiveOk) {
      failedEntry = link.index;
      return result;
    }
  }
  return ArchiveOk;
}

bool ArchiveUnpackedSize(const std::wstring& archivePath, std::uint64_t* bytes) {
  Archive* archive = ArchiveOpen(archivePath);
  if (!archive) return false;
  ArchiveEntry entry;
  std::int32_t result = ArchiveGetEntry(archive, -1, &entry);
  const std::int32_t count = entry.index;
  std::uint64_t total = 0;
  for (std::int32_t i = 0; result == ArchiveOk && i < count; ++i) {
    result = ArchiveGetEntry(archive, i, &entry);
    total += static_cast<std::uint32_t>(entry.size);
  }
  ArchiveClose(archive);
  *bytes = total;
  return result == ArchiveOk;
}
