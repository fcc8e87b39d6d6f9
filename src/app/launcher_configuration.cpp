// The configuration the launcher derives from its files at start-up.
#include "app/launcher_configuration.h"

#include <algorithm>

#include "app/config_helpers.h"
#include "platform/disk.h"
#include "platform/file.h"
#include "platform/path.h"
#include "store/files.h"

namespace {

// Below this much free space a failed writability probe is a full volume.
constexpr std::uint64_t kFullVolume = 1024 * 1024;

}  // namespace

std::string ExecutableFolderOf(const std::string& executablePath) {
  std::size_t cut = std::string::npos;
  for (std::size_t i = 0; i < executablePath.size(); ++i) {
    if (platform::IsPathSeparator(static_cast<unsigned char>(executablePath[i]))) cut = i;
  }
  return cut == std::string::npos ? std::string() : executablePath.substr(0, cut + 1);
}

platform::Rect MainWindowRect(int width, int height, int screenWidth, int screenHeight) {
  platform::Rect rect{0, 0, width, height};
  platform::AdjustWindowRectForStyle(&rect, kMainWindowStyle);
  const int dx = screenWidth / 2 - width / 2;
  const int dy = screenHeight / 2 - height / 2;
  rect.left += dx;
  rect.right += dx;
  rect.top += dy;
  rect.bottom += dy;
  return rect;
}

bool HoldsClientOnFullVolume(const std::string& folder) {
  std::uint32_t attributes = 0;
  std::uint64_t free = 0;
  return platform::QueryAttributes(JoinPath(folder, "Version.json"), &attributes) &&
         platform::FreeDiskSpace(folder, &free) && free < kFullVolume;
}

void LoadConfiguration(const std::string& executablePath, int screenWidth, int screenHeight,
                       LauncherConfiguration* c) {
  c->executableFolder = ExecutableFolderOf(executablePath);
  platform::SetCurrentDir(c->executableFolder);
  c->settings = LoadSettings("Setting.json");
  const LauncherSettings& s = c->settings;

  c->gameRoot = CheckWritable("Check.dat") || HoldsClientOnFullVolume(".") ? "." : AppDataGameRoot(s.gameDir);

  const std::string separator = platform::PathSeparator();
  c->gameExecutablePath = c->gameRoot + separator + s.update.baseDir + separator + s.exeName;
  c->localVersionFilePath = c->gameRoot + separator + "Version.json";
  c->localVersion = LoadVersionRecord(c->localVersionFilePath);

  c->title = s.title;
  c->windowRect = MainWindowRect(s.fixedWidth, s.fixedHeight, screenWidth, screenHeight);
}

bool IsSafeBaseDir(const std::string& baseDir) {
  if (baseDir.empty() || baseDir.find(':') != std::string::npos) return false;
  if (baseDir.front() == '/' || baseDir.front() == '\\') return false;
  std::size_t start = 0;
  while (start <= baseDir.size()) {
    const std::size_t end = std::min(baseDir.find_first_of("/\\", start), baseDir.size());
    const std::string component = baseDir.substr(start, end - start);
    // Windows trims trailing dots and spaces: "...", ".. " and ". " are "." or "..".
    if (component.find('.') != std::string::npos && component.find_first_not_of(". ") == std::string::npos) {
      return false;
    }
    start = end + 1;
  }
  return true;
}
