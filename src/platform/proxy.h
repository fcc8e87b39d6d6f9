#pragma once
// The proxy server the user chose in the system's settings, for libcurl's CURLOPT_PROXY.
#include <string>

namespace platform {

// `decided` false: the system has no say, and libcurl's own rules (its proxy environment
// variables) apply. Otherwise `proxy` is what CURLOPT_PROXY takes: "" for a direct
// connection (which also keeps libcurl from taking a proxy from the environment), or the
// proxy server, e.g. "host:port", "http://host:port" or "socks4://host:port".
struct ProxyChoice {
  bool decided = false;
  std::string proxy;
};

// The proxy for a transfer of `url`. On Windows loopback addresses (localhost,
// 127.0.0.0/8, ::1) always go direct; a proxy variable of libcurl's in the environment
// leaves the choice to libcurl; otherwise the user's Internet settings decide: automatic
// detection and the configuration script first, then the manual proxy server with its
// bypass list. On Linux the environment is the system's setting, which libcurl reads
// itself, so nothing is decided here. It may wait for a script to be found and
// downloaded: call it on a worker thread. It never throws.
ProxyChoice SystemProxyFor(const std::string& url);

}  // namespace platform
