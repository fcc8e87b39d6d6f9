#include "platform/instance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

std::string UniqueName() {
  return "launcher-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

TEST(SingleInstance, SecondHolderIsRefusedUntilTheFirstIsGone) {
  const std::string name = UniqueName();
  {
    platform::SingleInstance first;
    ASSERT_EQ(first.Acquire(name), platform::SingleInstance::Result::Acquired);
    platform::SingleInstance second;
    EXPECT_EQ(second.Acquire(name), platform::SingleInstance::Result::AlreadyRunning);
  }
  platform::SingleInstance third;
  EXPECT_EQ(third.Acquire(name), platform::SingleInstance::Result::Acquired);
}

}  // namespace
