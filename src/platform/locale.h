#pragma once
// How the user's locale writes numbers.
#include <string>

namespace platform {

struct NumberFormat {
  std::wstring decimalPoint = L".";
  std::wstring thousandsSeparator = L",";
};

// The user's own number format where the system gives one (Windows: the user's locale
// settings; POSIX: LC_NUMERIC of the environment, without changing the process's
// locale); the English one otherwise, as for the C locale, which groups no digits.
NumberFormat UserNumberFormat();

}  // namespace platform
