#include <windows.h>

#include "platform/clock.h"

namespace platform {

bool LocalTimeToFileTime(const CalendarTime& local, FileTime* utc) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(local.year);
  st.wMonth = static_cast<WORD>(local.month);
  st.wDay = static_cast<WORD>(local.day);
  st.wHour = static_cast<WORD>(local.hour);
  st.wMinute = static_cast<WORD>(local.minute);
  st.wSecond = static_cast<WORD>(local.second);
  FILETIME localTime, utcTime;
  if (!IsValidCalendarTime(local) || !SystemTimeToFileTime(&st, &localTime)) return false;
  if (!LocalFileTimeToFileTime(&localTime, &utcTime)) return false;
  *utc = (static_cast<FileTime>(utcTime.dwHighDateTime) << 32) | utcTime.dwLowDateTime;
  return true;
}

}  // namespace platform
