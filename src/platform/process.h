#pragma once
#include <string>

namespace platform {

// Starts `path` with a Windows-style command line (the program's own path first) in
// `workingFolder`, without waiting. On POSIX the command line is split into
// arguments by the Windows rules (SplitCommandLine) and the program is started
// directly, without a shell. False when it could not be started.
bool LaunchProcess(const std::string& path, const std::string& commandLine, const std::string& workingFolder);

}  // namespace platform
