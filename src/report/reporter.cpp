#include "report/reporter.h"

#include <algorithm>
#include <thread>

#include "net/downloader.h"
#include "platform/diagnostics.h"
#include "platform/os.h"

namespace {

// Report requests are small: a short connection timeout, and three attempts at most.
constexpr int kConnectTimeout = 5;
constexpr int kRetryCount = 2;
constexpr int kRetryDelay = 3;

constexpr std::chrono::milliseconds kTeardownPoll{10};

bool IsUnreserved(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
         byte == '-' || byte == '_' || byte == '.' || byte == '~';
}

}  // namespace

CReporter::CReporter(const std::string& baseAddress, int platformId, const std::string& device,
                     const std::string& version, net::TlsPolicy tls)
    : baseAddress_(baseAddress), platformId_(platformId), device_(device), version_(version), tls_(tls) {}

CReporter::~CReporter() {
  // The last report of a run is made just before the launcher quits; let it reach the
  // endpoint, but never hold up the exit for long whatever the endpoint does.
  const auto deadline = std::chrono::steady_clock::now() + kTeardownGrace;
  while (!Idle() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kTeardownPoll);
  // Cancel all before joining any, so that the waits overlap.
  for (const auto& downloader : pool_) downloader->Cancel();
  pool_.clear();
}

void CReporter::Report(int reason, const std::string& remark1, const std::string& remark2,
                       const std::string& remark3, const std::string& remark4) {
  try {
    CDownloader* downloader = AcquireDownloader();
    const std::string url = BuildUrl(reason, remark1, remark2, remark3, remark4);
    platform::DebugOutput(url);
    downloader->Start(url, "", "");
  } catch (...) {
    // No memory for the request: reports never change the launch, so this one is dropped.
  }
}

bool CReporter::Idle() const {
  return std::all_of(pool_.begin(), pool_.end(), [](const auto& downloader) { return downloader->finished.load(); });
}

CDownloader* CReporter::AcquireDownloader() {
  for (const auto& downloader : pool_) {
    if (downloader->finished) return downloader.get();
  }
  pool_.push_back(std::make_unique<CDownloader>(nullptr, kConnectTimeout, kRetryCount, kRetryDelay, tls_));
  return pool_.back().get();
}

std::string CReporter::BuildUrl(int reason, const std::string& remark1, const std::string& remark2,
                                const std::string& remark3, const std::string& remark4) const {
  // The user name and the version are encoded too: "&", "#" or a space in them would
  // otherwise corrupt the query or make the request fail.
  return baseAddress_ + "?platformId=" + std::to_string(platformId_) + "&os=" + platform::OsName() +
         "&device=" + UrlEncode(device_) + "&version=" + UrlEncode(version_) + "&reason=" + std::to_string(reason) +
         "&remark1=" + UrlEncode(remark1) + "&remark2=" + UrlEncode(remark2) + "&remark3=" + UrlEncode(remark3) +
         "&remark4=" + UrlEncode(remark4);
}

std::string CReporter::UrlEncode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      result.push_back(c);
    } else if (byte == ' ') {
      result.push_back('+');
    } else {
      result.push_back('%');
      result.push_back(kHex[byte >> 4]);
      result.push_back(kHex[byte & 0x0F]);
    }
  }
  return result;
}
