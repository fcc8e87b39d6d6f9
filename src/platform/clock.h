#pragma once
// Calendar times in the local time zone.
#include "platform/file.h"

namespace platform {

// A wall-clock time as shown to the user: year, month 1-12, day 1-31, hour 0-23,
// minute 0-59, second 0-59.
struct CalendarTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Whether the fields form a real date and time between the years 1601 and 30827.
bool IsValidCalendarTime(const CalendarTime& time);

// Converts a local calendar time to UTC (SystemTimeToFileTime, then
// LocalFileTimeToFileTime on Windows; mktime on POSIX). False, leaving *utc alone,
// for a time that is not IsValidCalendarTime.
bool LocalTimeToFileTime(const CalendarTime& local, FileTime* utc);

}  // namespace platform
