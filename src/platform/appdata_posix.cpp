#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/appdata.h"
#include "platform/path.h"
#include "platform/codepage.h"

namespace platform {
namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

// Makes each missing level of an absolute folder path; the ones that exist stay as they are.
void MakeLevels(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    mkdir(folder.substr(0, slash).c_str(), 0700);
  }
  mkdir(folder.c_str(), 0700);
}

}  // namespace

std::wstring GetAppDataFolder() {
  std::string folder;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') {
    folder = data;
  } else {
    const std::string home = HomeFolder();
    if (home.empty()) return {};
    folder = home + "/.local/share";
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!FitsMaxPath(folder)) return {};
  MakeLevels(folder);
  return NarrowToWide(folder, CodePage::Utf8);
}

}  // namespace platform
