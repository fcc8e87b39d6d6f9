#include <cstdio>

#include "platform/diagnostics.h"

namespace platform {

void DebugOutput(const std::string& line) {
  // One write per line, so that lines of different threads never interleave.
  std::string text = line;
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace platform
