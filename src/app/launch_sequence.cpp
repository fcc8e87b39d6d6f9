// The launch sequence: version check, client update and game start, run when the
// login page asks to enter the game.
#include <cctype>
#include <chrono>
#include <cstring>

#include "app/config_helpers.h"
#include "app/launch_log.h"
#include "app/launcher_configuration.h"
#include "app/launcher_app.h"
#include "app/release_signature.h"
#include "app/text.h"
#include "log/log.h"
#include "net/part_file.h"
#include "platform/disk.h"
#include "platform/file.h"
#include "platform/os.h"
#include "platform/path.h"
#include "platform/process.h"

namespace {

// The package's local name comes partly from the server's version text; a separator
// in it must not lead the download, or the deletion after it, out of the game root.
std::string SafeFileName(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':') c = '_';
  }
  return name;
}

// The value of `key` in an object; null when absent or when `document` is no object.
const Json::Value* FindKey(const Json::Value& document, const char* key) {
  return document.isObject() ? document.find(key, key + std::strlen(key)) : nullptr;
}

// The package's size when the answer gives it as a whole number of bytes; -1 otherwise.
std::int64_t PackageSizeOf(const Json::Value& answer) {
  const Json::Value* value = FindKey(answer, "PackageSize");
  if (!value || !value->isIntegral() || !value->isInt64() || value->asInt64() < 0) return -1;
  return value->asInt64();
}

// The package's SHA-256 in lower case when the answer gives 64 hexadecimal digits; ""
// otherwise.
std::string PackageSha256Of(const Json::Value& answer) {
  const Json::Value* value = FindKey(answer, "PackageSha256");
  if (!value || !value->isString()) return "";
  std::string hash = value->asString();
  if (hash.size() != 64) return "";
  for (char& c : hash) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hash;
}

// Deletes what an interrupted download of another version left in the game root
// ("<PackageName>*<PackageExt>.part" and its record): only the current package's part
// may be resumed.
void RemoveOtherParts(const std::string& gameRoot, const std::string& prefix, const std::string& packageFile) {
  const std::wstring start = platform::NativePath::FromAnsi(prefix).units();
  const std::wstring keep = platform::NativePath::FromAnsi(net::PartFile::PartPath(packageFile)).units();
  const platform::NativePath root = platform::NativePath::FromAnsi(gameRoot);
  platform::FolderSearch search;
  if (!search.Open(root)) return;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    const std::wstring& name = entry.name.units();
    if (entry.isFolder || entry.isLink || name.rfind(start, 0) != 0) continue;
    // Whatever cannot go stays: it only costs space.
    if (net::PartFile::IsPartName(name) && name.rfind(keep, 0) != 0) platform::RemoveFile(root.Join(entry.name));
  }
}

bool IsTextOrAbsent(const Json::Value& document, const char* key) {
  const Json::Value* value = FindKey(document, key);
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
  // A client file that a virus scanner or an indexer holds for a moment does not fail
  // the update: its file operations wait the hold out (on Windows).
  const platform::HeldFileWait heldFiles;
  // An update that a crash cut short in the middle of its moves comes first.
  FinishInterruptedUpdate();
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
                                          ReadJsonText(serverVersion_, "Version"), downloader_->tls());
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
  const bool parsed = ParseJsonText(downloader_->GetContent(), serverVersion_);
  const std::string releaseKey = ReadJsonText(settings_, "ReleasePublicKey");
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const ReleaseHistory history{ReleaseSerialOf(localVersion_),
                               std::chrono::duration_cast<std::chrono::seconds>(now).count()};
  if (!parsed || !IsUsableVersionAnswer(serverVersion_)) {
    // An answer that is not ours fails like a transfer that never came.
    applog::Log(VersionRefusalLogLine(parsed, false, releaseKey, serverVersion_, history));
    ShowStageFailure(failureText);
    return false;
  }
  if (!IsAcceptableVersionAnswer(releaseKey, serverVersion_, history)) {
    applog::Log(VersionRefusalLogLine(true, true, releaseKey, serverVersion_, history));
    // The player learns that the update is not the studio's, not that the server is
    // down. Nothing is reported: the answer's report address is as untrusted as the
    // rest of it, and reports carry the player's name.
    ShowStageFailure(UntrustedReleaseText());
    return false;
  }
  if (!releaseKey.empty()) KeepReleaseSerial(ReleaseSerialOf(serverVersion_));
  return true;
}

void CLauncherApp::KeepReleaseSerial(std::int64_t serial) {
  if (serial <= ReleaseSerialOf(localVersion_)) return;
  // Without Version.json there is no client to hold back yet; the install writes it.
  const bool recorded = localVersion_.isObject();
  if (!recorded) localVersion_ = Json::Value(Json::objectValue);
  localVersion_["Serial"] = Json::Int64(serial);
  // Not written, the serial still holds for this launch, and the install writes it.
  if (recorded) WriteJsonFile(localVersionFilePath_, localVersion_);
}

bool CLauncherApp::UpdateClient() {
  const std::string serverVersion = ReadJsonText(serverVersion_, "Version");
  std::uint32_t attributes = 0;
  if (!wholeInstallRequired_ && serverVersion == ReadJsonText(localVersion_, "Version") &&
      platform::QueryAttributes(gameExecutablePath_, &attributes)) {
    return true;
  }

  // The client folder is emptied: it must lie strictly below the game root, or a
  // missing or hostile BaseDir would empty the launcher's own folder or worse.
  const std::string baseDir = ReadJsonText(settings_, "BaseDir");
  const std::string clientFolder = JoinPath(gameRoot_, baseDir);
  if (IsSafeBaseDir(baseDir) && IsIncremental() && !wholeInstallRequired_) {
    const Incremental result = UpdateIncrementally(clientFolder, serverVersion);
    if (result != Incremental::Whole) return result == Incremental::Done;
  }
  // The record goes first: a whole install cut short leaves a client it does not describe.
  if (IsSafeBaseDir(baseDir)) platform::RemoveFile(JoinPath(gameRoot_, kClientFilesName));
  if (!IsSafeBaseDir(baseDir) || !EmptyFolder(clientFolder)) {
    applog::Log(IsSafeBaseDir(baseDir)
                    ? "the client folder " + clientFolder + " could not be emptied"
                    : "BaseDir \"" + baseDir + "\" refused: not a relative path below the game root");
    ShowStageFailure(Utf8ToWide(ReadJsonText(settings_, "EmptyBaseDirFail")));
    return false;
  }
  platform::RemoveFolder(clientFolder);
  // An unfinished update's journal goes only now: until the client folder is empty, a
  // launch after a crash must still know that the client is of two versions.
  RemoveUpdateFolder(clientFolder);
  wholeInstallRequired_ = false;

  const std::string packageName = ReadJsonText(settings_, "PackageName");
  const std::string packageFile =
      SafeFileName(packageName + serverVersion + ReadJsonText(settings_, "PackageExt"));
  const std::string packagePath = JoinPath(gameRoot_, packageFile);
  if (!packageName.empty()) RemoveOtherParts(gameRoot_, SafeFileName(packageName), packageFile);
  const std::string packageHash = PackageSha256Of(serverVersion_);
  downloader_->SetExpected(PackageSizeOf(serverVersion_), packageHash);
  bool installed = false;
  if (!RunDownloadStage(ReadJsonText(serverVersion_, "PackageUrl"), packagePath,
                        Utf8ToWide(ReadJsonText(settings_, "DownloadLatestVersion")),
                        Utf8ToWide(ReadJsonText(settings_, "DownloadLatestVersionFail")))) {
    Report(FailedDownloadReason());
  } else if (IsMainWindowDestroyed()) {
    // Closed as the download ended: nothing is unpacked for a player who left.
  } else if (!HasRoomFor(packagePath)) {
    ShowStageFailure(NotEnoughDiskSpaceText());
    Report("ReportExtractFileFail");
  } else if (!RunExtractStage(AnsiToWide(packagePath), AnsiToWide(clientFolder),
                              Utf8ToWide(ReadJsonText(settings_, "ExtractFile")),
                              Utf8ToWide(ReadJsonText(settings_, "ExtractFileFail")))) {
    Report("ReportExtractFileFail");
  } else {
    if (!localVersion_.isObject()) localVersion_ = Json::Value(Json::objectValue);
    localVersion_["Version"] = serverVersion;
    WriteJsonFile(localVersionFilePath_, localVersion_);
    // Recorded whatever IncrementalUpdate says, so that switching it on later finds the
    // package's files told apart from the player's.
    RecordInstalledPackage(packagePath, clientFolder, serverVersion, !packageHash.empty());
    installed = true;
  }
  platform::RemoveFile(packagePath);
  net::PartFile::RemoveUnresumable(packagePath);
  return installed;
}

bool CLauncherApp::HasRoomFor(const std::string& packagePath) const {
  std::uint64_t needed = 0;
  std::uint64_t free = 0;
  // When either cannot be told, the extraction itself finds out.
  if (!ArchiveUnpackedSize(AnsiToWide(packagePath), &needed) || !platform::FreeDiskSpace(gameRoot_, &free)) {
    return true;
  }
  return needed <= free;
}

const char* CLauncherApp::FailedDownloadReason() const {
  // A package refused by its size or hash came after an accepted answer, whose report
  // address is trusted as much as the answer. Without its own reason it is reported as
  // a failed download, as it was before.
  return downloader_->bodyRefused() && settings_.isMember("ReportUntrustedRelease") ? "ReportUntrustedRelease"
                                                                                      : "ReportDownloadLatestVersionFail";
}

std::wstring CLauncherApp::UntrustedReleaseText() const {
  const std::string text = ReadJsonText(settings_, "UntrustedRelease");
  return text.empty() ? L"This update could not be verified as coming from the game's publisher, so it was not "
                        L"installed."
                      : Utf8ToWide(text);
}

std::wstring CLauncherApp::NotEnoughDiskSpaceText() const {
  const std::string text = ReadJsonText(settings_, "NotEnoughDiskSpace");
  return text.empty() ? L"There is not enough free disk space to install the game. Free some space and try again."
                      : Utf8ToWide(text);
}

bool CLauncherApp::StartGame(ParamMap& params) {
  const std::string arguments =
      GameArguments(params["username"], JoinParams(params), ReadJsonText(settings_, "ExeCmdArgs"));
  applog::Log(GameCommandLineForLog(gameExecutablePath_, params, ReadJsonText(settings_, "ExeCmdArgs")));
  const bool started =
      platform::LaunchProcess(gameExecutablePath_, GameCommandLine(gameExecutablePath_, arguments), "");
  applog::Log(started ? "game started" : "the game could not be started");
  return started;
}
