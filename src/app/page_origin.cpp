// URL origins for the page bridge's trust check.
#include "app/page_origin.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsScheme(const std::string& scheme) {
  if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
  return std::all_of(scheme.begin(), scheme.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '-' || c == '.';
  });
}

std::string DefaultPort(const std::string& scheme) {
  if (scheme == "http") return "80";
  if (scheme == "https") return "443";
  return "";
}

// "host[:port]" of an authority without its user information; "[v6]" hosts keep
// their brackets. Empty when the port is not a number.
std::string HostAndPort(const std::string& authority, const std::string& scheme) {
  const std::size_t at = authority.rfind('@');
  const std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
  const std::size_t bracket = hostPort.rfind(']');
  std::size_t colon = hostPort.rfind(':');
  if (colon != std::string::npos && bracket != std::string::npos && colon < bracket) colon = std::string::npos;
  std::string host = Lower(hostPort.substr(0, colon));
  std::string port = colon == std::string::npos ? "" : hostPort.substr(colon + 1);
  if (host.empty()) return "";
  if (!std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })) return "";
  while (port.size() > 1 && port[0] == '0') port.erase(0, 1);
  if (port.empty()) port = DefaultPort(scheme);
  return port.empty() ? host : host + ":" + port;
}

}  // namespace

std::string UrlOrigin(const std::string& url) {
  const std::size_t colon = url.find(':');
  if (colon == std::string::npos) return "";
  const std::string scheme = Lower(url.substr(0, colon));
  if (!IsScheme(scheme)) return "";
  const std::string rest = url.substr(colon + 1);
  if (rest.rfind("//", 0) != 0) return "";
  const std::size_t end = rest.find_first_of("/?#", 2);
  const std::string authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
  if (authority.empty()) {
    // No host (file:///...): only the same document is the same page.
    return scheme + ":" + rest.substr(0, rest.find_first_of("?#"));
  }
  const std::string hostPort = HostAndPort(authority, scheme);
  return hostPort.empty() ? "" : scheme + "://" + hostPort;
}

bool IsTrustedOrigin(const std::string& pageUrl, const std::string& loginUrl, const Json::Value& trustedOrigins) {
  const std::string origin = UrlOrigin(pageUrl);
  if (origin.empty()) return false;
  if (origin == UrlOrigin(loginUrl)) return true;
  if (!trustedOrigins.isArray()) return false;
  for (const Json::Value& trusted : trustedOrigins) {
    if (trusted.isString() && origin == UrlOrigin(trusted.asString())) return true;
  }
  return false;
}
