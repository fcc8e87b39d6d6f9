#include "platform/window_frame.h"

namespace platform {

void AdjustWindowRectForStyle(Rect*, std::uint32_t) {}

}  // namespace platform
