#include "platform/file.h"

// Ownership of the handle is the same on every platform; only Close differs.
namespace platform {

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

}  // namespace platform
