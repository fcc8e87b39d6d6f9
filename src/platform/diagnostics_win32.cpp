#include <windows.h>

#include "platform/diagnostics.h"

namespace platform {

void DebugOutput(const std::string& line) { OutputDebugStringA((line + "\n").c_str()); }

}  // namespace platform
