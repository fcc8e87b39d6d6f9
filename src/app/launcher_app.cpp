// The launcher application: its window's content, the workers it owns, the stage
// runner that shows a worker's progress, and its side of the page bridge.
#include "app/launcher_app.h"

#include "app/launch_log.h"
#include "app/launcher_configuration.h"
#include "app/page_origin.h"
#include "app/text.h"
#include "platform/codepage.h"
#include "platform/diagnostics.h"
#include "platform/path.h"

// Until InitWindow reads Setting.json, the settings are those of a file without keys.
CLauncherApp::CLauncherApp() : settings_(SettingsFromJson(Json::Value())) {}

CLauncherApp::~CLauncherApp() = default;

void CLauncherApp::InitWindow(MainWindowParams& windowParams, int& canvasWidth, int& canvasHeight) {
  int screenWidth = 0;
  int screenHeight = 0;
  window_system::GetScreenSize(&screenWidth, &screenHeight);
  LauncherConfiguration c;
  LoadConfiguration(platform::GetExecutablePath(), screenWidth, screenHeight, &c);
  executableFolder_ = std::move(c.executableFolder);
  gameRoot_ = std::move(c.gameRoot);
  gameExecutablePath_ = std::move(c.gameExecutablePath);
  localVersionFilePath_ = std::move(c.localVersionFilePath);
  settings_ = std::move(c.settings);
  localVersion_ = std::move(c.localVersion);
  title_ = std::move(c.title);
  log_ = std::make_unique<applog::LogSession>(gameRoot_);
  applog::Log(StartLogLine());
  applog::Log(SettingsLogLine(executableFolder_ + "Setting.json", gameRoot_, settings_));

  windowParams.title = title_;
  windowParams.style = kMainWindowStyle;
  windowParams.rect = c.windowRect;
  canvasWidth = kCanvasWidth;
  canvasHeight = kCanvasHeight;
}

// The browser, the slowest part by far, comes once the first frame is on screen
// (OnFirstFrameShown).
void CLauncherApp::InitUI() {
  CUIManager* manager = UIManager();

  backgroundPicture_ = new CUIPicture(manager);
  backgroundPicture_->SetRect(0, 0, kCanvasWidth, kCanvasHeight);
  backgroundPicture_->SetImage(settings_.background);
  backgroundPicture_->SetVisible(true);

  progressBar_ = new CUIProgress(manager);
  progressBar_->SetBackImage(settings_.progressBack);
  progressBar_->SetFrontImage(settings_.progressFront);

  percentageLabel_ = new CUILabel(manager);
  percentageLabel_->SetColor(kWhite);
  percentageLabel_->SetAlign(ui::kAlignCenter);
  statusLabel_ = new CUILabel(manager);
  statusLabel_->SetColor(kWhite);
  statusLabel_->SetAlign(ui::kAlignCenter);

  const ui::PixelRect canvas = manager->CanvasRect();
  const int cx = canvas.x + canvas.width / 2;
  const int bottom = canvas.y + canvas.height;
  progressBar_->SetRect(cx - 250, bottom - 103, 500, 30);
  percentageLabel_->SetRect(cx - 250, bottom - 97, 500, 30);
  percentageLabel_->SetFontSize(12);
  // Two lines: a download's detail goes below its status text.
  statusLabel_->SetRect(cx - 250, bottom - 67, 500, 54);
  numberFormat_ = platform::UserNumberFormat();

  const ConnectionSettings& c = settings_.update.connection;
  // The version request's connection carries the update's first requests.
  downloader_ = std::make_unique<CDownloader>(this, c.Transfers(), &connections_);
  extractor_ = std::make_unique<CZipExtractor>(this);
  updater_ = std::make_unique<CUpdater>(this, &connections_);
}

void CLauncherApp::OnFirstFrameShown() { CreateBrowser(window_system::GetClientRect(MainWindow())); }

void CLauncherApp::Cleanup() {
  reporter_.reset();
  updater_.reset();
  extractor_.reset();
  downloader_.reset();
  DeleteBrowser();
}

void CLauncherApp::OnIdle() {
  if (downloadProgressPending_) {
    ShowProgress(static_cast<float>(downloader_->progress));
    downloadProgressPending_.exchange(false);
  }
  if (extractProgressPending_) {
    ShowProgress(static_cast<float>(extractor_->progress));
    extractProgressPending_.exchange(false);
  }
  ShowUpdateEvents();
  if (!detail_.format.empty()) ShowDownloadDetail();
}

void CLauncherApp::ShowDownloadDetail() {
  const auto now = std::chrono::steady_clock::now();
  const std::int64_t done = downloader_->bytesDone;
  detail_.meter.Sample(std::chrono::duration<double>(now - detail_.start).count(), done);
  if (done <= 0 || now - detail_.shown < kDetailInterval) return;
  detail_.shown = now;
  const std::int64_t total = downloader_->bytesTotal;
  const DownloadFigures figures{done, total, detail_.meter.BytesPerSecond(), detail_.meter.SecondsLeft(total)};
  const std::wstring detail = FormatDownloadDetail(detail_.format, figures, numberFormat_);
  statusLabel_->SetText(detail.empty() ? detail_.stageText : detail_.stageText + L"\n" + detail);
}

void CLauncherApp::OnDownloadProgress(CDownloader*) { downloadProgressPending_.exchange(true); }

void CLauncherApp::OnExtractProgress(CZipExtractor*) { extractProgressPending_.exchange(true); }

void CLauncherApp::OnPhaseBegins(UpdatePhase phase) {
  const std::lock_guard<std::mutex> lock(updateEventsMutex_);
  updateEvents_.push_back({UpdateEvent::Kind::Begins, phase, 0.0});
}

void CLauncherApp::OnPhaseEnds() {
  const std::lock_guard<std::mutex> lock(updateEventsMutex_);
  updateEvents_.push_back({UpdateEvent::Kind::Ends, UpdatePhase::Fetch, 0.0});
}

void CLauncherApp::OnProgress(double fraction, std::uint64_t) {
  const std::lock_guard<std::mutex> lock(updateEventsMutex_);
  // Only the latest fraction of a step is worth showing.
  if (!updateEvents_.empty() && updateEvents_.back().kind == UpdateEvent::Kind::Progress) {
    updateEvents_.back().fraction = fraction;
  } else {
    updateEvents_.push_back({UpdateEvent::Kind::Progress, UpdatePhase::Fetch, fraction});
  }
}

void CLauncherApp::ShowUpdateEvents() {
  std::vector<UpdateEvent> events;
  {
    const std::lock_guard<std::mutex> lock(updateEventsMutex_);
    events.swap(updateEvents_);
  }
  const StageTexts& texts = settings_.texts;
  for (const UpdateEvent& event : events) {
    switch (event.kind) {
      case UpdateEvent::Kind::Begins:
        BeginStage(event.phase == UpdatePhase::Measure ? texts.verifyClient
                   : event.phase == UpdatePhase::Fetch ? texts.downloadLatestVersion
                                                       : texts.extractFile);
        break;
      case UpdateEvent::Kind::Ends:
        EndStage(true, L"");
        break;
      case UpdateEvent::Kind::Progress:
        ShowProgress(static_cast<float>(event.fraction));
        break;
    }
  }
}

void CLauncherApp::CreateBrowser(const platform::Rect& rect) { browser_ = CreateWebBrowser(this, rect); }

void CLauncherApp::DeleteBrowser() {
  DeleteWebBrowser(browser_);
  browser_ = nullptr;
}

void* CLauncherApp::BrowserParent() const { return window_system::BrowserParent(MainWindow()); }

std::string CLauncherApp::LoginUrl() const { return settings_.loginUrl; }

bool CLauncherApp::IsTrustedPage(const std::wstring& pageUrl) {
  const std::string url = platform::WideToNarrow(pageUrl, platform::CodePage::Utf8);
  if (IsTrustedOrigin(url, LoginUrl(), settings_.trustedOrigins)) return true;
  platform::DebugOutput("fnEnterGame ignored: the page " + url + " is not of a trusted origin");
  return false;
}

// Shown only once the top-level document is there; frames report elsewhere. A page
// that finishes loading during a launch stays hidden under it.
void CLauncherApp::OnDocumentComplete(const std::wstring&) {
  if (browser_ && !launching_) ShowWebBrowser(browser_);
}

bool CLauncherApp::GetDownloadControl(std::uint32_t* flags) {
  *flags = kLauncherDownloadControl;
  return true;
}

void CLauncherApp::ShowProgress(float fraction) {
  progressBar_->SetProgress(fraction);
  percentageLabel_->SetText(PercentText(fraction));
}

void CLauncherApp::ShowError(const std::wstring& text) {
  // The box's modal loop runs no idle step, so the failure on the canvas (the red
  // status text) is painted now, before the box, or the player would never see it.
  const bool windowLive = !IsMainWindowDestroyed();
  if (windowLive && UIManager()->IsDirty()) UIManager()->Paint();
  window_system::ShowErrorBox(windowLive ? MainWindow() : nullptr, text, title_);
}

void CLauncherApp::BeginStage(const std::wstring& stageText) {
  applog::Log("stage begins: " + platform::WideToNarrow(stageText, platform::CodePage::Utf8));
  // A report left over from the previous stage must not move this one's display.
  downloadProgressPending_.exchange(false);
  extractProgressPending_.exchange(false);
  statusLabel_->SetColor(kWhite);
  statusLabel_->SetText(stageText);
  statusLabel_->SetVisible(true);
  progressBar_->SetProgress(0.0f);
  progressBar_->SetVisible(true);
  ShowProgress(0.0f);
  percentageLabel_->SetVisible(true);
}

bool CLauncherApp::EndStage(bool succeeded, const std::wstring& failureText) {
  applog::Log(succeeded ? "stage ends: succeeded" : "stage ends: failed");
  if (succeeded) {
    statusLabel_->SetVisible(false);
    progressBar_->SetVisible(false);
    percentageLabel_->SetVisible(false);
    return true;
  }
  ShowStageFailure(failureText);
  return false;
}

void CLauncherApp::ShowStageFailure(const std::wstring& failureText) {
  applog::Log("failure shown: " + platform::WideToNarrow(failureText, platform::CodePage::Utf8));
  statusLabel_->SetColor(kRed);
  statusLabel_->SetText(failureText);
  statusLabel_->SetVisible(true);
  ShowError(failureText);
}

bool CLauncherApp::RunDownloadStage(const std::string& url, const std::string& filePath,
                                    const std::wstring& stageText, const std::wstring& failureText) {
  BeginStage(stageText);
  // A file (the package) shows its sizes, speed and time left; the version answer does not.
  if (!filePath.empty()) {
    detail_ = {settings_.texts.downloadDetail, stageText, {}, std::chrono::steady_clock::now(), {}};
  }
  downloader_->Start(url, filePath, "");
  WaitForWorker(*downloader_);
  detail_.format.clear();
  const std::wstring shown = downloader_->outOfSpace    ? settings_.texts.notEnoughDiskSpace
                             : downloader_->bodyRefused() ? settings_.texts.untrustedRelease
                                                          : failureText;
  return EndStage(downloader_->succeeded, shown);
}

bool CLauncherApp::RunExtractStage(const std::wstring& archivePath, const std::wstring& destination,
                                   const std::wstring& stageText, const std::wstring& failureText) {
  BeginStage(stageText);
  extractor_->Start(archivePath, destination);
  WaitForWorker(*extractor_);
  return EndStage(extractor_->succeeded, failureText);
}
