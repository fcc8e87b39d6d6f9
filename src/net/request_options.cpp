#include "net/request_options.h"

#include <curl/curl.h>

#include "platform/proxy.h"

namespace net {
namespace {

constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.2)";

}  // namespace

void ApplyRequestOptions(void* curl, const std::string& url, int connectTimeout, const TlsPolicy& tls) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // The user's system proxy where the system decides (Windows); otherwise libcurl's
  // own rules from the environment.
  const platform::ProxyChoice proxy = platform::SystemProxyFor(url);
  if (proxy.decided) curl_easy_setopt(curl, CURLOPT_PROXY, proxy.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  ApplyTlsPolicy(curl, tls);
}

}  // namespace net
