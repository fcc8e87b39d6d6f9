#include "net/background_sha256.h"

#include <utility>

#include "platform/thread.h"

namespace net {

BackgroundSha256::BackgroundSha256() {
  try {
    thread_ = std::make_unique<std::thread>(&BackgroundSha256::Run, this);
  } catch (...) {
    // No thread to be had: Add hashes on the caller's thread.
  }
}

BackgroundSha256::~BackgroundSha256() {
  if (!thread_) return;
  {
    std::unique_lock lock(mutex_);
    WaitUntilIdle(lock);
    stop_ = true;
  }
  wake_.notify_one();
  thread_->join();
}

void BackgroundSha256::Reset() {
  std::unique_lock lock(mutex_);
  WaitUntilIdle(lock);
  // A failed reset leaves the hash failed, and the body then fails its check.
  hash_.Reset();
}

void BackgroundSha256::Add(std::string& block) {
  if (!thread_) {
    // A failed update leaves the hash failed, and the body then fails its check.
    hash_.Update(block.data(), block.size());
    block.clear();
    return;
  }
  {
    std::unique_lock lock(mutex_);
    WaitUntilIdle(lock);
    std::swap(block, block_);
    pending_ = true;
  }
  block.clear();
  wake_.notify_one();
}

std::string BackgroundSha256::FinishHex() {
  std::unique_lock lock(mutex_);
  WaitUntilIdle(lock);
  return hash_.FinishHex();
}

void BackgroundSha256::WaitUntilIdle(std::unique_lock<std::mutex>& lock) {
  idle_.wait(lock, [this] { return !pending_; });
}

void BackgroundSha256::Run() noexcept {
  // Like the download it serves, it must not take time from the window.
  platform::LowerCurrentThreadPriority();
  try {
    HashBlocks();
  } catch (...) {
    // Only locking can throw, and only on a broken system; there is nothing to recover.
  }
}

void BackgroundSha256::HashBlocks() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return pending_ || stop_; });
    if (stop_) return;
    // The block is the thread's alone until pending_ is cleared.
    lock.unlock();
    hash_.Update(block_.data(), block_.size());
    lock.lock();
    pending_ = false;
    idle_.notify_all();
  }
}

}  // namespace net
