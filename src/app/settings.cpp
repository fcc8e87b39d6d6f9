// The one place where Setting.json's keys and Version.json are read.
#include "app/settings.h"

#include <algorithm>

#include "app/download_detail.h"
#include "app/text.h"
#include "store/json_file.h"

namespace {

std::wstring TextOr(const Json::Value& document, const char* key, const wchar_t* fallback) {
  const std::string text = ReadJsonText(document, key);
  return text.empty() ? fallback : Utf8ToWide(text);
}

std::wstring Text(const Json::Value& document, const char* key) { return Utf8ToWide(ReadJsonText(document, key)); }

StageTexts TextsFromJson(const Json::Value& document) {
  StageTexts t;
  t.checkLatestVersion = Text(document, "CheckLatestVersion");
  t.checkLatestVersionFail = Text(document, "CheckLatestVersionFail");
  t.downloadLatestVersion = Text(document, "DownloadLatestVersion");
  t.downloadLatestVersionFail = Text(document, "DownloadLatestVersionFail");
  t.extractFile = Text(document, "ExtractFile");
  t.extractFileFail = Text(document, "ExtractFileFail");
  t.emptyBaseDirFail = Text(document, "EmptyBaseDirFail");
  t.needWindows7OrLater = Text(document, "NeedWindows7OrLater");
  t.verifyClient = TextOr(document, "VerifyClient", t.checkLatestVersion.c_str());
  t.untrustedRelease = TextOr(
      document, "UntrustedRelease",
      L"This update could not be verified as coming from the game's publisher, so it was not installed.");
  t.notEnoughDiskSpace = TextOr(
      document, "NotEnoughDiskSpace",
      L"There is not enough free disk space to install the game. Free some space and try again.");
  t.downloadDetail = DownloadDetailFormat(document);
  return t;
}

ReportReasons ReasonsFromJson(const Json::Value& document) {
  ReportReasons r;
  r.startLoading = ReadJsonInt(document, "ReportReasonStartLoading");
  r.stopLoading = ReadJsonInt(document, "ReportReasonStopLoading");
  r.launchGameFail = ReadJsonInt(document, "ReportLaunchGameFail");
  r.osError = ReadJsonInt(document, "ReportReasonOSError");
  r.downloadFail = ReadJsonInt(document, "ReportDownloadLatestVersionFail");
  r.extractFail = ReadJsonInt(document, "ReportExtractFileFail");
  // A package refused by its size or hash was reported as a failed download before the
  // reason of its own existed.
  r.untrustedRelease =
      FindKey(document, "ReportUntrustedRelease") ? ReadJsonInt(document, "ReportUntrustedRelease") : r.downloadFail;
  return r;
}

}  // namespace

LauncherSettings SettingsFromJson(const Json::Value& document) {
  LauncherSettings s;
  s.update.baseDir = ReadJsonText(document, "BaseDir");
  s.incrementalUpdate = ReadJsonInt(document, "IncrementalUpdate");
  s.update.incremental = s.incrementalUpdate != 0;
  s.update.releasePublicKey = ReadJsonText(document, "ReleasePublicKey");
  s.update.connection.timeout = ReadJsonInt(document, "DownloadTimeout");
  s.update.connection.retry = ReadJsonInt(document, "DownloadRetry");
  s.update.connection.retryDelay = ReadJsonInt(document, "DownloadRetryDelay");
  // Absent or below one: six, as browsers open to a host.
  if (const int connections = ReadJsonInt(document, "DownloadConnections"); connections > 0) {
    s.update.connection.connections = connections;
  }
  s.update.connection.maxRate = std::max(0, ReadJsonInt(document, "MaxDownloadRate"));
  s.verifyTls = ReadJsonInt(document, "VerifyTls");
  s.update.connection.tls = net::TlsPolicy{s.verifyTls != 0};
  s.gameDir = ReadJsonText(document, "GameDir");
  s.exeName = ReadJsonText(document, "ExeName");
  s.title = Text(document, "Title");
  s.fixedWidth = ReadJsonInt(document, "FixedWidth");
  s.fixedHeight = ReadJsonInt(document, "FixedHeight");
  s.background = Text(document, "Background");
  s.progressBack = Text(document, "ProgressBack");
  s.progressFront = Text(document, "ProgressFront");
  s.loginUrl = ReadJsonText(document, "LoginUrl");
  if (const Json::Value* trusted = FindKey(document, "TrustedOrigins")) s.trustedOrigins = *trusted;
  s.serverUrl = ReadJsonText(document, "ServerUrl");
  s.packageName = ReadJsonText(document, "PackageName");
  s.packageExt = ReadJsonText(document, "PackageExt");
  s.exeCmdArgs = ReadJsonText(document, "ExeCmdArgs");
  s.platformId = ReadJsonInt(document, "PlatformId");
  s.texts = TextsFromJson(document);
  s.reasons = ReasonsFromJson(document);
  return s;
}

LauncherSettings LoadSettings(const std::string& path) {
  Json::Value document;
  // A file that cannot be read leaves every key unset; the keys read from a broken one
  // are whatever the parser took before it stopped.
  ReadJsonFile(path, document);
  return SettingsFromJson(document);
}

Json::Value LoadVersionRecord(const std::string& path) {
  Json::Value record;
  // Missing or broken, the record holds no version: the client is installed afresh.
  ReadJsonFile(path, record);
  return record;
}

std::string InstalledVersionOf(const Json::Value& record) { return ReadJsonText(record, "Version"); }
