#include "net/transfer_log.h"

#include <cstdio>
#include <string>

#include "log/log.h"

namespace net {

void LogTransfer(CURL* curl, CURLcode code, const char* error) {
  char* url = nullptr;
  long status = 0;
  curl_off_t bytes = 0;
  curl_off_t microseconds = 0;
  curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
  curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &microseconds);
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, ": status %ld, %lld bytes, %.3f s", status, static_cast<long long>(bytes),
                static_cast<double>(microseconds) / 1e6);
  std::string line = "request " + applog::UrlForLog(url ? url : "") + numbers;
  if (code != CURLE_OK) line += std::string(", failed: ") + (error && error[0] ? error : curl_easy_strerror(code));
  applog::Log(line);
}

}  // namespace net
