#include <pthread.h>
#include <sched.h>

#include "platform/thread.h"

namespace platform {

bool LowerCurrentThreadPriority() {
  // SCHED_IDLE is per thread on Linux and needs no privilege, like THREAD_PRIORITY_IDLE.
  const sched_param param{};
  return pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0;
}

}  // namespace platform
