#include <ctime>

#include "platform/clock.h"

namespace platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;

}  // namespace

bool LocalTimeToFileTime(const CalendarTime& local, FileTime* utc) {
  if (!IsValidCalendarTime(local)) return false;
  std::tm tm{};
  tm.tm_year = local.year - 1900;
  tm.tm_mon = local.month - 1;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_isdst = -1;  // let the zone's rules for that date decide
  const std::time_t seconds = std::mktime(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return false;
  const std::int64_t sinceEpoch = static_cast<std::int64_t>(seconds) + kEpochDifference;
  if (sinceEpoch < 0) return false;
  *utc = static_cast<FileTime>(sinceEpoch) * 10000000ULL;
  return true;
}

}  // namespace platform
