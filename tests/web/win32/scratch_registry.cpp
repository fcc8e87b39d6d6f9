#include "scratch_registry.h"

namespace web_testing {

ScratchUserKey::ScratchUserKey() {
  path_ = L"Software\\LauncherWebTests\\" + std::to_wstring(GetCurrentProcessId());
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key_, nullptr) != ERROR_SUCCESS) {
    key_ = nullptr;
  }
  overridden_ = key_ && RegOverridePredefKey(HKEY_CURRENT_USER, key_) == ERROR_SUCCESS;
}

ScratchUserKey::~ScratchUserKey() {
  if (overridden_) RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  if (key_) RegCloseKey(key_);
  RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

long long ReadDword(HKEY root, const std::wstring& subkey, const std::wstring& name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (RegGetValueW(root, subkey.c_str(), name.c_str(), RRF_RT_ANY, &type, &value, &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return -1;
  }
  return value;
}

std::wstring ExecutableName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring full(path);
  return full.substr(full.find_last_of(L"\\/") + 1);
}

}  // namespace web_testing
