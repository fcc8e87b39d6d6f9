#pragma once
// The window system under CApp: the main window, its message queue, the wake-up
// timer and modal message boxes. Win32 on Windows, GTK on Linux. Window handles are
// opaque: an HWND on Windows, a GtkWidget* on Linux.
#include <cstdint>
#include <string>

#include "platform/window_frame.h"

using NativeWindow = void*;

// The wake-up timer's interval in milliseconds: the loop looks at the workers' progress
// at least this often.
inline constexpr unsigned kWakeInterval = 30;

// What the main window asks of the application that owns it. The window procedure
// reaches it through one process-wide pointer, set when the window is created.
class IMainWindowOwner {
 public:
  // Until the UI is ready the window behaves as a plain one.
  virtual bool IsUIReady() const = 0;
  // The window's content must be painted again.
  virtual void OnMainWindowDirty() = 0;
  // The window is being destroyed (by the player or by the application); its quit
  // message follows.
  virtual void OnMainWindowDestroyed() = 0;

 protected:
  ~IMainWindowOwner() = default;
};

struct MainWindowParams {
  std::wstring title;
  std::uint32_t style = 0;
  platform::Rect rect;
};

struct QueuedMessage {
  enum class Kind { None, Quit, WakeTimer, Other };
  Kind kind = Kind::None;
  NativeWindow window = nullptr;
  unsigned message = 0;
  std::uintptr_t wparam = 0;
  std::intptr_t lparam = 0;
};

namespace window_system {

// Registers the window class and creates the main window for `owner`, hidden whatever
// the style says, so that it first shows with its content (ShowMainWindow).
NativeWindow CreateMainWindow(IMainWindowOwner* owner, const MainWindowParams& windowParams);
// Shows the main window normally, whatever the process was asked to do.
void ShowMainWindow(NativeWindow window);
// The surface the UI manager paints to: the window itself on Windows, its canvas
// widget on Linux.
NativeWindow PaintTarget(NativeWindow window);
// Where the login page's browser goes: the window itself on Windows, the overlay
// above its canvas on Linux.
NativeWindow BrowserParent(NativeWindow window);
// Takes one message off the queue without blocking. Messages of the wake-up timer
// are removed and returned as WakeTimer without being dispatched; any other
// message is dispatched before it is returned as Other. None: the queue was empty.
QueuedMessage TakeMessage();
// Blocks until the queue holds a message.
void WaitMessage();
// Timer 1 at 30 ms: it only wakes WaitMessage.
void StartWakeTimer(NativeWindow window);
void StopWakeTimer(NativeWindow window);
void DestroyWindow(NativeWindow window);
// A modal message box with the error icon and one OK button.
void ShowErrorBox(NativeWindow owner, const std::wstring& text, const std::wstring& caption);
platform::Rect GetClientRect(NativeWindow window);
// Width and height of the primary screen.
void GetScreenSize(int* width, int* height);

}  // namespace window_system
