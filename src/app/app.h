#pragma once
// The generic application: main window, UI manager, wake-up timer and the message
// loop with its single step.
#include <chrono>
#include <memory>
#include <string>

#include "shell/window_system.h"
#include "ui/ui.h"

class CApp : public IMainWindowOwner {
 public:
  CApp();
  virtual ~CApp();
  CApp(const CApp&) = delete;
  CApp& operator=(const CApp&) = delete;

  // The one application object of the process (the window procedure's way in).
  static CApp* Instance();

  void CreateMainWindow();
  void Run();
  // One step of the loop; false once the application is quitting.
  bool PumpMessage();

  NativeWindow MainWindow() const { return mainWindow_; }
  CUIManager* UIManager() const { return uiManager_.get(); }
  bool IsUIReady() const override { return uiReady_; }
  void OnMainWindowDirty() override { uiManager_->SetDirty(); }
  void OnMainWindowDestroyed() override { mainWindowDestroyed_ = true; }
  // Whether the main window is gone: from the moment it is destroyed, before the
  // quit message is taken. Nothing may use the window any more.
  bool IsMainWindowDestroyed() const { return mainWindowDestroyed_; }
  bool IsQuitting() const { return quit_; }
  // The entry's teardown once the loop has ended: the wake-up timer stops, the
  // application deletes what it owns (Cleanup), then the UI manager goes with the
  // UI objects still listed.
  void Teardown();
  // Destroys the UI manager and with it the UI objects still listed.
  void DeleteUIManager() { uiManager_.reset(); }

 protected:
  // Fills the window's parameters; the canvas size is the UI manager's.
  virtual void InitWindow(MainWindowParams& windowParams, int& canvasWidth, int& canvasHeight) = 0;
  // Builds the window's content, which is painted before the window shows.
  virtual void InitUI() = 0;
  // Once, when the first frame is on screen (or kFirstFrameWait after the window showed,
  // when it never gets there, say on a hidden desktop): the time for slow work that
  // must not keep the window blank. Called from CreateMainWindow or the loop.
  virtual void OnFirstFrameShown() {}

 public:
  virtual void Cleanup() = 0;

 protected:
  virtual void OnIdle() = 0;

 private:
  enum class Step { Quit, Continue };
  Step TakeOne();
  // Calls OnFirstFrameShown when its time has come.
  void CheckFirstFrame();

  static constexpr std::chrono::milliseconds kFirstFrameWait{500};

  NativeWindow mainWindow_ = nullptr;
  std::unique_ptr<CUIManager> uiManager_;
  bool uiReady_ = false;
  bool quit_ = false;
  bool mainWindowDestroyed_ = false;
  bool firstFrameShown_ = false;
  std::chrono::steady_clock::time_point shownAt_;
};
