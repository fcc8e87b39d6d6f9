#include "platform/path.h"

#include <unistd.h>

#include <climits>

namespace platform {

const char* PathSeparator() { return "/"; }

bool IsPathSeparator(wchar_t c) { return c == L'/'; }

std::string GetExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  return FitsMaxPath(path) ? path : std::string();
}

bool SetCurrentDir(const std::string& path) { return !path.empty() && chdir(path.c_str()) == 0; }

std::string GetCurrentDir() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

}  // namespace platform
