#include <gtest/gtest.h>

#include "debug_output_capture.h"

namespace report_testing {

struct DebugOutputCapture::State {
  bool finished = false;
};

DebugOutputCapture::DebugOutputCapture() : state_(std::make_unique<State>()) {
  testing::internal::CaptureStderr();
}

DebugOutputCapture::~DebugOutputCapture() { Finish(); }

std::string DebugOutputCapture::Finish() {
  if (state_->finished) return "";
  state_->finished = true;
  return testing::internal::GetCapturedStderr();
}

}  // namespace report_testing
