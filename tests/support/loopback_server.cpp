#include "loopback_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace net_testing {
namespace {

const char* PortsFile() { return std::getenv("LAUNCHER_TEST_SERVER"); }

// A file the server wrote beside its ports file.
std::string ServerFile(const std::string& name) {
  const std::string ports = PortsFile() ? PortsFile() : "";
  const auto slash = ports.find_last_of("/\\");
  return (slash == std::string::npos ? std::string() : ports.substr(0, slash + 1)) + name;
}

std::map<std::string, std::string> ReadPorts() {
  std::map<std::string, std::string> ports;
  const char* file = PortsFile();
  if (!file) {
    ADD_FAILURE() << "LAUNCHER_TEST_SERVER is not set: run the tests through ctest, which starts the server";
    return ports;
  }
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) ports[line.substr(0, equals)] = line.substr(equals + 1);
  }
  if (ports.empty()) ADD_FAILURE() << "no server ports in " << file;
  return ports;
}

std::string Origin(const std::string& scheme, const std::string& name) {
  static const std::map<std::string, std::string> ports = ReadPorts();
  const auto it = ports.find(name);
  return scheme + "://127.0.0.1:" + (it == ports.end() ? std::string("1") : it->second);
}

std::size_t Append(char* data, std::size_t size, std::size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// A control request, independent of the downloader under test, a POST of `post` when
// given. The global set-up is balanced here, so that the downloaders' own global
// clean-up still takes effect.
std::string Fetch(const std::string& url, const std::string* post = nullptr) {
  curl_global_init(CURL_GLOBAL_ALL);
  std::string body;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // The body goes at once, without waiting for a "100 Continue".
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  if (post) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  long status = 0;
  const CURLcode result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  curl_global_cleanup();
  if (result != CURLE_OK || status != 200) ADD_FAILURE() << "control request failed: " << url;
  return body;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string MakeKey() {
  static std::atomic<int> counter{0};
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string key = info ? std::string(info->test_suite_name()) + "-" + info->name() : "key";
  for (char& c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!plain) c = '_';
  }
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  return key + "-" + std::to_string(stamp) + "-" + std::to_string(counter++);
}

}  // namespace

ServerSession::ServerSession() : key_(MakeKey()) {}

std::string ServerSession::Url(const std::string& action) const { return Origin("http", "http") + Path(action); }

std::string ServerSession::SecureUrl(const std::string& action) const {
  return Origin("https", "https") + Path(action);
}

std::string ServerSession::NamedSecureUrl(const std::string& action) const {
  return Origin("https", "https-named") + Path(action);
}

std::string ServerSession::Path(const std::string& action) const { return "/s/" + key_ + "/" + action; }

std::vector<LoggedRequest> ServerSession::Requests() const {
  std::vector<LoggedRequest> requests;
  std::istringstream lines(Fetch(Origin("http", "http") + "/_log/" + key_));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    LoggedRequest request;
    std::string body;
    std::string userAgent;
    std::string range;
    std::string ifRange;
    fields >> request.timeMs >> request.method >> request.target >> body >> userAgent >> range >> ifRange >>
        request.bytesSent >> request.clientPort;
    request.body = FromHex(body);
    request.userAgent = FromHex(userAgent);
    request.range = FromHex(range);
    request.ifRange = FromHex(ifRange);
    requests.push_back(request);
  }
  return requests;
}

bool ServerSession::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Requests().size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void ServerSession::Release() const { Fetch(Origin("http", "http") + "/_release/" + key_); }

void ServerSession::Store(const std::string& name, const std::string& bytes) const {
  Fetch(Origin("http", "http") + "/_store/" + key_ + "/" + name, &bytes);
}

std::string ServerSession::NginxUrl(const std::string& name) const {
  const std::string origin = Origin("https", "nginx");
  return origin.ends_with(":1") ? std::string() : origin + "/" + key_ + "/" + name;
}

std::vector<NginxAnswer> ServerSession::NginxAnswers() const {
  std::vector<NginxAnswer> answers;
  std::istringstream lines(Fetch(Origin("http", "http") + "/_nginx_log/" + key_));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    NginxAnswer answer;
    fields >> answer.protocol >> answer.status >> answer.range;
    if (answer.range == "-") answer.range.clear();
    answers.push_back(answer);
  }
  return answers;
}

bool LibcurlSpeaksHttp2() { return (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTP2) != 0; }

std::string SecureCertificateFile() { return ServerFile("cert.pem"); }

std::string NamedSecureCertificateFile() { return ServerFile("named-cert.pem"); }

std::string BlackHoleUrl() { return Origin("http", "blackhole") + "/"; }

std::string ClosedPortUrl() { return Origin("http", "closed") + "/"; }

std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

std::string QueryValue(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') || c == '/') {
      result.push_back(c);
    } else {
      result += {'%', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return result;
}

}  // namespace net_testing
