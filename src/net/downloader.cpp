#include "net/downloader.h"

// CURLOPT_PROGRESSFUNCTION is deprecated in favour of CURLOPT_XFERINFOFUNCTION but still
// supported by every libcurl; this keeps its warning out of the build.
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <system_error>

#include "platform/codepage.h"
#include "platform/thread.h"

namespace {

constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.2)";
// libcurl hands over 16 KiB at a time; collecting more before each write to the file
// saves most of the system calls.
constexpr std::size_t kFileBufferSize = 256 * 1024;
// Longer chains are loops or a server leading the launcher on.
constexpr long kMaxRedirects = 10;

std::atomic<int> g_failingThreadStarts{0};

// Downloaders are made and destroyed on one thread in the launcher; the lock keeps the
// count right should that ever change.
std::mutex g_instanceMutex;
int g_instanceCount = 0;

struct EasyHandleDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

}  // namespace

CDownloader::CDownloader(CDownloaderCallback* callback, int connectTimeout, int retryCount, int retryDelay)
    : callback_(callback), connectTimeout_(connectTimeout), retryCount_(retryCount), retryDelay_(retryDelay) {
  std::lock_guard lock(g_instanceMutex);
  // A failed initialisation makes every transfer fail on its own.
  if (++g_instanceCount == 1) curl_global_init(CURL_GLOBAL_ALL);
}

CDownloader::~CDownloader() {
  Stop();
  std::lock_guard lock(g_instanceMutex);
  if (--g_instanceCount == 0) curl_global_cleanup();
}

void CDownloader::Start(const std::string& url, const std::string& filePath, const std::string& postData) {
  Stop();
  cancel_ = false;
  finished = false;
  succeeded = false;
  progress = 0.0;
  try {
    url_ = url;
    filePath_ = filePath;
    postData_ = postData;
    worker_ = StartWorker();
  } catch (...) {
    // No thread, or no memory for the addresses: the transfer fails before it began.
    Finish(false);
  }
}

void CDownloader::FailThreadStartsForTesting(int count) { g_failingThreadStarts = count; }

std::unique_ptr<std::thread> CDownloader::StartWorker() {
  if (g_failingThreadStarts > 0) {
    --g_failingThreadStarts;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  return std::make_unique<std::thread>(&CDownloader::Run, this);
}

void CDownloader::Stop() {
  if (!worker_) return;
  Cancel();
  worker_->join();
  worker_.reset();
}

void CDownloader::Cancel() {
  {
    // Under the lock, so that the retry pause cannot miss the change.
    std::lock_guard lock(cancelMutex_);
    cancel_ = true;
  }
  cancelSignal_.notify_all();
}

std::string CDownloader::GetContent() const { return memory_; }

void CDownloader::Run() noexcept {
  bool success = false;
  try {
    success = Transfer();
  } catch (...) {
    // Out of memory, most likely: the run ends as a failure.
  }
  Finish(success);
}

bool CDownloader::Transfer() {
  // At normal priority the transfer still works; only the window may stutter.
  platform::LowerCurrentThreadPriority();
  // One handle for all attempts. When it cannot be made, every libcurl call on it fails,
  // and so does every attempt.
  EasyHandle curl(curl_easy_init());
  SetOptions(curl.get());
  for (long long attempt = 0; attempt <= retryCount_; ++attempt) {
    if (RunAttempt(curl.get())) return true;
    if (cancel_ || !PauseBeforeRetry()) break;
  }
  return false;
}

void CDownloader::Finish(bool success) noexcept {
  succeeded = success;
  finished = true;
  if (!callback_) return;
  try {
    callback_->OnDownloadFinished(this);
  } catch (...) {
    // The transfer is over either way; there is no one left to tell.
  }
}

// An option that cannot be set (out of memory) leaves libcurl's default or fails the
// attempt, so the results are not looked at.
void CDownloader::SetOptions(void* curl) {
  curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout_));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CDownloader::WriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, &CDownloader::ProgressCallback);
  curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, this);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  // Refuses an announced length over the cap before any of the body arrives; Store
  // catches bodies of unknown length.
  if (filePath_.empty()) {
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxMemoryBody));
  }
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  // Certificates and host names are not verified: servers may use self-signed ones.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  if (!postData_.empty()) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postData_.c_str());
  }
}

bool CDownloader::RunAttempt(void* curl) {
  const bool fileMode = !filePath_.empty();
  if (fileMode) {
    file_ = platform::File::Create(platform::NarrowToWide(filePath_, platform::CodePage::Ansi),
                                   platform::kAttributeNormal, 0);
    // The body would have nowhere to go, so a transfer could not succeed.
    if (!file_.IsOpen()) return false;
    fileBuffer_.clear();
  } else {
    memory_.clear();
  }
  const CURLcode result = curl_easy_perform(curl);
  const bool written = !fileMode || FlushFile();
  if (fileMode) file_.Close();
  long status = 0;
  return result == CURLE_OK && written && curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
         status == 200;
}

bool CDownloader::PauseBeforeRetry() {
  std::unique_lock lock(cancelMutex_);
  return !cancelSignal_.wait_for(lock, std::chrono::seconds(retryDelay_), [this] { return cancel_.load(); });
}

bool CDownloader::Store(const char* data, std::size_t size) {
  if (filePath_.empty()) {
    // Written so that it cannot overflow: the buffer never holds more than the cap.
    if (size > kMaxMemoryBody - memory_.size()) return false;
    memory_.append(data, size);
    return true;
  }
  fileBuffer_.append(data, size);
  return fileBuffer_.size() < kFileBufferSize || FlushFile();
}

bool CDownloader::FlushFile() {
  const bool written = file_.Write(fileBuffer_.data(), static_cast<std::uint32_t>(fileBuffer_.size()));
  fileBuffer_.clear();
  return written;
}

void CDownloader::UpdateProgress(double total, double now) {
  // Whole percent, truncated: 0.999 is still 0.99, so 1.00 means every byte is there.
  const double value = total > 0 ? std::floor(now * 100.0 / total) / 100.0 : 0.0;
  if (value == progress) return;
  progress = value;
  callback_->OnDownloadProgress(this);
}

// Taking fewer bytes than offered makes libcurl abort the attempt with a write error.
std::size_t CDownloader::WriteCallback(char* data, std::size_t size, std::size_t count, void* downloader) noexcept {
  const std::size_t n = size * count;
  auto* self = static_cast<CDownloader*>(downloader);
  if (!self) return n;
  try {
    if (!self->Store(data, n) || self->cancel_) return 0;
    return n;
  } catch (...) {
    // No memory for the body: this attempt fails.
    return 0;
  }
}

// A non-zero result makes libcurl abort the attempt.
int CDownloader::ProgressCallback(void* downloader, double downloadTotal, double downloadNow, double,
                                  double) noexcept {
  auto* self = static_cast<CDownloader*>(downloader);
  if (!self) return 0;
  try {
    // libcurl calls this at least once a second in every phase, also while connecting or
    // while the peer sends nothing, so a cancel ends the transfer here promptly.
    if (self->cancel_) return 1;
    if (self->callback_) self->UpdateProgress(downloadTotal, downloadNow);
    return 0;
  } catch (...) {
    // The owner's notification threw: the attempt fails rather than let it cross libcurl.
    return 1;
  }
}
