#include "recording_server.h"

#include <ws2tcpip.h>

#include <utility>

namespace platform_testing {
namespace {

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// The request head, up to the empty line; what arrived when the client stops sending.
std::string ReadHead(SOCKET client) {
  std::string head;
  char buffer[1024];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const int n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return head;
}

void SendAll(SOCKET client, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const int n = send(client, data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

RecordingServer::RecordingServer() {
  WSADATA data;
  winsock_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  if (!winsock_) return;
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = Loopback(0);
  int size = sizeof address;
  if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&RecordingServer::Serve, this);
}

RecordingServer::~RecordingServer() {
  if (thread_.joinable()) {
    // One last connection wakes the accepting thread, which then sees the flag.
    stopping_ = true;
    const SOCKET wake = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const sockaddr_in address = Loopback(port_);
    connect(wake, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    closesocket(wake);
    thread_.join();
  }
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
  if (winsock_) WSACleanup();
}

std::string RecordingServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

void RecordingServer::SetProxyScript(std::string script) {
  std::lock_guard lock(mutex_);
  proxyScript_ = std::move(script);
}

std::vector<std::string> RecordingServer::RequestLines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string RecordingServer::BodyFor(const std::string& target) { return "answer for " + target; }

void RecordingServer::Serve() noexcept {
  while (!stopping_) {
    const SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    if (!stopping_) {
      try {
        Answer(client);
      } catch (...) {
        // Out of memory: the client sees the connection close without an answer.
      }
    }
    closesocket(client);
  }
}

void RecordingServer::Answer(SOCKET client) {
  // A client that stops sending cannot hold the server for good.
  const DWORD timeoutMs = 10000;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  const std::string head = ReadHead(client);
  const std::string line = head.substr(0, head.find("\r\n"));
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  const std::size_t targetStart = line.find(' ') + 1;
  SendAll(client, Response(line.substr(targetStart, line.find(' ', targetStart) - targetStart)));
  shutdown(client, SD_SEND);
}

std::string RecordingServer::Response(const std::string& target) const {
  std::string status = "200 OK";
  std::string body = BodyFor(target);
  if (target == "/proxy.pac") {
    std::lock_guard lock(mutex_);
    body = proxyScript_;
  } else if (target.ends_with(".pac")) {
    status = "404 Not Found";
  }
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

}  // namespace platform_testing
