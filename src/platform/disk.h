#pragma once
// Room on a volume.
#include <cstdint>
#include <string>

namespace platform {

// Bytes the calling user may still write on the volume that holds `folder` (an
// existing folder); false when the system cannot tell. Tests lower the answer
// through fault::LimitFreeSpace.
bool FreeDiskSpace(const std::string& folder, std::uint64_t* bytes);

}  // namespace platform
