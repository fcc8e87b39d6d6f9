#pragma once
// The test side of loopback_server.py: CTest starts that server once per run (fixture
// "loopback_server") and names its ports file in LAUNCHER_TEST_SERVER.
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace net_testing {

struct LoggedRequest {
  double timeMs = 0;  // server clock
  std::string method;
  std::string target;  // as sent: path and query, not decoded
  std::string body;
  std::string userAgent;
  // The Range and If-Range headers as sent; empty when absent.
  std::string range;
  std::string ifRange;
  // Body bytes the server sent in its answer.
  std::size_t bytesSent = 0;
  // The client's port: requests with the same one came over the same connection.
  int clientPort = 0;
};

struct NginxAnswer {
  std::string protocol;  // "HTTP/2.0", "HTTP/1.1"
  int status = 0;
  std::string range;  // the Range header as sent; empty when none
};

// Whether the libcurl of this build speaks HTTP/2.
bool LibcurlSpeaksHttp2();

// One test's own part of the server. Every path carries a key of its own, so tests that
// run side by side never see each other's requests.
class ServerSession {
 public:
  ServerSession();

  // http://127.0.0.1:PORT/s/KEY/ + `action` (an action of loopback_server.py, with its query).
  std::string Url(const std::string& action) const;
  // The same over TLS, with a self-signed certificate for another host name.
  std::string SecureUrl(const std::string& action) const;
  // The same over TLS, with a self-signed certificate for 127.0.0.1.
  std::string NamedSecureUrl(const std::string& action) const;
  // Only the path, for redirects and for comparing logged targets.
  std::string Path(const std::string& action) const;

  std::vector<LoggedRequest> Requests() const;
  // Waits until the server has logged at least `count` requests; false on timeout.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Lets this session's held answers go on.
  void Release() const;
  // Keeps `bytes` on the server under `name`, for the action "ranged?file=NAME" and for
  // NginxUrl.
  void Store(const std::string& name, const std::string& bytes) const;
  // https://127.0.0.1:PORT/KEY/NAME on the server's nginx (HTTP/2, several ranges a
  // request), for the bytes stored under `name`; empty where there is no nginx.
  std::string NginxUrl(const std::string& name) const;
  // What that nginx answered this session, in order.
  std::vector<NginxAnswer> NginxAnswers() const;

 private:
  std::string key_;
};

// The PEM files of the certificates of SecureUrl and NamedSecureUrl.
std::string SecureCertificateFile();
std::string NamedSecureCertificateFile();

// A port where connecting hangs until the client gives up, and one that refuses.
std::string BlackHoleUrl();
std::string ClosedPortUrl();

// What the "pattern" and "ranged" actions send: byte i is 'a' + i % 26.
std::string PatternBytes(std::size_t size);
// `text` encoded for a query value (for locations inside a query).
std::string QueryValue(const std::string& text);

}  // namespace net_testing
