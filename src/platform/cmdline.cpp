#include "platform/cmdline.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name: quotes toggle, backslashes are plain characters.
std::size_t ReadProgramName(const std::string& line, std::string* name) {
  std::size_t i = 0;
  bool quoted = false;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (IsBlank(c) && !quoted) {
      break;
    } else {
      name->push_back(c);
    }
  }
  return i;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  if (line.empty()) return args;
  std::string current;
  std::size_t i = ReadProgramName(line, &current);
  args.push_back(std::move(current));
  current.clear();

  bool inArg = false;
  bool quoted = false;
  while (i < line.size()) {
    const char c = line[i];
    if (IsBlank(c) && !quoted) {
      if (inArg) args.push_back(std::move(current));
      current.clear();
      inArg = false;
      ++i;
      continue;
    }
    inArg = true;
    if (c == '\\') {
      std::size_t count = 0;
      while (i < line.size() && line[i] == '\\') ++count, ++i;
      if (i < line.size() && line[i] == '"') {
        current.append(count / 2, '\\');
        if (count % 2 == 1) {
          current.push_back('"');
          ++i;
        }
      } else {
        current.append(count, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        current.push_back('"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current.push_back(c);
    ++i;
  }
  if (inArg) args.push_back(std::move(current));
  return args;
}

}  // namespace platform
