#pragma once
// Reads back what platform::DebugOutput writes while a capture lives: standard error on
// POSIX, this process's debugger output (OutputDebugStringA) on Windows.
#include <memory>
#include <string>

namespace report_testing {

class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  // Everything written since the capture began; ends the capture.
  std::string Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace report_testing
