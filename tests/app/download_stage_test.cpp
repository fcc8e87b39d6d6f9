// The launcher's download stage as the player reads its status text, against the
// loopback server: a file (the package) shows its sizes, speed and time left below the
// stage's text; the version answer, downloaded into memory, shows the text alone.
//
// The window stays until the process ends (Wine takes two seconds to destroy a shown
// window without a window manager), at the right edge, clear of other windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/launcher_app.h"
#include "app/launcher_configuration.h"
#include "loopback_server.h"
#include "main_window_screen.h"
#include "temp_folder.h"
#include "test_window.h"

namespace {

using net_testing::ServerSession;
using testing_support::TempFolder;

// The launcher without Setting.json (so DownloadDetail is absent) and without its login
// page; it notes every status text that an idle pass leaves on the canvas.
class StageApp : public CLauncherApp {
 public:
  std::vector<std::wstring> statusTexts;
  std::vector<std::wstring> errors;

 protected:
  void InitWindow(MainWindowParams& windowParams, int& canvasWidth, int& canvasHeight) override {
    windowParams.title = L"Download stage test";
    windowParams.style = kMainWindowStyle;
    windowParams.rect = platform::Rect{1520, 660, 1920, 960};
    canvasWidth = kCanvasWidth;
    canvasHeight = kCanvasHeight;
  }
  void OnFirstFrameShown() override {}
  // Noted instead of a modal box, which nobody would close: a failure fails the test.
  void ShowError(const std::wstring& text) override { errors.push_back(text); }
  void OnIdle() override {
    CLauncherApp::OnIdle();
    const std::wstring& text = StatusLabel()->text();
    if (statusTexts.empty() || statusTexts.back() != text) statusTexts.push_back(text);
  }
};

class DownloadStage : public testing::Test {
 protected:
  void SetUp() override {
    ui_testing::InitWindowSystem();
    app_.CreateMainWindow();
  }
  void TearDown() override { app_.Teardown(); }

  bool Shown(const std::function<bool(const std::wstring&)>& predicate) const {
    return std::any_of(app_.statusTexts.begin(), app_.statusTexts.end(), predicate);
  }

  ServerSession server_;
  TempFolder temp_;
  StageApp app_;
};

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// 6 MB in 100 pieces 60 ms apart: about six seconds, time for the speed to settle.
TEST_F(DownloadStage, APackageShowsItsSizesSpeedAndTimeLeftBelowTheStageText) {
  const std::string file = temp_.Narrow("package.zip");
  ASSERT_TRUE(app_.RunDownloadStage(server_.Url("pattern?size=6000000&chunk=60000&pause=60"), file, L"Downloading",
                                    L"The download failed."))
      << testing::PrintToString(app_.errors);

  ASSERT_FALSE(app_.statusTexts.empty());
  for (const std::wstring& text : app_.statusTexts) EXPECT_EQ(text.rfind(L"Downloading", 0), 0u) << "was: " << text;
  EXPECT_TRUE(Shown([](const std::wstring& text) { return text.rfind(L"Downloading\n", 0) == 0; }));
  EXPECT_TRUE(Shown([](const std::wstring& text) { return Contains(text, L" / 6.0 MB"); }));
  EXPECT_TRUE(Shown([](const std::wstring& text) { return Contains(text, L" MB/s"); }));
  EXPECT_TRUE(Shown([](const std::wstring& text) { return Contains(text, L" s left"); }));
  EXPECT_FALSE(app_.StatusLabel()->visible()) << "a stage that succeeded leaves nothing on the canvas";
}

TEST_F(DownloadStage, TheVersionAnswerShowsTheStageTextAlone) {
  ASSERT_TRUE(app_.RunDownloadStage(server_.Url("pattern?size=2000000&chunk=20000&pause=15"), "", L"Checking",
                                    L"The version server cannot be reached."))
      << testing::PrintToString(app_.errors);

  EXPECT_EQ(app_.statusTexts, std::vector<std::wstring>{L"Checking"});
}

}  // namespace
