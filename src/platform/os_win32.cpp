#include <windows.h>

#include "platform/os.h"

namespace platform {

bool IsOsSupported() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  // Deprecated, but exactly the check intended: without a manifest entry for newer
  // systems it reports 6.2 at most, which still passes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
  return info.dwMajorVersion >= 6;
}

const char* OsName() { return "Windows"; }

}  // namespace platform
