#include <windows.h>
#include <winhttp.h>

#include <initializer_list>
#include <memory>

#include "platform/codepage.h"
#include "platform/proxy.h"
#include "platform/proxy_rules.h"

namespace platform {
namespace {

struct GlobalFreeDeleter {
  void operator()(wchar_t* text) const { GlobalFree(text); }
};
// A string that WinHTTP allocated for its caller.
using GlobalText = std::unique_ptr<wchar_t, GlobalFreeDeleter>;

struct InternetHandleCloser {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetHandleCloser>;

std::string Narrow(const GlobalText& text) { return text ? WideToNarrow(text.get(), CodePage::Ansi) : std::string(); }

// libcurl's proxy variables. Windows looks names up regardless of case, so these also
// stand for HTTPS_PROXY and ALL_PROXY (and for HTTP_PROXY, which libcurl then reads too).
bool EnvironmentNamesProxy() {
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy"}) {
    // Only whether a value is there matters; a longer one just reports its size.
    char first[2];
    if (GetEnvironmentVariableA(name, first, sizeof first) > 0) return true;
  }
  return false;
}

// The user's Internet settings (the "LAN settings" of the Internet options).
struct InternetSettings {
  bool autoDetect = false;
  std::wstring autoConfigUrl;
  std::string servers;
  std::string bypass;
};

bool ReadInternetSettings(InternetSettings& settings) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  const GlobalText autoConfigUrl(config.lpszAutoConfigUrl);
  const GlobalText servers(config.lpszProxy);
  const GlobalText bypass(config.lpszProxyBypass);
  settings.autoDetect = config.fAutoDetect != FALSE;
  if (autoConfigUrl) settings.autoConfigUrl = autoConfigUrl.get();
  settings.servers = Narrow(servers);
  settings.bypass = Narrow(bypass);
  return true;
}

std::string ListedProxy(const std::string& servers, const std::string& bypass, const UrlTarget& target) {
  return BypassListMatches(bypass, target.host) ? std::string() : ProxyServerFor(servers, target.scheme);
}

// Asks one configuration script, found by `options`, for the proxy of `url`: false when
// there is no answer (no script found, or it could not be run).
bool AskScript(HINTERNET session, const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS options, const UrlTarget& target,
               std::string& proxy) {
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  if (!WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) return false;
  const GlobalText servers(info.lpszProxy);
  const GlobalText bypass(info.lpszProxyBypass);
  proxy = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? ListedProxy(Narrow(servers), Narrow(bypass), target)
                                                               : std::string();
  return true;
}

// Automatic detection first, then the configured script: one request each, as Wine
// refuses a request that asks for both.
bool AutomaticProxy(const std::string& url, const UrlTarget& target, const InternetSettings& settings,
                    std::string& proxy) {
  if (!settings.autoDetect && settings.autoConfigUrl.empty()) return false;
  const InternetHandle session(
      WinHttpOpen(L"launcher", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return false;
  const std::wstring wideUrl = NarrowToWide(url, CodePage::Ansi);
  if (settings.autoDetect) {
    WINHTTP_AUTOPROXY_OPTIONS detect{};
    detect.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    detect.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    if (AskScript(session.get(), wideUrl, detect, target, proxy)) return true;
  }
  if (settings.autoConfigUrl.empty()) return false;
  WINHTTP_AUTOPROXY_OPTIONS script{};
  script.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
  script.lpszAutoConfigUrl = settings.autoConfigUrl.c_str();
  return AskScript(session.get(), wideUrl, script, target, proxy);
}

}  // namespace

ProxyChoice SystemProxyFor(const std::string& url) {
  try {
    const UrlTarget target = SplitUrl(url);
    if (IsLoopbackHost(target.host)) return {true, {}};
    if (EnvironmentNamesProxy()) return {};
    InternetSettings settings;
    if (!ReadInternetSettings(settings)) return {};
    // Without an answer from a script the manual server applies, as in the browser.
    ProxyChoice choice{true, {}};
    if (!AutomaticProxy(url, target, settings, choice.proxy)) {
      choice.proxy = ListedProxy(settings.servers, settings.bypass, target);
    }
    return choice;
  } catch (...) {
    // Out of memory: libcurl's own rules still allow the transfer.
    return {};
  }
}

}  // namespace platform
