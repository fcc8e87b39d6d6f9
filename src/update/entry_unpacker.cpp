#include "update/entry_unpacker.h"

#include "zip/archive.h"

CEntryUnpacker::~CEntryUnpacker() { Stop(); }

void CEntryUnpacker::Start(std::vector<ZipPiece> pieces, std::uint64_t archiveSize, std::vector<std::int32_t> indices,
                           const std::wstring& targetFolder) {
  Stop();
  pieces_ = std::move(pieces);
  archiveSize_ = archiveSize;
  indices_ = std::move(indices);
  targetFolder_ = targetFolder;
  cancel_ = false;
  finished = false;
  succeeded = false;
  progress = 0.0;
  result = ArchiveOk;
  try {
    worker_ = std::make_unique<std::thread>(&CEntryUnpacker::Run, this);
  } catch (...) {
    // No thread: the job is over before it began, and failed.
    finished = true;
  }
}

void CEntryUnpacker::Stop() {
  if (!worker_) return;
  cancel_ = true;
  worker_->join();
  worker_.reset();
}

void CEntryUnpacker::Run() noexcept {
  try {
    result = UnpackAll();
    succeeded = result == ArchiveOk;
  } catch (...) {
    // Whatever went wrong, the job failed.
    result = ArchiveErrArgs;
  }
  finished = true;
}

std::int32_t CEntryUnpacker::UnpackAll() {
  const ArchiveHandle archive(ArchiveOpenPieces(pieces_, archiveSize_));
  if (!archive) return ArchiveErrCorrupt;
  std::int32_t status = ArchiveSetBaseDir(archive.get(), targetFolder_);
  const std::size_t count = indices_.size();
  for (std::size_t i = 0; status == ArchiveOk && i < count; ++i) {
    if (cancel_) return ArchiveErrArgs;
    ArchiveEntry entry;
    status = ArchiveGetEntry(archive.get(), indices_[i], &entry);
    if (status == ArchiveOk) status = ArchiveUnpackEntry(archive.get(), indices_[i], std::to_wstring(indices_[i]));
    progress = static_cast<double>(i + 1) / static_cast<double>(count);
    if (callback_) callback_->OnUnpackProgress(this);
  }
  return status;
}
