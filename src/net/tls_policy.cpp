#include "net/tls_policy.h"

#include <curl/curl.h>

#include <mutex>

namespace net {
namespace {

std::mutex g_testCaMutex;
std::string g_testCaFile;

std::string TestCaFile() {
  std::lock_guard lock(g_testCaMutex);
  return g_testCaFile;
}

}  // namespace

void ApplyTlsPolicy(void* curl, const TlsPolicy& policy) {
  if (!policy.verifyPeer) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    return;
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  // libcurl treats 1 as 2 since 7.28.1; 2 says what is meant: the name must match.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // Schannel also asks whether the certificate was revoked; when no revocation server
  // answers (or the certificate names none), the chain and the name still decide rather
  // than every request failing.
  curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  // A redirect to plain HTTP would leave the checks behind: it fails the attempt.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  const std::string caFile = TestCaFile();
  if (caFile.empty()) return;
  // libcurl copies the text. Without the folder of the system's certificates, the file
  // is all that is trusted.
  curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
}

void TrustOnlyCaFileForTesting(const std::string& pemFile) {
  std::lock_guard lock(g_testCaMutex);
  g_testCaFile = pemFile;
}

}  // namespace net
