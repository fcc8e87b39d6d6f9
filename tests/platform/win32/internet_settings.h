#pragma once
// The user's Internet settings for one test. HKEY_CURRENT_USER of the test process
// points at a fresh volatile key for the object's lifetime, so the Wine prefix that all
// tests share keeps its own settings and no other program sees these.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace platform_testing {

// The choices of the "LAN settings" dialog, as flags of the stored settings.
enum LanFlag : DWORD { kDirect = 1, kManualProxy = 2, kScript = 4, kAutoDetect = 8 };

struct LanSettings {
  DWORD flags = kDirect;
  std::string servers;
  std::string bypass;
  std::string scriptUrl;
};

class ScratchInternetSettings {
 public:
  ScratchInternetSettings();
  ~ScratchInternetSettings();
  ScratchInternetSettings(const ScratchInternetSettings&) = delete;
  ScratchInternetSettings& operator=(const ScratchInternetSettings&) = delete;

  bool ready() const { return overridden_; }
  // Stores the settings where WinHTTP reads them: the "DefaultConnectionSettings" record
  // of the connection settings (Wine reads neither ProxyEnable nor ProxyServer).
  bool Write(const LanSettings& settings) const;

 private:
  std::wstring path_;
  HKEY key_ = nullptr;
  bool overridden_ = false;
};

// Clears libcurl's proxy variables, no_proxy included, for the object's lifetime (Wine
// hands the Linux environment on to Windows programs) and puts them back afterwards.
class ClearedProxyEnvironment {
 public:
  ClearedProxyEnvironment();
  ~ClearedProxyEnvironment();
  ClearedProxyEnvironment(const ClearedProxyEnvironment&) = delete;
  ClearedProxyEnvironment& operator=(const ClearedProxyEnvironment&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

}  // namespace platform_testing
