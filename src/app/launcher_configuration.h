#pragma once
// What the launcher derives from its files at start-up.
#include <json/json.h>

#include <string>

#include "app/settings.h"
#include "platform/window_frame.h"

inline constexpr std::uint32_t kMainWindowStyle = 0x92CC0000;
inline constexpr int kCanvasWidth = 1100;
inline constexpr int kCanvasHeight = 660;

struct LauncherConfiguration {
  std::wstring title;
  std::string executableFolder;
  std::string gameRoot;
  std::string gameExecutablePath;
  std::string localVersionFilePath;
  LauncherSettings settings;
  Json::Value localVersion;
  platform::Rect windowRect;
};

// The executable's folder with its trailing separator; empty when `executablePath`
// has no separator.
std::string ExecutableFolderOf(const std::string& executablePath);

// The outer window rectangle whose client area of width x height is centred on a
// screen of screenWidth x screenHeight.
platform::Rect MainWindowRect(int width, int height, int screenWidth, int screenHeight);

// Loads the configuration for an executable at `executablePath`: makes its folder the
// current directory, reads Setting.json, decides the game root with the writability
// probe, derives the paths, reads Version.json, the title and the window rectangle.
// Problems never stop start-up: missing values read as "" and 0.
void LoadConfiguration(const std::string& executablePath, int screenWidth, int screenHeight,
                       LauncherConfiguration* configuration);

// Whether `folder` holds an installed client (Version.json) on a volume too full for the
// writability probe to pass. The client then stays where it is, and its update says that
// space is short, rather than a second copy going quietly to the application-data folder.
bool HoldsClientOnFullVolume(const std::string& folder);

// Whether BaseDir names a folder strictly below the game root: not empty, relative,
// without a drive or a colon, not starting with a separator, and without "." or ".."
// components nor ones Windows trims to them ("...", ".. "); either separator counts on
// every platform.
bool IsSafeBaseDir(const std::string& baseDir);
