#include <windows.h>

#include <cstdlib>

#include "environment.h"

namespace testing_support {

void SetEnvironment(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testing_support
