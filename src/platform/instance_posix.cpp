#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/instance.h"

namespace platform {
namespace {

// The user's runtime folder, private to the user's session; /tmp with the user id in
// the name where the session has none.
std::string LockPath(const std::string& name) {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    return std::string(runtime) + "/" + name + ".lock";
  }
  return "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
}

}  // namespace

SingleInstance::~SingleInstance() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

SingleInstance::Result SingleInstance::Acquire(const std::string& name) {
  const int fd = open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Result::Unavailable;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return Result::AlreadyRunning;
  }
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = fd;
  return Result::Acquired;
}

}  // namespace platform
