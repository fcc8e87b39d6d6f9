#pragma once
// The options every request of the launcher shares, set on a libcurl easy handle in one
// place: the address, the proxy, the connection timeout, redirects, the user agent and
// the certificate checks.
#include <string>

#include "net/tls_policy.h"

namespace net {

// Longer redirect chains are loops or a server leading the launcher on.
inline constexpr long kMaxRedirects = 10;

// `curl` is an easy handle (CURL is void in libcurl's headers); `connectTimeout` in
// seconds, 0 for libcurl's default.
void ApplyRequestOptions(void* curl, const std::string& url, int connectTimeout, const TlsPolicy& tls);

}  // namespace net
