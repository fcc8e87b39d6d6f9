#include <windows.h>

#include "test_window.h"

namespace ui_testing {

namespace {

constexpr wchar_t kClassName[] = L"UiTestWindow";

void RegisterTestClass() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);  // fails harmlessly when already registered
}

void PumpPending() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

}  // namespace

void InitWindowSystem() {}

struct TestWindow::Native {
  HWND window = nullptr;
  bool destroyed = false;
};

TestWindow::TestWindow(int width, int height) : native_(std::make_unique<Native>()) {
  RegisterTestClass();
  // A popup has no frame, so the client area is the whole window. Shown without
  // activation, Wine leaves it to no window manager and destroys it at once (a managed
  // window waits for the window manager when it goes).
  native_->window =
      CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, kClassName, L"", WS_POPUP, 0, 0, width,
                      height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ShowWindow(native_->window, SW_SHOWNOACTIVATE);
  UpdateWindow(native_->window);
  PumpPending();
}

TestWindow::~TestWindow() { Destroy(); }

void* TestWindow::handle() const { return native_->window; }

std::uint32_t TestWindow::ClientPixel(int x, int y) {
  GdiFlush();
  HDC dc = GetDC(native_->window);
  const COLORREF color = GetPixel(dc, x, y);
  ReleaseDC(native_->window, dc);
  return 0xFF000000u | (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
}

void TestWindow::Destroy() {
  if (native_->destroyed) return;
  native_->destroyed = true;
  DestroyWindow(native_->window);
  PumpPending();
}

}  // namespace ui_testing
