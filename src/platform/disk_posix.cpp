#include <sys/statvfs.h>

#include "platform/disk.h"
#include "platform/fault.h"

namespace platform {

bool FreeDiskSpace(const std::string& folder, std::uint64_t* bytes) {
  struct statvfs volume {};
  if (statvfs(folder.c_str(), &volume) != 0) return false;
  // Blocks the calling user may use, in units of the fundamental block size.
  *bytes = fault::LimitedFreeSpace(static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize);
  return true;
}

}  // namespace platform
