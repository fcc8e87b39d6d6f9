#pragma once
// A plain top-level window of the test thread, destroyed with the object, and a pump
// for what the tests leave in the queue.
#include <windows.h>

namespace web_testing {

class TestWindow {
 public:
  // Client area width x height at (0, 0), never shown: without a window manager Wine
  // takes two seconds to destroy a shown top-level window.
  TestWindow(int width, int height);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND handle() const { return window_; }

 private:
  HWND window_ = nullptr;
};

// Dispatches everything queued for the thread, WM_QUIT included.
void PumpPending();

}  // namespace web_testing
