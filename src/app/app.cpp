// The generic application: the main window, the UI manager, the wake-up timer and the
// loop that paints when idle.
#include "app/app.h"

namespace {

CApp* g_app = nullptr;

}  // namespace

CApp::CApp() { g_app = this; }

CApp::~CApp() {
  if (g_app == this) g_app = nullptr;
}

CApp* CApp::Instance() { return g_app; }

void CApp::CreateMainWindow() {
  MainWindowParams windowParams;
  int canvasWidth = 0;
  int canvasHeight = 0;
  InitWindow(windowParams, canvasWidth, canvasHeight);
  mainWindow_ = window_system::CreateMainWindow(this, windowParams);
  uiManager_ = std::make_unique<CUIManager>(window_system::PaintTarget(mainWindow_), canvasWidth, canvasHeight);
  uiReady_ = true;
  window_system::StartWakeTimer(mainWindow_);
  InitUI();
  // The first frame is drawn before the window shows and goes on screen with it, so
  // the window is never seen blank.
  uiManager_->Paint();
  window_system::ShowMainWindow(mainWindow_);
  uiManager_->ShowFrame();
  shownAt_ = std::chrono::steady_clock::now();
  CheckFirstFrame();
}

void CApp::CheckFirstFrame() {
  if (firstFrameShown_ || mainWindowDestroyed_) return;
  if (!uiManager_->IsFrameOnScreen() && std::chrono::steady_clock::now() - shownAt_ < kFirstFrameWait) return;
  firstFrameShown_ = true;
  OnFirstFrameShown();
}

// Takes one message if there is one; an empty queue runs the idle step and paints,
// or sleeps until the next message when nothing changed.
CApp::Step CApp::TakeOne() {
  const QueuedMessage message = window_system::TakeMessage();
  switch (message.kind) {
    case QueuedMessage::Kind::Quit:
      quit_ = true;
      return Step::Quit;
    case QueuedMessage::Kind::WakeTimer:
      return Step::Continue;
    case QueuedMessage::Kind::Other:
      if (uiReady_) {
        for (CUIObject* object : uiManager_->Objects()) {
          object->OnMessage(mainWindow_, message.message, message.wparam, message.lparam);
        }
      }
      return Step::Continue;
    case QueuedMessage::Kind::None:
      break;
  }
  if (!uiReady_) return Step::Continue;
  CheckFirstFrame();
  OnIdle();
  // A window destroyed meanwhile is neither painted nor waited on: its quit comes next.
  if (mainWindowDestroyed_) return Step::Continue;
  if (uiManager_->IsDirty()) {
    uiManager_->Paint();
  } else {
    window_system::WaitMessage();
  }
  return Step::Continue;
}

void CApp::Run() {
  while (!quit_) {
    if (TakeOne() == Step::Quit) return;
  }
}

bool CApp::PumpMessage() {
  if (quit_) return false;
  return TakeOne() == Step::Continue;
}

void CApp::Teardown() {
  window_system::StopWakeTimer(mainWindow_);
  Cleanup();
  uiManager_.reset();
}
