#pragma once
// What the player sees of the launcher's main window, read back from the display.
#include <cstdint>

#include "shell/window_system.h"

namespace shell_testing {

// What the display shows at (x, y) of the window's client area, as 0xFFRRGGBB; 0 while
// the window is off the screen.
std::uint32_t ScreenPixel(NativeWindow window, int x, int y);
bool IsShown(NativeWindow window);
// Takes the window off the screen again, as a hidden desktop keeps it from being drawn.
void Hide(NativeWindow window);

}  // namespace shell_testing
