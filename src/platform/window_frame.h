#pragma once
#include <cstdint>

namespace platform {

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// Grows a client rectangle to the outer window rectangle for `style` with no menu:
// AdjustWindowRect on Windows. On POSIX the window manager puts its frame outside
// the client area, so the rectangle stays as it is.
void AdjustWindowRectForStyle(Rect* rect, std::uint32_t style);

}  // namespace platform
