#include "net/request_options.h"

#include <curl/curl.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "platform/proxy.h"

namespace net {
namespace {

constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.2)";

std::atomic<int> g_testLowSpeedTime{0};

// Whole seconds; 0 when the variable is absent or not a number.
int LowSpeedTimeFromEnvironment() {
  const char* text = std::getenv("LAUNCHER_TEST_LOW_SPEED_TIME");
  if (!text) return 0;
  const std::string_view view(text);
  int seconds = 0;
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), seconds);
  return error == std::errc() && end == view.data() + view.size() ? seconds : 0;
}

int LowSpeedTime() {
  static const int fromEnvironment = LowSpeedTimeFromEnvironment();
  const int forced = g_testLowSpeedTime;
  const int seconds = forced > 0 ? forced : fromEnvironment;
  // A test may only shorten the limit.
  return seconds > 0 && seconds < kLowSpeedTime ? seconds : kLowSpeedTime;
}

}  // namespace

void ApplyRequestOptions(void* curl, const std::string& url, int connectTimeout, const TlsPolicy& tls) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // The user's system proxy where the system decides (Windows); otherwise libcurl's
  // own rules from the environment.
  const platform::ProxyChoice proxy = platform::SystemProxyFor(url);
  if (proxy.decided) curl_easy_setopt(curl, CURLOPT_PROXY, proxy.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout));
  // A server that keeps the connection open but sends nothing, or a byte now and then,
  // would hold the launcher forever: there is no overall time-out, as a package may be large.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(LowSpeedTime()));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  // HTTP/2 where TLS negotiates it and libcurl has it: the transfers of a run then share
  // one connection.
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  ApplyTlsPolicy(curl, tls);
}

void SetLowSpeedTimeForTesting(int seconds) { g_testLowSpeedTime = seconds; }

}  // namespace net
