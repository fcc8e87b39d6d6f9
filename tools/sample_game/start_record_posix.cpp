#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "start_record.h"

StartRecord ReadStartRecord(int argc, char** argv) {
  StartRecord record;
  record.argv.assign(argv, argv + argc);
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) != nullptr) record.cwd = buffer;
  return record;
}

bool MoveOver(const std::string& source, const std::string& target) {
  return std::rename(source.c_str(), target.c_str()) == 0;
}

void SleepMilliseconds(unsigned milliseconds) {
  timespec delay{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&delay, nullptr);
}
