#include <windows.h>

#include "platform/locale.h"

namespace platform {
namespace {

// One of the user's locale values; empty when it cannot be read.
std::wstring UserLocaleText(LCTYPE type) {
  wchar_t text[8] = {};
  return GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, text, 8) > 0 ? text : L"";
}

}  // namespace

NumberFormat UserNumberFormat() {
  NumberFormat format;
  const std::wstring decimalPoint = UserLocaleText(LOCALE_SDECIMAL);
  const std::wstring thousands = UserLocaleText(LOCALE_STHOUSAND);
  if (!decimalPoint.empty() && !thousands.empty()) {
    format.decimalPoint = decimalPoint;
    format.thousandsSeparator = thousands;
  }
  return format;
}

}  // namespace platform
