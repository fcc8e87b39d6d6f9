#include <langinfo.h>
#include <locale.h>

#include "platform/codepage.h"
#include "platform/locale.h"

namespace platform {

NumberFormat UserNumberFormat() {
  NumberFormat format;
  const locale_t user = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (!user) return format;
  const std::string decimalPoint = nl_langinfo_l(RADIXCHAR, user);
  const std::string thousands = nl_langinfo_l(THOUSEP, user);
  // The C and POSIX locales group no digits: they are no player's own choice.
  if (!decimalPoint.empty() && !thousands.empty()) {
    format.decimalPoint = NarrowToWide(decimalPoint, CodePage::Utf8);
    format.thousandsSeparator = NarrowToWide(thousands, CodePage::Utf8);
  }
  freelocale(user);
  return format;
}

}  // namespace platform
