#include "test_window.h"

namespace web_testing {

namespace {

constexpr wchar_t kClassName[] = L"WebTestWindow";

void RegisterTestClass() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);  // fails harmlessly when already registered
}

}  // namespace

TestWindow::TestWindow(int width, int height) {
  RegisterTestClass();
  window_ = CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, width, height, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
}

TestWindow::~TestWindow() {
  DestroyWindow(window_);
  PumpPending();
}

void PumpPending() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

}  // namespace web_testing
