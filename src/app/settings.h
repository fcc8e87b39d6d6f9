#pragma once
// Setting.json and Version.json, read once into typed values: a missing key, or one of
// the wrong type, reads as "" or 0, and the built-in texts stand in where the file has none.
#include <json/json.h>

#include <cstdint>
#include <string>

#include "update/update_settings.h"

// The report reasons (ReportReason...).
struct ReportReasons {
  int startLoading = 0;
  int stopLoading = 0;
  int launchGameFail = 0;
  int osError = 0;
  int downloadFail = 0;
  int extractFail = 0;
  // ReportUntrustedRelease, or ReportDownloadLatestVersionFail when the file has none.
  int untrustedRelease = 0;
};

// The status and message texts.
struct StageTexts {
  std::wstring checkLatestVersion;
  std::wstring checkLatestVersionFail;
  std::wstring downloadLatestVersion;
  std::wstring downloadLatestVersionFail;
  std::wstring extractFile;
  std::wstring extractFileFail;
  std::wstring emptyBaseDirFail;
  std::wstring needWindows7OrLater;
  // VerifyClient, or CheckLatestVersion when the file has none.
  std::wstring verifyClient;
  // UntrustedRelease and NotEnoughDiskSpace, or a built-in English text.
  std::wstring untrustedRelease;
  std::wstring notEnoughDiskSpace;
  // DownloadDetail: its default when absent, empty when empty or not a text.
  std::wstring downloadDetail;
};

struct LauncherSettings {
  UpdateSettings update;
  std::string gameDir;
  std::string exeName;
  std::wstring title;
  int fixedWidth = 0;
  int fixedHeight = 0;
  std::wstring background;
  std::wstring progressBack;
  std::wstring progressFront;
  std::string loginUrl;
  // TrustedOrigins as written (IsTrustedOrigin reads it).
  Json::Value trustedOrigins;
  std::string serverUrl;
  std::string packageName;
  std::string packageExt;
  std::string exeCmdArgs;
  int platformId = 0;
  StageTexts texts;
  ReportReasons reasons;
  // IncrementalUpdate and VerifyTls as written, for the log.
  int incrementalUpdate = 0;
  int verifyTls = 0;
};

// Reads Setting.json at `path` (comments allowed); a missing file reads as one without keys.
LauncherSettings LoadSettings(const std::string& path);
LauncherSettings SettingsFromJson(const Json::Value& document);

// Version.json: the installed version and whatever else the file holds (kept when it is
// rewritten). Null when the file is missing.
Json::Value LoadVersionRecord(const std::string& path);
std::string InstalledVersionOf(const Json::Value& record);
