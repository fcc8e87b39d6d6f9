// The main window's first frame: its content is painted before it shows, so the window
// is never seen blank, and the slow work that follows (the launcher's browser) waits
// until that frame is really on the screen.
//
// The windows stay until the process ends: without a window manager Wine takes two
// seconds to destroy a shown top-level window. They sit at the right edge, clear of the
// other window tests and of the launcher's window in the end-to-end runs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

#include "app/app.h"
#include "app/launcher_configuration.h"
#include "main_window_screen.h"
#include "pixels.h"
#include "temp_folder.h"
#include "test_window.h"

namespace {

using testing_support::TempFolder;
using ui_testing::kNavy;

constexpr int kCanvasSize[] = {220, 132};

// A window whose content is one navy picture over the whole canvas.
class FirstFrameApp : public CApp {
 public:
  explicit FirstFrameApp(std::wstring background) : background_(std::move(background)) {}

  bool shownDuringInitUI = false;
  int firstFrameCalls = 0;
  std::uint32_t screenAtFirstFrame = 0;

 protected:
  void InitWindow(MainWindowParams& windowParams, int& canvasWidth, int& canvasHeight) override {
    windowParams.title = L"First frame test";
    windowParams.style = kMainWindowStyle;
    windowParams.rect = platform::Rect{1520, 660, 1920, 960};
    canvasWidth = kCanvasSize[0];
    canvasHeight = kCanvasSize[1];
  }
  void InitUI() override {
    shownDuringInitUI = shell_testing::IsShown(MainWindow());
    auto* picture = new CUIPicture(UIManager());
    picture->SetRect(0, 0, kCanvasSize[0], kCanvasSize[1]);
    picture->SetImage(background_);
    picture->SetVisible(true);
  }
  void OnFirstFrameShown() override {
    ++firstFrameCalls;
    const platform::Rect client = window_system::GetClientRect(MainWindow());
    screenAtFirstFrame = shell_testing::ScreenPixel(MainWindow(), client.right / 2, client.bottom / 2);
  }
  void Cleanup() override {}
  void OnIdle() override {}

 private:
  std::wstring background_;
};

class FirstFrame : public testing::Test {
 protected:
  void SetUp() override {
    ui_testing::InitWindowSystem();
    ui_testing::WriteSolidBmp(temp_.path() / "background.bmp", kCanvasSize[0], kCanvasSize[1], kNavy);
  }
  void TearDown() override { app_.Teardown(); }

  // Runs the loop until the first frame has been reported. The bound only keeps a
  // broken build from hanging; nothing is timed.
  void PumpUntilFirstFrame() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (app_.firstFrameCalls == 0 && std::chrono::steady_clock::now() < deadline && app_.PumpMessage()) {
    }
  }

  TempFolder temp_;
  FirstFrameApp app_{temp_.Wide("background.bmp")};
};

TEST_F(FirstFrame, IsOnScreenBeforeTheSlowWorkBegins) {
  app_.CreateMainWindow();
  PumpUntilFirstFrame();

  EXPECT_FALSE(app_.shownDuringInitUI) << "the window showed before its content existed";
  ASSERT_EQ(app_.firstFrameCalls, 1);
  EXPECT_TRUE(ui_testing::ColorNear(app_.screenAtFirstFrame, kNavy))
      << "the slow work began before the first frame was on the screen";
  // Once only, however long the loop runs on (each pass waits a wake-up tick at most).
  for (int i = 0; i < 10; ++i) app_.PumpMessage();
  EXPECT_EQ(app_.firstFrameCalls, 1);
}

// A window that never gets drawn (a hidden desktop, say) must not keep the login page
// from ever loading.
TEST_F(FirstFrame, ComesAnywayWhenTheWindowNeverReachesTheScreen) {
  app_.CreateMainWindow();
  shell_testing::Hide(app_.MainWindow());
  PumpUntilFirstFrame();

  EXPECT_EQ(app_.firstFrameCalls, 1);
}

}  // namespace
