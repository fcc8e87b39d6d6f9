#include <ctime>

#include "platform/clock.h"

namespace platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The same range checks SystemTimeToFileTime makes.
bool IsValid(const CalendarTime& t) {
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return false;
  return t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 && t.second < 60;
}

}  // namespace

bool LocalTimeToFileTime(const CalendarTime& local, FileTime* utc) {
  if (!IsValid(local)) return false;
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
