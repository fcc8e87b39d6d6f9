#pragma once
// How Windows' Internet settings name proxy servers and the hosts that bypass them.
#include <string>

namespace platform {

// The scheme and host of a URL, both in lower case; the host without user, port or the
// brackets of an IPv6 address. Without "://" the text starts with the host and the
// scheme is "http", as libcurl assumes.
struct UrlTarget {
  std::string scheme;
  std::string host;
};
UrlTarget SplitUrl(const std::string& url);

// Whether `host` (as SplitUrl gives it) is this machine's loopback: "localhost", an
// IPv4 address in 127.0.0.0/8 or the IPv6 address ::1, in any of their spellings.
bool IsLoopbackHost(const std::string& host);

// Whether a proxy bypass list names `host`. Entries are separated by ";" or white
// space; "<local>" names every host without a dot; any other entry is a host pattern in
// which "*" stands for any run of characters. Case does not matter.
bool BypassListMatches(const std::string& bypassList, const std::string& host);

// The proxy server for `scheme` from a proxy server list, as CURLOPT_PROXY takes it, ""
// when the list has none. Entries are separated by ";" or white space: "scheme=server"
// serves that scheme, a plain "server" every scheme without an entry of its own, and
// "socks=server" (a SOCKS 4 proxy) what is left. A server without a port gets the
// default port of its kind (80, or 1080 for SOCKS).
std::string ProxyServerFor(const std::string& serverList, const std::string& scheme);

}  // namespace platform
