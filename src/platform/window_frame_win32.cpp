#include <windows.h>

#include "platform/window_frame.h"

namespace platform {

void AdjustWindowRectForStyle(Rect* rect, std::uint32_t style) {
  RECT r{rect->left, rect->top, rect->right, rect->bottom};
  AdjustWindowRect(&r, style, FALSE);
  *rect = Rect{r.left, r.top, r.right, r.bottom};
}

}  // namespace platform
