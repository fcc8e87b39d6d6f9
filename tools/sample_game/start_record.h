#pragma once
// What the sample game was started with, as UTF-8 text.
#include <optional>
#include <string>
#include <vector>

struct StartRecord {
  std::vector<std::string> argv;
  std::string cwd;
  // The raw command line, where the system keeps one (Windows).
  std::optional<std::string> commandLine;
};

StartRecord ReadStartRecord(int argc, char** argv);

// Replaces `target` with `source`, even when `target` exists.
bool MoveOver(const std::string& source, const std::string& target);

void SleepMilliseconds(unsigned milliseconds);
