#include <windows.h>
#include <shlobj.h>

#include "platform/appdata.h"
#include "platform/path.h"

namespace platform {

std::wstring GetAppDataFolder() {
  LPITEMIDLIST items = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_APPDATA, &items)) || !items) return {};
  std::wstring result;
  wchar_t path[kMaxPath] = {};
  if (SHGetPathFromIDListW(items, path)) {
    wchar_t shortPath[kMaxPath] = {};
    const DWORD n = GetShortPathNameW(path, shortPath, static_cast<DWORD>(kMaxPath));
    if (n > 0 && n < kMaxPath) result = shortPath;
  }
  CoTaskMemFree(items);
  return result;
}

}  // namespace platform
