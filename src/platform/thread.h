#pragma once

namespace platform {

// Puts the calling thread at the lowest scheduling priority: THREAD_PRIORITY_IDLE on
// Windows, SCHED_IDLE for this thread alone on Linux. False when the system refuses.
bool LowerCurrentThreadPriority();

}  // namespace platform
