#include "report/reporter.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
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

// One report's attempts. The first starts on the caller's thread; when it needs another,
// a thread of the delivery's own waits the delay and starts it, so Report never blocks.
class CReporter::Delivery : public CDownloaderCallback {
 public:
  explicit Delivery(net::TlsPolicy tls) : downloader_(this, kConnectTimeout, 0, 0, tls) {}
  ~Delivery() override {
    Cancel();
    if (retrier_.joinable()) retrier_.join();
    // Before the members go: the worker's last step calls back into this object.
    downloader_.Stop();
  }
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Only on an idle delivery.
  void Begin(const std::string& url) {
    if (retrier_.joinable()) retrier_.join();
    url_ = url;
    {
      std::lock_guard lock(mutex_);
      cancelled_ = false;
    }
    if (!StartAttempt()) return;
    busy_ = true;
    try {
      retrier_ = std::thread(&Delivery::Retry, this);
    } catch (...) {
      // No thread for the retries: the first attempt is the only one.
      busy_ = false;
    }
  }

  bool Idle() const { return !busy_ && downloader_.finished; }

  // No further attempt; the one in flight ends within about a second.
  void Cancel() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
    downloader_.Cancel();
  }

 private:
  void OnDownloadFinished(CDownloader* /*downloader*/) override {
    // Start calls back on its own thread only when it found no worker thread.
    if (std::this_thread::get_id() == startingThread_) noWorker_ = true;
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
  }

  // False when no worker could start: the report is dropped.
  bool StartAttempt() {
    startingThread_ = std::this_thread::get_id();
    noWorker_ = false;
    downloader_.Start(url_, "", "");
    startingThread_ = std::thread::id();
    // A Cancel between the check before Start and Start itself was undone by Start.
    if (cancelled_) downloader_.Cancel();
    return !noWorker_;
  }

  // An answer of any status delivers the report; the endpoint may answer anything.
  bool Delivered() const {
    const int status = downloader_.lastStatus();
    return status > 0 && status < 500;
  }

  // The thread's entry: its end is the delivery's end.
  void Retry() noexcept {
    try {
      for (int retry = 0; retry < kRetryCount; ++retry) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return cancelled_ || downloader_.finished; });
        if (cancelled_ || Delivered()) break;
        if (changed_.wait_for(lock, std::chrono::seconds(kRetryDelay), [this] { return cancelled_.load(); })) break;
        // The worker's end takes this lock, and Start waits for that end.
        lock.unlock();
        if (!StartAttempt()) break;
      }
    } catch (...) {
      // Nothing here allocates; should anything fail, the attempts end here.
    }
    busy_ = false;
  }

  CDownloader downloader_;
  std::string url_;
  std::thread retrier_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> noWorker_{false};
  std::atomic<std::thread::id> startingThread_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  // Written under mutex_ so that no wait misses it.
  std::atomic<bool> cancelled_{false};
};

CReporter::CReporter(const std::string& baseAddress, int platformId, const std::string& device,
                     const std::string& version, net::TlsPolicy tls)
    : baseAddress_(baseAddress), platformId_(platformId), device_(device), version_(version), tls_(tls) {}

CReporter::~CReporter() {
  // The last report of a run is made just before the launcher quits; let it reach the
  // endpoint, but never hold up the exit for long whatever the endpoint does.
  const auto deadline = std::chrono::steady_clock::now() + kTeardownGrace;
  while (!Idle() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kTeardownPoll);
  // Cancel all before joining any, so that the waits overlap.
  for (const auto& delivery : pool_) delivery->Cancel();
  pool_.clear();
}

void CReporter::Report(int reason, const std::string& remark1, const std::string& remark2,
                       const std::string& remark3, const std::string& remark4) {
  try {
    Delivery* delivery = AcquireDelivery();
    const std::string url = BuildUrl(reason, remark1, remark2, remark3, remark4);
    platform::DebugOutput(url);
    delivery->Begin(url);
  } catch (...) {
    // No memory for the request: reports never change the launch, so this one is dropped.
  }
}

bool CReporter::Idle() const {
  return std::all_of(pool_.begin(), pool_.end(), [](const auto& delivery) { return delivery->Idle(); });
}

CReporter::Delivery* CReporter::AcquireDelivery() {
  for (const auto& delivery : pool_) {
    if (delivery->Idle()) return delivery.get();
  }
  pool_.push_back(std::make_unique<Delivery>(tls_));
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
