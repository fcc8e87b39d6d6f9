#pragma once
#include <string>

namespace platform {

// One line of diagnostic output: the debugger output on Windows
// (OutputDebugStringA), standard error on POSIX. A newline is added.
void DebugOutput(const std::string& line);

}  // namespace platform
