#include <windows.h>

#include "main_window_screen.h"

namespace shell_testing {

std::uint32_t ScreenPixel(NativeWindow window, int x, int y) {
  const HWND handle = static_cast<HWND>(window);
  GdiFlush();
  HDC dc = GetDC(handle);
  const COLORREF color = GetPixel(dc, x, y);
  ReleaseDC(handle, dc);
  return 0xFF000000u | (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
}

bool IsShown(NativeWindow window) { return IsWindowVisible(static_cast<HWND>(window)) != 0; }

void Hide(NativeWindow window) { ShowWindow(static_cast<HWND>(window), SW_HIDE); }

}  // namespace shell_testing
