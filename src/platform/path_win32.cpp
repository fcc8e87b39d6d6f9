#include <windows.h>

#include "platform/path.h"

namespace platform {

const char* PathSeparator() { return "\\"; }

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::string GetExecutablePath() {
  char buffer[kMaxPath];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(kMaxPath));
  // A full buffer means the path was cut: refuse it rather than use another path.
  if (n == 0 || n >= kMaxPath) return {};
  return std::string(buffer, n);
}

bool SetCurrentDir(const std::string& path) {
  return !path.empty() && FitsMaxPath(path) && SetCurrentDirectoryA(path.c_str()) != 0;
}

std::string GetCurrentDir() {
  char buffer[kMaxPath];
  const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(kMaxPath), buffer);
  if (n == 0 || n >= kMaxPath) return {};
  return std::string(buffer, n);
}

}  // namespace platform
