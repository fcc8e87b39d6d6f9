#include "zip/extractor.h"

#include <system_error>

#include "zip/archive.h"

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
  std::int32_t result = -1;
  if (Archive* archive = ArchiveOpen(archivePath_)) {
    result = ArchiveSetBaseDir(archive, targetFolder_);
    if (result == ArchiveOk) result = UnpackAll(archive);
    ArchiveClose(archive);
  }
  if (result == ArchiveOk) succeeded = true;
  finished = true;
  if (callback_) callback_->OnExtractFinished(this);
}

std::int32_t CZipExtractor::UnpackAll(Archive* archive) {
  ArchiveEntry entry;
  std::int32_t result = ArchiveGetEntry(archive, -1, &entry);
  const std::int32_t count = entry.index;
  for (std::int32_t i = 0; result == ArchiveOk && i < count; ++i) {
    progress = static_cast<double>(i) / count;
    if (callback_) callback_->OnExtractProgress(this);
    if (cancel) return -1;
    result = ArchiveGetEntry(archive, i, &entry);
    if (result == ArchiveOk) result = ArchiveUnpackEntry(archive, i, entry.name);
  }
  return result;
}
