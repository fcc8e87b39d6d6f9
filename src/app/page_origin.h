#pragma once
// Which pages may enter the game: the login page's origin and the ones Setting.json
// lists under TrustedOrigins. Anything else the browser shows (a redirect, a link,
// an injected frame's navigation) may not start the game.
#include <json/json.h>

#include <string>

// The origin of an absolute URL: lower-case scheme, "://", lower-case host and the
// port (the scheme's default made explicit for http and https), as in
// "https://example.com:443". A URL without a host (file:) is its own origin: the URL
// without query and fragment. Empty when `url` is not an absolute URL.
std::string UrlOrigin(const std::string& url);

// Whether `pageUrl` has the origin of `loginUrl` or of an entry of `trustedOrigins`
// (an array of texts; anything else in it is ignored). An empty origin matches nothing.
bool IsTrustedOrigin(const std::string& pageUrl, const std::string& loginUrl, const Json::Value& trustedOrigins);
