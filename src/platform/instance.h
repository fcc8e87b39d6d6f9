#pragma once
#include <cstdint>
#include <string>

namespace platform {

// One running copy per user session. Windows: a named mutex in the session's
// namespace; POSIX: an exclusive lock on a file of that name in the user's runtime
// folder. The lock is held until the object is destroyed (or the process ends).
class SingleInstance {
 public:
  enum class Result { Acquired, AlreadyRunning, Unavailable };
  SingleInstance() noexcept = default;
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  ~SingleInstance();
  // Unavailable means the lock could not be made at all; the caller starts anyway.
  Result Acquire(const std::string& name);

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace platform
