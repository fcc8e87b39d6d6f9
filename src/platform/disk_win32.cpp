#include <windows.h>

#include "platform/codepage.h"
#include "platform/disk.h"
#include "platform/fault.h"

namespace platform {

bool FreeDiskSpace(const std::string& folder, std::uint64_t* bytes) {
  if (folder.empty()) return false;
  std::wstring path = NarrowToWide(folder, CodePage::Ansi);
  // A share (\\server\share\) is only accepted with its closing separator.
  if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = fault::LimitedFreeSpace(available.QuadPart);
  return true;
}

}  // namespace platform
