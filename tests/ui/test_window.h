#pragma once
// A plain top-level window for painting tests: an HWND on Windows, a GtkDrawingArea
// in an off-screen GTK window on Linux. Needs a display.
#include <cstdint>
#include <memory>

namespace ui_testing {

// Makes the window system usable in this process (GTK needs a display). TestWindow
// calls it itself.
void InitWindowSystem();

class TestWindow {
 public:
  // A window whose client area is width x height pixels.
  TestWindow(int width, int height);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  // What CUIManager takes as its window.
  void* handle() const;
  // What the client area shows at (x, y), as 0xFFRRGGBB.
  std::uint32_t ClientPixel(int x, int y);
  // Destroys the window as closing it would; handle() stays what it was.
  void Destroy();

 private:
  struct Native;
  std::unique_ptr<Native> native_;
};

}  // namespace ui_testing
