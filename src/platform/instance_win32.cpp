#include <windows.h>

#include "platform/instance.h"
#include "platform/codepage.h"

namespace platform {

SingleInstance::~SingleInstance() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

SingleInstance::Result SingleInstance::Acquire(const std::string& name) {
  const std::wstring wide = NarrowToWide(name, CodePage::Utf8);
  HANDLE mutex = CreateMutexW(nullptr, TRUE, wide.c_str());
  if (!mutex) return Result::Unavailable;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return Result::AlreadyRunning;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return Result::Acquired;
}

}  // namespace platform
