#pragma once
// The launcher: configuration, UI, workers, browser and the launch sequence.
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/download_detail.h"
#include "app/params.h"
#include "app/settings.h"
#include "log/log.h"
#include "net/downloader.h"
#include "report/reporter.h"
#include "ui/ui.h"
#include "update/updater.h"
#include "update/version_answer.h"
#include "web/web_browser.h"
#include "zip/extractor.h"

// Name of the lock that keeps one launcher per user session.
inline constexpr char kInstanceName[] = "4168D28B-11BC-4AE0-AB62-AD44FEC9F3F8";

class CLauncherApp : public CApp,
                     public CDownloaderCallback,
                     public CZipExtractorCallback,
                     public IUpdateObserver,
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
  // The update's reports, on its worker: they are queued for the idle step.
  void OnPhaseBegins(UpdatePhase phase) override;
  void OnPhaseEnds() override;
  void OnProgress(double fraction, std::uint64_t bytesFetched) override;

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
  // Runs an incremental update (update/updater.h), showing its phases as stages; a
  // failure is shown and reported once it has ended.
  UpdateResult UpdateIncrementally(const std::string& clientFolder);
  void ShowUpdateFailure(UpdateFailure failure);
  // Shows what the update reported since the last idle step, in order.
  void ShowUpdateEvents();
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
  // The downloader's and the updater's connections; declared before them so that it
  // outlives them.
  net::ConnectionPool connections_;
  std::unique_ptr<CDownloader> downloader_;
  std::unique_ptr<CZipExtractor> extractor_;
  std::unique_ptr<CUpdater> updater_;
  std::unique_ptr<CReporter> reporter_;
  // Owned; created and deleted explicitly (CreateBrowser, DeleteBrowser).
  CWebBrowser* browser_ = nullptr;
  std::string pageArgument_;
  std::atomic<bool> downloadProgressPending_{false};
  std::atomic<bool> extractProgressPending_{false};
  // What the update reported on its worker and the idle step has not shown yet.
  struct UpdateEvent {
    enum class Kind { Begins, Ends, Progress } kind;
    UpdatePhase phase;
    double fraction;
  };
  std::mutex updateEventsMutex_;
  std::vector<UpdateEvent> updateEvents_;
  DetailDisplay detail_;
  platform::NumberFormat numberFormat_;
  bool launching_ = false;
  // An update's journal could not be finished: the client is of two versions until the
  // whole install refills it.
  bool wholeInstallRequired_ = false;
};
