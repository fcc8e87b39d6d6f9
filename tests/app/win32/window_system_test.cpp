// The Win32 main window and its loop: the window class and style, the window
// procedure before and after the UI exists, and what the loop dispatches.
//
// Tests leave the main window to the process's end unless closing it is the point:
// without a window manager Wine takes two seconds to destroy a shown top-level window.
// It stays at the right edge, clear of the painting tests' windows at the top left and
// of the launcher's in the end-to-end runs, at the centre.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "app/app.h"
#include "app/launcher_configuration.h"

namespace {

constexpr UINT_PTR kWakeTimer = 1;

class TestApp : public CApp {
 public:
  int uiCalls = 0;
  bool readyAtInitUI = false;

 protected:
  void InitWindow(MainWindowParams& windowParams, int& canvasWidth, int& canvasHeight) override {
    windowParams = Params();
    canvasWidth = 220;
    canvasHeight = 132;
  }
  void InitUI() override {
    ++uiCalls;
    readyAtInitUI = IsUIReady();
  }
  void Cleanup() override {}
  void OnIdle() override {}

 public:
  static MainWindowParams Params() {
    MainWindowParams windowParams;
    windowParams.title = L"Window test";
    windowParams.style = kMainWindowStyle;
    windowParams.rect = platform::Rect{1520, 320, 1920, 620};
    return windowParams;
  }
};

HWND Handle(NativeWindow window) { return static_cast<HWND>(window); }

// A point in the middle of the caption, in screen coordinates.
LPARAM CaptionPoint(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  const int y = r.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
  return MAKELPARAM((r.left + r.right) / 2, y);
}

// Records the timers that reach a window procedure, whichever window it serves.
std::vector<UINT_PTR>& TimersSeen() {
  static std::vector<UINT_PTR> seen;
  return seen;
}

WNDPROC g_mainProcedure = nullptr;

LRESULT CALLBACK RecordingMainProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER) TimersSeen().push_back(wparam);
  return CallWindowProcW(g_mainProcedure, window, message, wparam, lparam);
}

LRESULT CALLBACK RecordingOtherProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER) TimersSeen().push_back(wparam);
  return DefWindowProcW(window, message, wparam, lparam);
}

// Another window of the thread, never shown.
class OtherWindow {
 public:
  OtherWindow() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = RecordingOtherProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"WindowSystemTestOther";
    RegisterClassExW(&windowClass);
    window_ = CreateWindowExW(0, L"WindowSystemTestOther", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  }
  ~OtherWindow() { DestroyWindow(window_); }
  OtherWindow(const OtherWindow&) = delete;
  OtherWindow& operator=(const OtherWindow&) = delete;
  HWND handle() const { return window_; }

 private:
  HWND window_ = nullptr;
};

void DrainQueue() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainQueue();
    TimersSeen().clear();
    app_.CreateMainWindow();
    window_ = Handle(app_.MainWindow());
  }
  void TearDown() override {
    window_system::StopWakeTimer(app_.MainWindow());
    if (g_mainProcedure) SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_mainProcedure));
    g_mainProcedure = nullptr;
    app_.DeleteUIManager();
  }

  void RecordMainWindowTimers() {
    g_mainProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordingMainProc)));
  }

  TestApp app_;
  HWND window_ = nullptr;
};

TEST_F(MainWindow, IsTheLauncherClassWithItsIconStyleAndRectangle) {
  wchar_t className[32] = {};
  GetClassNameW(window_, className, 32);
  EXPECT_STREQ(className, L"Launcher");
  // Large and small icon alike: the program's icon group 107 (this test program carries
  // the launcher's resources).
  const HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(107));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(window_, GCLP_HICON)), icon);
  EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(window_, GCLP_HICONSM)), icon);
  EXPECT_EQ(GetClassLongPtrW(window_, GCLP_HBRBACKGROUND), ULONG_PTR{COLOR_WINDOW + 1});
  EXPECT_EQ(GetClassLongPtrW(window_, GCLP_HCURSOR), ULONG_PTR{0});
  EXPECT_EQ(GetClassLongPtrW(window_, GCL_STYLE), ULONG_PTR{0});
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE));
  EXPECT_EQ(style & kMainWindowStyle, kMainWindowStyle);
  EXPECT_FALSE(style & (WS_MINIMIZE | WS_MAXIMIZE));
  wchar_t title[32] = {};
  GetWindowTextW(window_, title, 32);
  EXPECT_STREQ(title, L"Window test");
  // The parameters' rectangle is the outer one, frame and caption included.
  RECT outer{};
  GetWindowRect(window_, &outer);
  const platform::Rect expected = TestApp::Params().rect;
  EXPECT_EQ(outer.left, expected.left);
  EXPECT_EQ(outer.top, expected.top);
  EXPECT_EQ(outer.right, expected.right);
  EXPECT_EQ(outer.bottom, expected.bottom);
  // The UI was built once, after the UI manager existed.
  EXPECT_EQ(app_.uiCalls, 1);
  EXPECT_TRUE(app_.readyAtInitUI);
}

TEST_F(MainWindow, EveryPointIsClientArea) {
  RECT r{};
  GetWindowRect(window_, &r);
  const LPARAM points[] = {CaptionPoint(window_), MAKELPARAM(r.left, r.top), MAKELPARAM(r.right - 1, r.bottom - 1),
                           MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2)};
  for (const LPARAM point : points) EXPECT_EQ(SendMessageW(window_, WM_NCHITTEST, 0, point), HTCLIENT);
}

TEST(MainWindowBeforeTheUI, BehavesAsAPlainWindow) {
  TestApp app;
  const HWND window = Handle(window_system::CreateMainWindow(&app, TestApp::Params()));
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(SendMessageW(window, WM_NCHITTEST, 0, CaptionPoint(window)), HTCAPTION);
}

TEST_F(MainWindow, SizeAndBackgroundErasureMarkTheCanvasDirtyAndPaintingDrawsNothing) {
  CUIManager* ui = app_.UIManager();
  ui->Paint();
  ASSERT_FALSE(ui->IsDirty());
  HDC dc = GetDC(window_);
  EXPECT_EQ(SendMessageW(window_, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0), 0);
  ReleaseDC(window_, dc);
  EXPECT_TRUE(ui->IsDirty());

  ui->Paint();
  EXPECT_EQ(SendMessageW(window_, WM_SIZE, SIZE_RESTORED, MAKELPARAM(440, 300)), 0);
  EXPECT_TRUE(ui->IsDirty());

  // WM_PAINT only validates: the update region empties and nothing becomes dirty.
  ui->Paint();
  InvalidateRect(window_, nullptr, FALSE);
  ASSERT_TRUE(GetUpdateRect(window_, nullptr, FALSE));
  UpdateWindow(window_);
  EXPECT_FALSE(GetUpdateRect(window_, nullptr, FALSE));
  EXPECT_FALSE(ui->IsDirty());
}

class WakeTimer : public MainWindow, public ::testing::WithParamInterface<bool> {};

// Timer 1 is taken off the queue and dropped whatever window it names; other timers
// reach their window procedures. Run and PumpMessage alike.
TEST_P(WakeTimer, NeverReachesAWindowProcedure) {
  const bool useRun = GetParam();
  OtherWindow other;
  RecordMainWindowTimers();
  PostMessageW(window_, WM_TIMER, kWakeTimer, 0);
  PostMessageW(other.handle(), WM_TIMER, kWakeTimer, 0);
  PostMessageW(other.handle(), WM_TIMER, 7, 0);
  PostMessageW(window_, WM_TIMER, 9, 0);
  // Real timers too: the window's own wake-up timer runs already.
  SetTimer(other.handle(), kWakeTimer, 10, nullptr);
  SetTimer(other.handle(), 5, 10, nullptr);

  const DWORD start = GetTickCount();
  auto countOf = [](UINT_PTR id) {
    int n = 0;
    for (UINT_PTR seen : TimersSeen()) n += seen == id ? 1 : 0;
    return n;
  };
  if (useRun) {
    // Run returns once the quit arrives, after the timers have fired a few times.
    SetTimer(other.handle(), 6, 150, [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); });
    app_.Run();
    EXPECT_TRUE(app_.IsQuitting());
  } else {
    while (countOf(5) < 3 && GetTickCount() - start < 5000) ASSERT_TRUE(app_.PumpMessage());
  }
  KillTimer(other.handle(), kWakeTimer);
  KillTimer(other.handle(), 5);
  KillTimer(other.handle(), 6);

  EXPECT_EQ(countOf(kWakeTimer), 0);
  EXPECT_EQ(countOf(7), 1);
  EXPECT_EQ(countOf(9), 1);
  EXPECT_GE(countOf(5), 1);
}

INSTANTIATE_TEST_SUITE_P(Loops, WakeTimer, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Run" : "PumpMessage";
                         });

TEST(TakeMessage, SortsWhatTheQueueHolds) {
  DrainQueue();
  OtherWindow other;
  TimersSeen().clear();
  EXPECT_EQ(window_system::TakeMessage().kind, QueuedMessage::Kind::None);

  PostMessageW(other.handle(), WM_TIMER, kWakeTimer, 0);
  EXPECT_EQ(window_system::TakeMessage().kind, QueuedMessage::Kind::WakeTimer);
  EXPECT_TRUE(TimersSeen().empty());

  PostMessageW(other.handle(), WM_TIMER, 3, 0);
  const QueuedMessage taken = window_system::TakeMessage();
  EXPECT_EQ(taken.kind, QueuedMessage::Kind::Other);
  EXPECT_EQ(taken.window, other.handle());
  EXPECT_EQ(taken.message, static_cast<unsigned>(WM_TIMER));
  EXPECT_EQ(taken.wparam, 3u);
  EXPECT_EQ(TimersSeen(), std::vector<UINT_PTR>{3});

  PostMessageW(other.handle(), WM_APP, 11, -12);
  const QueuedMessage app = window_system::TakeMessage();
  EXPECT_EQ(app.kind, QueuedMessage::Kind::Other);
  EXPECT_EQ(app.message, static_cast<unsigned>(WM_APP));
  EXPECT_EQ(app.wparam, 11u);
  EXPECT_EQ(app.lparam, -12);

  PostQuitMessage(0);
  EXPECT_EQ(window_system::TakeMessage().kind, QueuedMessage::Kind::Quit);
}

TEST_F(MainWindow, ClosingTheWindowEndsTheLoop) {
  PostMessageW(window_, WM_CLOSE, 0, 0);
  app_.Run();
  EXPECT_TRUE(app_.IsQuitting());
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_FALSE(app_.PumpMessage());
}

}  // namespace
