#include "internet_settings.h"

#include "environment.h"

namespace platform_testing {
namespace {

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
// The format tag that opens the record; WinHTTP ignores a record without it.
constexpr DWORD kRecordFormat = 0x46;
// Windows looks names up regardless of case: these cover every spelling. no_proxy would
// send loopback transfers direct whatever the proxy choice.
constexpr const char* kProxyVariables[] = {"http_proxy", "https_proxy", "all_proxy", "no_proxy"};

void AppendDword(std::vector<BYTE>& record, DWORD value) {
  for (int shift = 0; shift < 32; shift += 8) record.push_back(static_cast<BYTE>(value >> shift));
}

void AppendText(std::vector<BYTE>& record, const std::string& text) {
  AppendDword(record, static_cast<DWORD>(text.size()));
  record.insert(record.end(), text.begin(), text.end());
}

std::string EnvironmentValue(const char* name) {
  char value[4096] = {};
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n < sizeof value ? std::string(value, n) : std::string();
}

}  // namespace

ScratchInternetSettings::ScratchInternetSettings() {
  path_ = L"Software\\LauncherProxyTests-" + std::to_wstring(GetCurrentProcessId());
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_,
                      nullptr) != ERROR_SUCCESS) {
    key_ = nullptr;
  }
  overridden_ = key_ && RegOverridePredefKey(HKEY_CURRENT_USER, key_) == ERROR_SUCCESS;
}

ScratchInternetSettings::~ScratchInternetSettings() {
  if (overridden_) RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  if (key_) RegCloseKey(key_);
  RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

bool ScratchInternetSettings::Write(const LanSettings& settings) const {
  std::vector<BYTE> record;
  AppendDword(record, kRecordFormat);
  AppendDword(record, 1);  // change counter
  AppendDword(record, settings.flags);
  AppendText(record, settings.servers);
  AppendText(record, settings.bypass);
  AppendText(record, settings.scriptUrl);
  // Below a volatile key every key has to be volatile too.
  HKEY connections = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                      &connections, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool written = RegSetValueExW(connections, L"DefaultConnectionSettings", 0, REG_BINARY, record.data(),
                                      static_cast<DWORD>(record.size())) == ERROR_SUCCESS;
  RegCloseKey(connections);
  return written;
}

ClearedProxyEnvironment::ClearedProxyEnvironment() {
  for (const char* name : kProxyVariables) {
    saved_.emplace_back(name, EnvironmentValue(name));
    testing_support::SetEnvironment(name, "");
  }
}

ClearedProxyEnvironment::~ClearedProxyEnvironment() {
  for (const auto& [name, value] : saved_) testing_support::SetEnvironment(name, value);
}

}  // namespace platform_testing
