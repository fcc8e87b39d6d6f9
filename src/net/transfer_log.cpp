#include "net/transfer_log.h"

#include <cstdio>
#include <string>

#include "log/log.h"

namespace net {

CURLcode PerformLogged(CURL* curl) {
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  const CURLcode code = curl_easy_perform(curl);
  // The buffer ends with this call; the handle may be used again.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

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
  if (code != CURLE_OK) line += std::string(", failed: ") + (error[0] ? error : curl_easy_strerror(code));
  applog::Log(line);
  return code;
}

}  // namespace net
