// The launch sequence: version check, client update and game start, run when the
// login page asks to enter the game.
#include <chrono>

#include "app/launch_log.h"
#include "app/launcher_app.h"
#include "app/launcher_configuration.h"
#include "app/text.h"
#include "log/log.h"
#include "net/part_file.h"
#include "platform/codepage.h"
#include "platform/disk.h"
#include "platform/file.h"
#include "platform/os.h"
#include "platform/path.h"
#include "platform/process.h"
#include "store/files.h"
#include "store/json_file.h"
#include "update/release_signature.h"
#include "update/version_answer.h"

namespace {

// The package's local name comes partly from the server's version text; a separator
// in it must not lead the download, or the deletion after it, out of the game root.
std::string SafeFileName(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':') c = '_';
  }
  return name;
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

}  // namespace

void CLauncherApp::CloseWindow() {
  if (!IsMainWindowDestroyed()) window_system::DestroyWindow(MainWindow());
}

void CLauncherApp::Report(int reason) { reporter_->Report(reason, "", "", "", ""); }

void CLauncherApp::EnterGame(const std::string& pageArgument) {
  // The page is hidden during a run, but a script may still call again: one run at a time.
  if (launching_) return;
  launching_ = true;
  // A client file that a virus scanner or an indexer holds for a moment does not fail
  // the update: its file operations wait the hold out (on Windows).
  const platform::HeldFileWait heldFiles;
  // An update that a crash cut short in the middle of its moves comes first.
  const std::string& baseDir = settings_.update.baseDir;
  if (IsSafeBaseDir(baseDir) &&
      !FinishInterruptedUpdate(gameRoot_, JoinPath(gameRoot_, baseDir), localVersionFilePath_, &localVersion_)) {
    wholeInstallRequired_ = true;
  }
  pageArgument_ = pageArgument;
  ParamMap params;
  ParseParams(pageArgument_, params);
  // A player who closed the window during the check wants nothing more.
  if (params.empty() || !CheckVersion() || IsMainWindowDestroyed()) {
    CloseWindow();
    launching_ = false;
    return;
  }
  reporter_ = std::make_unique<CReporter>(answer_.reportUrl, settings_.platformId, params["username"],
                                          answer_.version, downloader_->tls());
  const ReportReasons& reasons = settings_.reasons;
  if (!platform::IsOsSupported()) {
    Report(reasons.osError);
    ShowError(settings_.texts.needWindows7OrLater);
    CloseWindow();
  } else {
    Report(reasons.startLoading);
    if (!UpdateClient()) {
      CloseWindow();
    } else if (!IsMainWindowDestroyed()) {
      CloseWindow();
      Report(StartGame(params) ? reasons.stopLoading : reasons.launchGameFail);
    }
  }
  launching_ = false;
}

bool CLauncherApp::CheckVersion() {
  const StageTexts& texts = settings_.texts;
  answer_ = VersionAnswer();
  if (!RunDownloadStage(settings_.serverUrl, "", texts.checkLatestVersion, texts.checkLatestVersionFail)) {
    return false;
  }
  Json::Value document;
  const bool parsed = ParseVersionAnswerText(downloader_->GetContent(), &document);
  const std::string& releaseKey = settings_.update.releasePublicKey;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const ReleaseHistory history{ReleaseSerialOf(localVersion_),
                               std::chrono::duration_cast<std::chrono::seconds>(now).count()};
  if (!parsed || !ReadVersionAnswer(document, &answer_)) {
    // An answer that is not ours fails like a transfer that never came.
    applog::Log(VersionRefusalLogLine(parsed, false, releaseKey, document, history));
    ShowStageFailure(texts.checkLatestVersionFail);
    return false;
  }
  if (!IsAcceptableVersionAnswer(releaseKey, answer_.document, history)) {
    applog::Log(VersionRefusalLogLine(true, true, releaseKey, answer_.document, history));
    // The player learns that the update is not the studio's, not that the server is
    // down. Nothing is reported: the answer's report address is as untrusted as the
    // rest of it, and reports carry the player's name.
    ShowStageFailure(texts.untrustedRelease);
    return false;
  }
  if (!releaseKey.empty()) KeepReleaseSerial(answer_.serial);
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
  const std::string& serverVersion = answer_.version;
  std::uint32_t attributes = 0;
  if (!wholeInstallRequired_ && serverVersion == InstalledVersionOf(localVersion_) &&
      platform::QueryAttributes(gameExecutablePath_, &attributes)) {
    return true;
  }

  // The client folder is emptied: it must lie strictly below the game root, or a
  // missing or hostile BaseDir would empty the launcher's own folder or worse.
  const std::string& baseDir = settings_.update.baseDir;
  const std::string clientFolder = JoinPath(gameRoot_, baseDir);
  const StageTexts& texts = settings_.texts;
  if (IsSafeBaseDir(baseDir) && settings_.update.incremental && !wholeInstallRequired_) {
    const UpdateResult result = UpdateIncrementally(clientFolder);
    if (result != UpdateResult::Whole) return result == UpdateResult::Done;
  }
  // The record goes first: a whole install cut short leaves a client it does not describe.
  if (IsSafeBaseDir(baseDir)) platform::RemoveFile(JoinPath(gameRoot_, kClientFilesName));
  if (!IsSafeBaseDir(baseDir) || !EmptyFolder(clientFolder)) {
    applog::Log(IsSafeBaseDir(baseDir)
                    ? "the client folder " + clientFolder + " could not be emptied"
                    : "BaseDir \"" + baseDir + "\" refused: not a relative path below the game root");
    ShowStageFailure(texts.emptyBaseDirFail);
    return false;
  }
  platform::RemoveFolder(clientFolder);
  // An unfinished update's journal goes only now: until the client folder is empty, a
  // launch after a crash must still know that the client is of two versions.
  RemoveUpdateFolder(clientFolder);
  wholeInstallRequired_ = false;

  const std::string& packageName = settings_.packageName;
  const std::string packageFile = SafeFileName(packageName + serverVersion + settings_.packageExt);
  const std::string packagePath = JoinPath(gameRoot_, packageFile);
  if (!packageName.empty()) RemoveOtherParts(gameRoot_, SafeFileName(packageName), packageFile);
  downloader_->SetExpected(answer_.packageSize, answer_.packageSha256);
  downloader_->SetMirrors(answer_.packageUrls);
  bool installed = false;
  if (!RunDownloadStage(answer_.packageUrl, packagePath, texts.downloadLatestVersion,
                        texts.downloadLatestVersionFail)) {
    // A package refused by its size or hash came after an accepted answer, whose report
    // address is trusted as much as the answer.
    Report(downloader_->bodyRefused() ? settings_.reasons.untrustedRelease : settings_.reasons.downloadFail);
  } else if (IsMainWindowDestroyed()) {
    // Closed as the download ended: nothing is unpacked for a player who left.
  } else if (!HasRoomFor(packagePath)) {
    ShowStageFailure(texts.notEnoughDiskSpace);
    Report(settings_.reasons.extractFail);
  } else if (!RunExtractStage(platform::AnsiToWide(packagePath), platform::AnsiToWide(clientFolder), texts.extractFile,
                              texts.extractFileFail)) {
    Report(settings_.reasons.extractFail);
  } else {
    if (!localVersion_.isObject()) localVersion_ = Json::Value(Json::objectValue);
    localVersion_["Version"] = serverVersion;
    WriteJsonFile(localVersionFilePath_, localVersion_);
    // Recorded whatever IncrementalUpdate says, so that switching it on later finds the
    // package's files told apart from the player's.
    RecordInstalledPackage(packagePath, gameRoot_, clientFolder, serverVersion, baseDir,
                           answer_.packageSha256.empty() ? "" : answer_.fileListSha256);
    installed = true;
  }
  platform::RemoveFile(packagePath);
  net::PartFile::RemoveUnresumable(packagePath);
  return installed;
}

UpdateResult CLauncherApp::UpdateIncrementally(const std::string& clientFolder) {
  updater_->Start({gameRoot_, clientFolder, localVersionFilePath_, localVersion_, settings_.update, answer_});
  WaitForWorker(*updater_);
  ShowUpdateEvents();
  const UpdateOutcome& outcome = updater_->outcome();
  if (outcome.result == UpdateResult::Done) localVersion_ = updater_->versionRecord();
  if (outcome.result == UpdateResult::Failed) ShowUpdateFailure(outcome.failure);
  return outcome.result;
}

void CLauncherApp::ShowUpdateFailure(UpdateFailure failure) {
  const StageTexts& texts = settings_.texts;
  switch (failure) {
    case UpdateFailure::Transfer:
      if (!IsMainWindowDestroyed()) ShowStageFailure(texts.downloadLatestVersionFail);
      Report(settings_.reasons.downloadFail);
      break;
    case UpdateFailure::Space:
      ShowStageFailure(texts.notEnoughDiskSpace);
      Report(settings_.reasons.extractFail);
      break;
    case UpdateFailure::Held:
      ShowStageFailure(texts.emptyBaseDirFail);
      break;
    case UpdateFailure::Journal:
      ShowStageFailure(texts.extractFileFail);
      Report(settings_.reasons.extractFail);
      break;
    case UpdateFailure::None:
    case UpdateFailure::Cancelled:
    case UpdateFailure::Unmeasured:
      // The player left, or nothing went wrong that the player could act on.
      break;
  }
}

bool CLauncherApp::HasRoomFor(const std::string& packagePath) const {
  std::uint64_t needed = 0;
  std::uint64_t free = 0;
  // When either cannot be told, the extraction itself finds out.
  if (!ArchiveUnpackedSize(platform::AnsiToWide(packagePath), &needed) || !platform::FreeDiskSpace(gameRoot_, &free)) {
    return true;
  }
  return needed <= free;
}

bool CLauncherApp::StartGame(ParamMap& params) {
  const std::string arguments = GameArguments(params["username"], JoinParams(params), settings_.exeCmdArgs);
  applog::Log(GameCommandLineForLog(gameExecutablePath_, params, settings_.exeCmdArgs));
  const bool started =
      platform::LaunchProcess(gameExecutablePath_, GameCommandLine(gameExecutablePath_, arguments), "");
  applog::Log(started ? "game started" : "the game could not be started");
  return started;
}
