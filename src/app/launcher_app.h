#pragma once
// The launcher: configuration, UI, workers, browser and the launch sequence.
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "app/app.h"
#include "app/download_detail.h"
#include "app/params.h"
#include "app/settings.h"
#include "app/task_worker.h"
#include "log/log.h"
#include "net/downloader.h"
#include "report/reporter.h"
#include "ui/ui.h"
#include "update/client_files.h"
#include "update/entry_unpacker.h"
#include "update/journal.h"
#include "update/plan.h"
#include "update/range_fetcher.h"
#include "update/version_answer.h"
#include "web/web_browser.h"
#include "zip/extractor.h"

// Name of the lock that keeps one launcher per user session.
inline constexpr char kInstanceName[] = "4168D28B-11BC-4AE0-AB62-AD44FEC9F3F8";

class CLauncherApp : public CApp,
                     public CDownloaderCallback,
                     public CZipExtractorCallback,
                     public CRangeFetcherCallback,
                     public CEntryUnpackerCallback,
                     public CUIButtonCallback,
                     public IWebBrowserHost {
 public:
  // The login page's browser, one class per platform (web/).
  using CWebBrowser = ::CWebBrowser;

  CLauncherApp();
  ~CLauncherApp() override;

  void Cleanup() override;

  // The whole launch, run when the page asks to enter the game.
  void EnterGame(const std::string& pageArgument) override;
  bool IsLaunching() const override { return launching_; }

  // Stage runner and progress display.
  bool RunDownloadStage(const std::string& url, const std::string& filePath, const std::wstring& stageText,
                        const std::wstring& failureText);
  bool RunExtractStage(const std::wstring& archivePath, const std::wstring& destination,
                       const std::wstring& stageText, const std::wstring& failureText);
  void ShowProgress(float fraction);

  // Worker notifications, on the worker threads: they only raise a flag.
  void OnDownloadProgress(CDownloader* downloader) override;
  void OnExtractProgress(CZipExtractor* extractor) override;
  void OnRangeFetchProgress(CRangeFetcher* fetcher) override;
  void OnUnpackProgress(CEntryUnpacker* unpacker) override;

  // The page bridge and the browser's notifications.
  // Only the login page's origin, or one listed in TrustedOrigins, may enter the game.
  bool IsTrustedPage(const std::wstring& pageUrl) override;
  void* BrowserParent() const override;
  std::string LoginUrl() const override;
  bool GetDownloadControl(std::uint32_t* flags) override;
  void OnDocumentComplete(const std::wstring& url) override;

  // Read by tests and the browser host.
  const std::wstring& Title() const { return title_; }
  const LauncherSettings& Settings() const { return settings_; }
  CUILabel* StatusLabel() const { return statusLabel_; }
  CUILabel* PercentageLabel() const { return percentageLabel_; }
  CUIProgress* ProgressBar() const { return progressBar_; }
  CWebBrowser* Browser() const { return browser_; }

 protected:
  void InitWindow(MainWindowParams& windowParams, int& canvasWidth, int& canvasHeight) override;
  void InitUI() override;
  // Creates the browser, which opens the login page.
  void OnFirstFrameShown() override;
  void OnIdle() override;
  // The failure's message box (modal: the stage waits for the player to close it).
  virtual void ShowError(const std::wstring& text);

 private:
  bool CheckVersion();
  // Records the serial of an accepted signed answer in Version.json when it is the
  // highest so far, so that no older signed answer is accepted again.
  void KeepReleaseSerial(std::int64_t serial);
  bool UpdateClient();

  // Incremental updates (IncrementalUpdate in Setting.json): only the entries that
  // changed are fetched, by byte ranges of the package, and the old client stays until
  // the new one is whole. Each step ends Done (go on), Failed (a failure was shown, or
  // the player left) or Whole (what was fetched is dropped: the whole install it is).
  enum class Incremental { Done, Failed, Whole };
  Incremental UpdateIncrementally(const std::string& clientFolder, const std::string& serverVersion);
  // Removes "<client folder>.update" and what it holds (a link there as the link).
  void RemoveUpdateFolder(const std::string& clientFolder);
  // Drops the update folder and answers Whole.
  Incremental InstallWhole(const PackageSource& source);
  // The installed-files record, made from the client folder when it is missing or of
  // another client; false when the scan failed or was cancelled.
  bool EnsureClientRecord(const std::string& clientFolder, ClientFiles* record);
  // The package's end and directory into `source`'s pieces.
  Incremental FetchPackageDirectory(PackageSource* source);
  // Fetches what the pieces do not hold of `ranges`.
  Incremental FetchRanges(const PackageSource& source, const std::vector<update::ByteRange>& ranges);
  // What a fetcher run that ended `fetched` means for the update.
  Incremental FetchOutcome(const PackageSource& source, bool fetched);
  // The entries of the directory at hand; false when it is damaged, or holds links or
  // two entries for one file.
  bool ReadPackageDirectory(const PackageSource& source, std::vector<PackageEntry>* entries);
  // Fetches the release's file list (its SHA-256 is `listHash`), holds the directory
  // to it and gives each entry its SHA-256; installed files the record has no SHA-256
  // for are measured into `installed`.
  Incremental ReadFileList(const PackageSource& source, const std::string& listHash, const std::string& clientFolder,
                           std::vector<PackageEntry>* entries, ClientFiles* installed);
  bool MeasureUnvouchedFiles(const std::string& clientFolder, const std::vector<PackageEntry>& entries,
                             ClientFiles* installed);
  // Whether the volume takes the ranges still to fetch and the entries once unpacked.
  bool HasRoomForUpdate(const PackageSource& source, const UpdatePlan& plan) const;
  // Unpacks the fetched entries and checks them against the file list's hashes.
  Incremental StageEntries(const PackageSource& source, const std::vector<const PackageEntry*>& fetched);
  // Checks, journals and applies the staged files.
  Incremental ApplyUpdate(const std::string& clientFolder, const PackageSource& source, const UpdateJournal& journal);
  // Shows NotEnoughDiskSpace and sends its report.
  Incremental FailForSpace();
  // Shows the failure of an update's fetching (unless the player left) and sends its report.
  void FailDownload();
  // Finishes an update that a crash interrupted after its journal was written; one
  // that cannot be finished makes this launch take the whole install.
  void FinishInterruptedUpdate();
  // The records of a finished update: ClientFiles.json, Version.json, and the update
  // folder goes.
  void CompleteUpdate(const UpdateFolders& folders, const UpdateJournal& journal);
  // After a whole-package install: the record from its directory, with the file list's
  // hashes when the package's own hash was checked.
  void RecordInstalledPackage(const std::string& packagePath, const std::string& clientFolder,
                              const std::string& version, bool packageVerified);
  // Runs one stage of an update's worker: starts it, waits, and reports its progress.
  template <typename Worker, typename Starter>
  bool RunUpdateWorker(Worker& worker, Starter start);
  bool StartGame(ParamMap& params);
  // Whether the game root's volume can take the package's entries once unpacked.
  bool HasRoomFor(const std::string& packagePath) const;
  void Report(int reason);
  void CloseWindow();
  template <typename Worker>
  void WaitForWorker(Worker& worker) {
    while (!worker.finished) {
      if (!PumpMessage() || IsMainWindowDestroyed()) {
        worker.Stop();
        return;
      }
    }
  }
  // The sizes, speed and time left after the status text while a file downloads.
  void ShowDownloadDetail();
  void BeginStage(const std::wstring& stageText);
  bool EndStage(bool succeeded, const std::wstring& failureText);
  // The failed stage's look: the status text red with `failureText`, then the box.
  void ShowStageFailure(const std::wstring& failureText);
  void CreateBrowser(const platform::Rect& rect);
  void DeleteBrowser();

  // While a file downloads with a DownloadDetail format: the format, the stage text
  // that the detail follows, the speed measured so far, and when the text last changed.
  struct DetailDisplay {
    std::wstring format;
    std::wstring stageText;
    CTransferMeter meter;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point shown;
  };
  // The detail changes twice a second at most, so that it can be read.
  static constexpr std::chrono::milliseconds kDetailInterval{500};

  // Status text colours (ARGB).
  static constexpr std::uint32_t kWhite = 0xFFFFFFFF;
  static constexpr std::uint32_t kRed = 0xFFFF0000;

  std::wstring title_;
  std::string executableFolder_;
  std::string gameRoot_;
  std::string gameExecutablePath_;
  std::string localVersionFilePath_;
  LauncherSettings settings_;
  Json::Value localVersion_;
  VersionAnswer answer_;
  CUIPicture* backgroundPicture_ = nullptr;
  CUIProgress* progressBar_ = nullptr;
  CUILabel* percentageLabel_ = nullptr;
  CUILabel* statusLabel_ = nullptr;
  // Opened in the game root once the configuration is loaded; declared before the
  // workers so that it outlives them.
  std::unique_ptr<applog::LogSession> log_;
  std::unique_ptr<CDownloader> downloader_;
  std::unique_ptr<CZipExtractor> extractor_;
  std::unique_ptr<CRangeFetcher> fetcher_;
  std::unique_ptr<CEntryUnpacker> unpacker_;
  std::unique_ptr<CTaskWorker> scanner_;
  std::unique_ptr<CReporter> reporter_;
  // Owned; created and deleted explicitly (CreateBrowser, DeleteBrowser).
  CWebBrowser* browser_ = nullptr;
  std::string pageArgument_;
  std::atomic<bool> downloadProgressPending_{false};
  std::atomic<bool> extractProgressPending_{false};
  // The update worker whose progress the stage shows, and its pending flag.
  const std::atomic<double>* updateProgress_ = nullptr;
  std::atomic<bool> updateProgressPending_{false};
  DetailDisplay detail_;
  platform::NumberFormat numberFormat_;
  bool launching_ = false;
  // An update's journal could not be finished: the client is of two versions until the
  // whole install refills it.
  bool wholeInstallRequired_ = false;
};
