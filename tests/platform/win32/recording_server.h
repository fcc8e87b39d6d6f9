#pragma once
// A loopback HTTP server on its own thread that records the request line of every
// request and answers it itself: as a proxy (the line names a whole URL), as the origin
// (only a path), and with the configuration script at "/proxy.pac" (any other ".pac" is
// missing). Nothing is forwarded, so a name like launcher.test is never resolved.
#include <winsock2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform_testing {

class RecordingServer {
 public:
  RecordingServer();
  ~RecordingServer();
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  bool ready() const { return thread_.joinable(); }
  // "127.0.0.1:PORT"
  std::string Address() const;
  void SetProxyScript(std::string script);
  std::vector<std::string> RequestLines() const;

  // The body of the answer to a request for `target`.
  static std::string BodyFor(const std::string& target);

 private:
  void Serve() noexcept;
  void Answer(SOCKET client);
  std::string Response(const std::string& target) const;

  bool winsock_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::string proxyScript_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

}  // namespace platform_testing
