#pragma once
// The options every request of the launcher shares, set on a libcurl easy handle in one
// place: the address, the proxy, the connection timeout, the stall limit, redirects, the
// user agent and the certificate checks.
#include <string>

#include "net/tls_policy.h"

namespace net {

// Longer redirect chains are loops or a server leading the launcher on.
inline constexpr long kMaxRedirects = 10;
// A transfer that moves less than a byte a second for this many seconds has stalled:
// the attempt fails, and the retry rules take over.
inline constexpr int kLowSpeedTime = 30;

// `curl` is an easy handle (CURL is void in libcurl's headers); `connectTimeout` in
// seconds, 0 for libcurl's default.
void ApplyRequestOptions(void* curl, const std::string& url, int connectTimeout, const TlsPolicy& tls);

// Test seam: requests set up from now on count a transfer as stalled after `seconds`
// (only fewer than kLowSpeedTime change anything); 0 goes back to the default. The
// environment variable LAUNCHER_TEST_LOW_SPEED_TIME, read once, does the same for a
// whole run of the launcher (end-to-end tests).
void SetLowSpeedTimeForTesting(int seconds);

}  // namespace net
