#pragma once
// SHA-256 of a stream of blocks, hashed on a thread of its own: a block is hashed while
// the download receives and writes the next one, so that checking costs the download
// little time where a second core is free. Without a thread it hashes on the caller's.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/sha256.h"

namespace net {

class BackgroundSha256 {
 public:
  BackgroundSha256();
  // Waits for the block at hand, then ends the thread.
  ~BackgroundSha256();
  BackgroundSha256(const BackgroundSha256&) = delete;
  BackgroundSha256& operator=(const BackgroundSha256&) = delete;

  // Starts over, as if nothing had been added.
  void Reset();
  // Adds the bytes of `block` and takes the block: `block` comes back empty, holding
  // the memory of an earlier block for reuse.
  void Add(std::string& block);
  // The digest of everything added since the last Reset, as for platform::Sha256; the
  // hash starts over afterwards.
  std::string FinishHex();

 private:
  void Run() noexcept;
  void HashBlocks();
  // With the lock held: until the thread has finished its block.
  void WaitUntilIdle(std::unique_lock<std::mutex>& lock);

  platform::Sha256 hash_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  // The block the thread hashes while `pending` is set.
  std::string block_;
  bool pending_ = false;
  bool stop_ = false;
  std::unique_ptr<std::thread> thread_;
};

}  // namespace net
