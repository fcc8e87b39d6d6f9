#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/cmdline.h"
#include "platform/path.h"
#include "platform/process.h"

extern char** environ;

namespace platform {

bool LaunchProcess(const std::string& path, const std::string& commandLine, const std::string& workingFolder) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.empty()) args.push_back(path);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The child changes into the working folder before exec; the launcher's own
  // current directory stays as it is.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  bool ok = workingFolder.empty() || posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str()) == 0;
  pid_t pid = 0;
  ok = ok && posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return ok;
}

}  // namespace platform
