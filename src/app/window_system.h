#pragma once
// The window system under CApp: the main window, its message queue, the wake-up
// timer and modal message boxes. Win32 on Windows, GTK on Linux. Window handles are
// opaque: an HWND on Windows, a GtkWidget* on Linux.
#include <cstdint>
#include <string>

#include "platform/window_frame.h"

class CApp;
using NativeWindow = void*;

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

// Registers the window class, creates the main window for `app` and shows it.
NativeWindow CreateMainWindow(CApp* app, const MainWindowParams& windowParams);
// The surface the UI manager paints to: the window itself on Windows, its canvas
// widget on Linux.
NativeWindow PaintTarget(NativeWindow window);
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
