#pragma once
// Every transfer of the launcher goes through here, so that each one leaves a line in
// the launcher's log: the address without its query, the status, the bytes, the time
// taken and, on failure, libcurl's own words.
#include <curl/curl.h>

namespace net {

// curl_easy_perform on the prepared handle, then one log line about its outcome.
CURLcode PerformLogged(CURL* curl);

}  // namespace net
