#pragma once
// The settings an update works by, read from Setting.json by the application.
#include <cstdint>
#include <string>

#include "net/tls_policy.h"
#include "net/transfer_core.h"

// How each request connects and retries (DownloadTimeout, DownloadRetry,
// DownloadRetryDelay, VerifyTls), and how the requests of a run share the link
// (DownloadConnections, MaxDownloadRate).
struct ConnectionSettings {
  int timeout = 0;
  int retry = 0;
  int retryDelay = 0;
  net::TlsPolicy tls;
  int connections = 6;
  std::int64_t maxRate = 0;

  net::TransferSettings Transfers() const { return {timeout, retry, retryDelay, tls, connections, maxRate}; }
};

struct UpdateSettings {
  std::string baseDir;
  // IncrementalUpdate: only the entries that changed are fetched.
  bool incremental = false;
  // ReleasePublicKey: with one, entries fetched one by one count only when the signed
  // file list vouches for them.
  std::string releasePublicKey;
  ConnectionSettings connection;
};
