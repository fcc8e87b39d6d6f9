#pragma once
// The one place where the launcher's HTTP(S) requests run: several transfers at once on
// the calling thread through libcurl's multi interface, over a bounded set of
// connections (HTTP/2 streams share one where the server and libcurl speak it), with one
// retry rule, a pause before a retry that a cancel cuts short, the addresses of a
// transfer tried in order (mirrors), and an optional cap on the bytes per second of all
// transfers together.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/tls_policy.h"

namespace net {

// How the requests of an owner connect, retry and share the link.
struct TransferSettings {
  // Seconds; 0: libcurl's default.
  int connectTimeout = 0;
  // Further rounds over the addresses after every one of them failed, and the pause
  // before each round in seconds.
  int retryCount = 0;
  int retryDelay = 0;
  TlsPolicy tls;
  // Transfers in flight at once and connections to a host (1: one after the other);
  // once a server answers over HTTP/2, more go at once as streams of its connection.
  int connections = 6;
  // Bytes per second over all transfers of a run; 0: no cap.
  std::int64_t maxRate = 0;
};

// One request as its owner sees it. Every call comes on the thread that runs the core.
class Transfer {
 public:
  enum class Verdict {
    Done,   // it succeeded
    Again,  // make the request once more at once, as part of the same attempt
    Retry,  // the attempt failed: next address, or after the pause, the next round
    Fail,   // it failed, and asking again would bring the same answer
    Stop,   // as Fail, and the other transfers of the run are stopped as well
  };

  virtual ~Transfer() = default;

  // The addresses to try, in order; the first one first in every round.
  std::vector<std::string> urls;

  // Asked before each request: false when the transfer has nothing left to ask (it
  // handed its work on to others), and then it ends as done.
  virtual bool Needed() { return true; }
  // Sets what is the request's own on `curl` (an easy handle, CURL is void) after the
  // shared options: a range, headers, a POST body. False: the transfer fails unasked.
  virtual bool Prepare(void* curl) = 0;
  // One header line of the answer, line end included; false aborts the request.
  virtual bool Header(std::string_view line) = 0;
  // Body bytes; false aborts the request.
  virtual bool Body(const char* data, std::size_t size) = 0;
  // libcurl's count of the body at hand; false aborts the request.
  virtual bool Progress(std::int64_t /*total*/, std::int64_t /*now*/) { return true; }
  // The request ended with libcurl's `code` (a CURLcode; the status is on `curl`); a
  // request stopped by a cancel or by another transfer's Stop comes here as well, and
  // what it returns then changes nothing.
  virtual Verdict Finish(void* curl, int code) = 0;
};

// Connections kept open from one run to the next, shared by the cores given the same
// pool: the version request's connection then carries the package's first requests as
// well, instead of a new one costing a round trip (two with TLS). The cores sharing a
// pool run one after the other, never at once.
class ConnectionPool {
 public:
  // Makes and destroys on one thread, with the cores and other pools of the process: the
  // first one initialises libcurl, the last one to go cleans it up.
  ConnectionPool();
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

 private:
  friend class TransferCore;

  // libcurl's CURLM, made by the first run with that core's bound on connections. The lock
  // keeps a cancel's wake-up from meeting it half made.
  std::mutex mutex_;
  void* multi_ = nullptr;
  // A server of the pool's answered over HTTP/2: more transfers go at once, as streams.
  bool multiplexed_ = false;
};

class TransferCore {
 public:
  // Without a pool the core keeps its connections to itself; a pool given outlives it.
  explicit TransferCore(TransferSettings settings, ConnectionPool* pool = nullptr);
  ~TransferCore();
  TransferCore(const TransferCore&) = delete;
  TransferCore& operator=(const TransferCore&) = delete;

  // Runs every transfer to its end on the calling thread; true when each ended Done.
  // One Run at a time.
  bool Run(const std::vector<Transfer*>& transfers);
  // Only from a transfer's own calls during Run: one more transfer for this Run, which
  // the caller keeps alive until Run returns.
  void Add(Transfer* transfer);
  // From any thread: the running Run ends within moments, and so does every later one
  // until Rearm.
  void Cancel();
  void Rearm();
  bool cancelled() const { return cancel_; }
  const TransferSettings& settings() const { return settings_; }

 private:
  struct Flight;
  class Runner;

  const TransferSettings settings_;
  // Its connections and TLS sessions serve every later Run: the one given, or its own.
  const std::unique_ptr<ConnectionPool> ownPool_;
  ConnectionPool* const pool_;
  Runner* runner_ = nullptr;
  std::atomic<bool> cancel_{false};
};

}  // namespace net
