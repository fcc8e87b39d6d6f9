#include "platform/file.h"

#include <atomic>

// The parts that are the same on every platform: ownership of the handle (only Close
// differs), joining native paths, the narrow forms of the removals, and whether file
// operations wait out holds.
namespace platform {
namespace {

std::atomic<int> g_heldFileWaits{0};

}  // namespace

File::File(File&& other) noexcept
    : handle_(other.handle_), failReads_(other.failReads_), failWrites_(other.failWrites_) {
  other.handle_ = kInvalid;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    failReads_ = other.failReads_;
    failWrites_ = other.failWrites_;
    other.handle_ = kInvalid;
  }
  return *this;
}

File::~File() { Close(); }

NativePath NativePath::Join(const NativePath& name) const {
  std::wstring joined = units_;
  for (const char* c = PathSeparator(); *c; ++c) joined += static_cast<wchar_t>(*c);
  return NativePath(joined + name.units_);
}

bool RemoveFile(const std::string& path) { return FitsMaxPath(path) && RemoveFile(NativePath::FromAnsi(path)); }

bool RemoveFolder(const std::string& path) { return FitsMaxPath(path) && RemoveFolder(NativePath::FromAnsi(path)); }

HeldFileWait::HeldFileWait() { ++g_heldFileWaits; }

HeldFileWait::~HeldFileWait() { --g_heldFileWaits; }

bool HeldFileWait::IsActive() { return g_heldFileWaits > 0; }

}  // namespace platform
