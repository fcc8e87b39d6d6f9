#include "platform/proxy_rules.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ToLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
  return lower;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f'); }
bool IsSchemeChar(char c) {
  return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z') || c == '+' || c == '-' || c == '.';
}
bool IsSeparator(char c) { return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The non-empty entries of a list separated by ";" or white space.
std::vector<std::string_view> ListEntries(std::string_view list) {
  std::vector<std::string_view> entries;
  std::size_t start = 0;
  while (start < list.size()) {
    if (IsSeparator(list[start])) {
      ++start;
      continue;
    }
    std::size_t end = start;
    while (end < list.size() && !IsSeparator(list[end])) ++end;
    entries.push_back(list.substr(start, end - start));
    start = end;
  }
  return entries;
}

// Resolvers read any all-numeric dotted name as an IPv4 address, shortened forms such as
// 127.1 included.
bool IsIpv4Loopback(std::string_view host) {
  return host.substr(0, 4) == "127." &&
         std::all_of(host.begin(), host.end(), [](char c) { return IsDigit(c) || c == '.'; });
}

// Appends the values of colon-separated groups of 1 to 4 hex digits; false on anything
// else, an empty group included.
bool ParseHexGroups(std::string_view text, std::vector<unsigned>& groups) {
  if (text.empty()) return true;
  for (;;) {
    const std::size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (group.empty() || group.size() > 4 || !std::all_of(group.begin(), group.end(), IsHexDigit)) return false;
    unsigned value = 0;
    for (const char c : group) value = value * 16 + static_cast<unsigned>(IsDigit(c) ? c - '0' : Lower(c) - 'a' + 10);
    groups.push_back(value);
    if (colon == kNone) return true;
    text.remove_prefix(colon + 1);
  }
}

bool IsIpv6Loopback(std::string_view host) {
  std::vector<unsigned> groups;
  std::vector<unsigned> tail;
  const std::size_t gap = host.find("::");
  if (gap == kNone) {
    if (!ParseHexGroups(host, groups) || groups.size() != 8) return false;
  } else if (!ParseHexGroups(host.substr(0, gap), groups) || !ParseHexGroups(host.substr(gap + 2), tail) ||
             groups.size() + tail.size() > 7) {
    return false;
  }
  // "::" stands for as many zero groups as make eight.
  groups.resize(8 - tail.size(), 0);
  groups.insert(groups.end(), tail.begin(), tail.end());
  return std::all_of(groups.begin(), groups.end() - 1, [](unsigned g) { return g == 0; }) && groups.back() == 1;
}

// `pattern` and `text` in lower case; "*" in the pattern stands for any run of characters.
bool WildcardMatch(std::string_view pattern, std::string_view text) {
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = kNone;
  std::size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      starText = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != kNone) {
      // Let the last star take one more character and try again from there.
      p = star + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// A name without a dot; addresses (an IPv6 address has colons) are not names.
bool IsPlainHostName(std::string_view host) { return !host.empty() && host.find_first_of(".:") == kNone; }

// `server` up to its host and port, with `defaultPort` appended when it names none
// (libcurl would take 1080 for an HTTP proxy).
std::string WithPort(std::string_view server, std::string_view defaultPort) {
  const std::size_t schemeEnd = server.find("://");
  const std::size_t hostStart = schemeEnd == kNone ? 0 : schemeEnd + 3;
  const std::string_view authority = server.substr(0, server.find('/', hostStart));
  const std::string_view host = authority.substr(std::min(hostStart, authority.size()));
  const std::size_t bracket = host.rfind(']');
  std::string result(authority);
  if (host.find(':', bracket == kNone ? 0 : bracket) == kNone) {
    result += ':';
    result += defaultPort;
  }
  return result;
}

}  // namespace

UrlTarget SplitUrl(const std::string& url) {
  UrlTarget target{"http", {}};
  std::string_view rest(url);
  const std::size_t schemeEnd = rest.find("://");
  if (schemeEnd != kNone && std::all_of(rest.begin(), rest.begin() + schemeEnd, IsSchemeChar)) {
    target.scheme = ToLower(rest.substr(0, schemeEnd));
    rest.remove_prefix(schemeEnd + 3);
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const std::size_t at = rest.rfind('@');
  if (at != kNone) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    rest = rest.substr(1, rest.find(']') - 1);
  } else {
    rest = rest.substr(0, rest.find(':'));
  }
  target.host = ToLower(rest);
  return target;
}

bool IsLoopbackHost(const std::string& host) {
  const std::string lower = ToLower(host);
  return lower == "localhost" || IsIpv4Loopback(lower) || IsIpv6Loopback(lower);
}

bool BypassListMatches(const std::string& bypassList, const std::string& host) {
  const std::string lowerHost = ToLower(host);
  for (const std::string_view entry : ListEntries(bypassList)) {
    const std::string pattern = ToLower(entry);
    if (pattern == "<local>" ? IsPlainHostName(lowerHost) : WildcardMatch(pattern, lowerHost)) return true;
  }
  return false;
}

std::string ProxyServerFor(const std::string& serverList, const std::string& scheme) {
  const std::string wanted = ToLower(scheme);
  std::string_view own;
  std::string_view shared;
  std::string_view socks;
  for (const std::string_view entry : ListEntries(serverList)) {
    const std::size_t equals = entry.find('=');
    if (equals == kNone) {
      if (shared.empty()) shared = entry;
      continue;
    }
    const std::string key = ToLower(entry.substr(0, equals));
    const std::string_view server = entry.substr(equals + 1);
    if (key == wanted && own.empty()) {
      own = server;
    } else if (key == "socks" && socks.empty()) {
      socks = server;
    }
  }
  if (!own.empty()) return WithPort(own, "80");
  if (!shared.empty()) return WithPort(shared, "80");
  if (!socks.empty()) return "socks4://" + WithPort(socks, "1080");
  return {};
}

}  // namespace platform
