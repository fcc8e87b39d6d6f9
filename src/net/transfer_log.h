#pragma once
// Every transfer of the launcher goes through here, so that each one leaves a line in
// the launcher's log: the address without its query, the status, the bytes, the time
// taken and, on failure, libcurl's own words.
#include <curl/curl.h>

namespace net {

// One log line about the request that just ended on `curl` with `code`; `error` is the
// text libcurl left in the handle's error buffer (may be empty).
void LogTransfer(CURL* curl, CURLcode code, const char* error);

}  // namespace net
