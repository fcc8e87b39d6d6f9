#include <windows.h>

#include "platform/thread.h"

namespace platform {

bool LowerCurrentThreadPriority() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE) != 0; }

}  // namespace platform
