// The launch sequence: version check, client update and game start, run when the
// login page asks to enter the game.
#include <cstring>

#include "app/config_helpers.h"
#include "app/launcher_configuration.h"
#include "app/launcher_app.h"
#include "app/text.h"
#include "platform/file.h"
#include "platform/os.h"
#include "platform/path.h"
#include "platform/process.h"

namespace {

std::string Join(const std::string& folder, const std::string& name) {
  return folder + platform::PathSeparator() + name;
}

// The package's local name comes partly from the server's version text; a separator
// in it must not lead the download, or the deletion after it, out of the game root.
std::string SafeFileName(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':') c = '_';
  }
  return name;
}

bool IsTextOrAbsent(const Json::Value& document, const char* key) {
  const Json::Value* value = document.find(key, key + std::strlen(key));
  return !value || value->isNull() || value->isString();
}

// The answer must be an object whose three keys, where present, are texts.
bool IsUsableVersionAnswer(const Json::Value& answer) {
  return answer.isObject() && IsTextOrAbsent(answer, "Version") && IsTextOrAbsent(answer, "PackageUrl") &&
         IsTextOrAbsent(answer, "ReportOperationUrl");
}

}  // namespace

void CLauncherApp::CloseWindow() {
  if (!IsMainWindowDestroyed()) window_system::DestroyWindow(MainWindow());
}

void CLauncherApp::Report(const char* reasonKey) {
  reporter_->Report(ReadJsonInt(settings_, reasonKey), "", "", "", "");
}

void CLauncherApp::EnterGame(const std::string& pageArgument) {
  // The page is hidden during a run, but a script may still call again: one run at a time.
  if (launching_) return;
  launching_ = true;
  pageArgument_ = pageArgument;
  ParamMap params;
  ParseParams(pageArgument_, params);
  // A player who closed the window during the check wants nothing more.
  if (params.empty() || !CheckVersion() || IsMainWindowDestroyed()) {
    CloseWindow();
    launching_ = false;
    return;
  }
  reporter_ = std::make_unique<CReporter>(ReadJsonText(serverVersion_, "ReportOperationUrl"),
                                          ReadJsonInt(settings_, "PlatformId"), params["username"],
                                          ReadJsonText(serverVersion_, "Version"));
  if (!platform::IsOsSupported()) {
    Report("ReportReasonOSError");
    ShowError(Utf8ToWide(ReadJsonText(settings_, "NeedWindows7OrLater")));
    CloseWindow();
  } else {
    Report("ReportReasonStartLoading");
    if (!UpdateClient()) {
      CloseWindow();
    } else if (!IsMainWindowDestroyed()) {
      CloseWindow();
      Report(StartGame(params) ? "ReportReasonStopLoading" : "ReportLaunchGameFail");
    }
  }
  launching_ = false;
}

bool CLauncherApp::CheckVersion() {
  const std::wstring failureText = Utf8ToWide(ReadJsonText(settings_, "CheckLatestVersionFail"));
  serverVersion_ = Json::Value();
  if (!RunDownloadStage(ReadJsonText(settings_, "ServerUrl"), "",
                        Utf8ToWide(ReadJsonText(settings_, "CheckLatestVersion")), failureText)) {
    return false;
  }
  const std::string content = downloader_->GetContent();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::Reader reader;
  const bool parsed = reader.parse(content, serverVersion_);
#pragma GCC diagnostic pop
  if (parsed && IsUsableVersionAnswer(serverVersion_)) return true;
  // An answer that is not ours fails like a transfer that never came.
  ShowStageFailure(failureText);
  return false;
}

bool CLauncherApp::UpdateClient() {
  const std::string serverVersion = ReadJsonText(serverVersion_, "Version");
  std::uint32_t attributes = 0;
  if (serverVersion == ReadJsonText(localVersion_, "Version") &&
      platform::QueryAttributes(gameExecutablePath_, &attributes)) {
    return true;
  }

  // The client folder is emptied: it must lie strictly below the game root, or a
  // missing or hostile BaseDir would empty the launcher's own folder or worse.
  const std::string baseDir = ReadJsonText(settings_, "BaseDir");
  const std::string clientFolder = Join(gameRoot_, baseDir);
  if (!IsSafeBaseDir(baseDir) || !EmptyFolder(clientFolder)) {
    ShowStageFailure(Utf8ToWide(ReadJsonText(settings_, "EmptyBaseDirFail")));
    return false;
  }
  platform::RemoveFolder(clientFolder);

  const std::string packagePath = Join(
      gameRoot_,
      SafeFileName(ReadJsonText(settings_, "PackageName") + serverVersion + ReadJsonText(settings_, "PackageExt")));
  bool installed = false;
  if (!RunDownloadStage(ReadJsonText(serverVersion_, "PackageUrl"), packagePath,
                        Utf8ToWide(ReadJsonText(settings_, "DownloadLatestVersion")),
                        Utf8ToWide(ReadJsonText(settings_, "DownloadLatestVersionFail")))) {
    Report("ReportDownloadLatestVersionFail");
  } else if (IsMainWindowDestroyed()) {
    // Closed as the download ended: nothing is unpacked for a player who left.
  } else if (!RunExtractStage(AnsiToWide(packagePath), AnsiToWide(clientFolder),
                              Utf8ToWide(ReadJsonText(settings_, "ExtractFile")),
                              Utf8ToWide(ReadJsonText(settings_, "ExtractFileFail")))) {
    Report("ReportExtractFileFail");
  } else {
    if (!localVersion_.isObject()) localVersion_ = Json::Value(Json::objectValue);
    localVersion_["Version"] = serverVersion;
    WriteJsonFile(localVersionFilePath_, localVersion_);
    installed = true;
  }
  platform::RemoveFile(packagePath);
  return installed;
}

bool CLauncherApp::StartGame(ParamMap& params) {
  const std::string arguments =
      GameArguments(params["username"], JoinParams(params), ReadJsonText(settings_, "ExeCmdArgs"));
  return platform::LaunchProcess(gameExecutablePath_, GameCommandLine(gameExecutablePath_, arguments), "");
}
