#pragma once
// Fire-and-forget reports of what the launcher did: one HTTP GET per report, each on a
// pooled downloader's worker thread. Any answer delivers the report (its body is never
// read); only a transport failure or a 5xx is tried again, three attempts at most.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "net/tls_policy.h"

class CDownloader;

class CReporter {
 public:
  // How long the destructor lets requests still in flight reach the endpoint before it
  // cancels them. It returns about a second after this at the latest.
  static constexpr std::chrono::milliseconds kTeardownGrace{2000};

  // `tls` holds for every report request.
  CReporter(const std::string& baseAddress, int platformId, const std::string& device, const std::string& version,
            net::TlsPolicy tls = {});
  // Waits up to kTeardownGrace for requests in flight, then cancels the rest.
  virtual ~CReporter();
  CReporter(const CReporter&) = delete;
  CReporter& operator=(const CReporter&) = delete;

  // Starts one request and returns at once; never blocks on the network. A request that
  // cannot be made (no memory, no thread) is dropped.
  void Report(int reason, const std::string& remark1, const std::string& remark2, const std::string& remark3,
              const std::string& remark4);

  // Bytes other than letters, digits and "-_.~" as %XX (uppercase), a space as "+".
  static std::string UrlEncode(const std::string& text);

  // Downloaders made so far; the pool never shrinks.
  std::size_t PoolSize() const { return pool_.size(); }
  // Whether no request is in flight or waiting for another attempt.
  bool Idle() const;

 private:
  class Delivery;

  // The first finished delivery of the pool, or a new one when all are busy.
  Delivery* AcquireDelivery();
  std::string BuildUrl(int reason, const std::string& remark1, const std::string& remark2,
                       const std::string& remark3, const std::string& remark4) const;

  const std::string baseAddress_;
  const int platformId_;
  const std::string device_;
  const std::string version_;
  const net::TlsPolicy tls_;
  std::vector<std::unique_ptr<Delivery>> pool_;
};
