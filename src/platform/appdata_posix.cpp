#include <pwd.h>
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
  return NarrowToWide(folder, CodePage::Utf8);
}

}  // namespace platform
