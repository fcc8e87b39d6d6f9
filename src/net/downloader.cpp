#include "net/downloader.h"

// CURLOPT_PROGRESSFUNCTION is deprecated in favour of CURLOPT_XFERINFOFUNCTION but still
// supported by every libcurl; this keeps its warning out of the build.
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>

#include <chrono>
#include <cmath>
#include <string_view>
#include <system_error>
#include <utility>

#include "net/part_file.h"
#include "net/request_options.h"
#include "net/transfer_log.h"
#include "platform/disk.h"
#include "platform/path.h"
#include "platform/proxy.h"
#include "platform/thread.h"

namespace {

// What libcurl reads from the socket at most at a time in file mode.
constexpr long kFileReceiveBuffer = 1024 * 1024;

std::atomic<int> g_failingThreadStarts{0};

// Downloaders are made and destroyed on one thread in the launcher; the lock keeps the
// count right should that ever change.
std::mutex g_instanceMutex;
int g_instanceCount = 0;

struct EasyHandleDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

long FinalStatus(CURL* curl) {
  long status = 0;
  return curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK ? status : 0;
}

// The folder part of a file path, separator included; "." for a bare name.
std::string FolderOf(const std::string& path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (platform::IsPathSeparator(static_cast<unsigned char>(path[i - 1]))) return path.substr(0, i);
  }
  return ".";
}

}  // namespace

void CDownloader::CurlSlistDeleter::operator()(curl_slist* list) const { curl_slist_free_all(list); }

CDownloader::CDownloader(CDownloaderCallback* callback, int connectTimeout, int retryCount, int retryDelay,
                         net::TlsPolicy tls)
    : callback_(callback),
      connectTimeout_(connectTimeout),
      retryCount_(retryCount),
      retryDelay_(retryDelay),
      tls_(tls) {
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
  bytesDone = 0;
  bytesTotal = -1;
  outOfSpace = false;
  lastStatus_ = 0;
  bodyRefused_ = false;
  try {
    url_ = url;
    filePath_ = filePath;
    postData_ = postData;
    expectedSize_ = std::exchange(nextExpectedSize_, -1);
    expectedHash_ = std::exchange(nextExpectedHash_, std::string());
    worker_ = StartWorker();
  } catch (...) {
    // No thread, or no memory for the addresses: the transfer fails before it began.
    Finish(false);
  }
}

void CDownloader::SetExpected(std::int64_t size, const std::string& sha256Hex) {
  nextExpectedSize_ = size;
  nextExpectedHash_ = sha256Hex;
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
  // The part is closed before the owner hears of the end.
  part_.reset();
  requestHeaders_.reset();
  Finish(success);
}

bool CDownloader::Transfer() {
  // At normal priority the transfer still works; only the window may stutter.
  platform::LowerCurrentThreadPriority();
  // One handle for all attempts. When it cannot be made, every libcurl call on it fails,
  // and so does every attempt.
  EasyHandle curl(curl_easy_init());
  SetOptions(curl.get());
  if (!filePath_.empty()) {
    part_ = std::make_unique<net::PartFile>(filePath_, url_, expectedSize_, expectedHash_);
    part_->Prepare();
    fullSize_ = expectedSize_;
  }
  for (long long attempt = 0; attempt <= retryCount_; ++attempt) {
    if (RunAttempt(curl.get())) return true;
    // Without room a retry would fail alike.
    if (outOfSpace || cancel_ || !PauseBeforeRetry()) break;
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
  net::ApplyRequestOptions(curl, url_, connectTimeout_, tls_);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CDownloader::WriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CDownloader::HeaderCallback);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, &CDownloader::ProgressCallback);
  curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, this);
  // Refuses an announced length over the cap before any of the body arrives; Store
  // catches bodies of unknown length.
  if (filePath_.empty()) {
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxMemoryBody));
  } else {
    // Larger reads from the socket: fewer system calls and callbacks per byte.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kFileReceiveBuffer);
  }
  if (!postData_.empty()) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postData_.c_str());
  }
}

bool CDownloader::RunAttempt(void* curl) {
  if (!filePath_.empty()) return RunFileAttempt(curl);
  memory_.clear();
  const CURLcode result = net::PerformLogged(curl);
  lastStatus_ = static_cast<int>(FinalStatus(curl));
  return result == CURLE_OK && lastStatus_ == 200;
}

bool CDownloader::RunFileAttempt(void* curl) {
  int result = PerformFileRequest(curl);
  if (body_ == Body::Restart && !cancel_) {
    // The server cannot continue the part as it was asked to, so the part is of no use.
    // The new request asks for the whole body: this happens once an attempt at most.
    part_->Discard();
    result = PerformFileRequest(curl);
  }
  const bool written = part_->EndAttempt();
  const long status = FinalStatus(curl);
  lastStatus_ = static_cast<int>(status);
  const bool whole = status == 200 || (status == 206 && bodyOffset_ > 0);
  const bool expecting = expectedSize_ >= 0 || !expectedHash_.empty();
  // A body that outgrew the expected size was cut by us, not by the server.
  bodyRefused_ = body_ == Body::Write && whole && expectedSize_ >= 0 && bodyOffset_ + bodyBytes_ > expectedSize_;
  if (result != CURLE_OK || !written || body_ != Body::Write || !whole) return false;
  if (part_->Commit(status == 206 ? response_.rangeTotal() : response_.contentLength())) return true;
  // The server's answer arrived whole, so what failed is its size or hash.
  bodyRefused_ = expecting;
  return false;
}

int CDownloader::PerformFileRequest(void* curl) {
  response_ = net::ResponseHeaders();
  body_ = Body::Pending;
  bodyOffset_ = 0;
  bodyBytes_ = 0;
  resumeFrom_ = part_->Resumable();
  std::unique_ptr<curl_slist, CurlSlistDeleter> headers;
  if (resumeFrom_ > 0) {
    headers.reset(curl_slist_append(nullptr, ("If-Range: " + part_->validator()).c_str()));
    // A range without its validator could continue other content.
    if (!headers) resumeFrom_ = 0;
  }
  const std::string range = std::to_string(resumeFrom_) + "-";
  curl_easy_setopt(curl, CURLOPT_RANGE, resumeFrom_ > 0 ? range.c_str() : nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  requestHeaders_ = std::move(headers);
  const CURLcode result = net::PerformLogged(curl);
  // A body of no bytes never reaches the write callback.
  if (result == CURLE_OK && body_ == Body::Pending) BeginBody();
  return result;
}

void CDownloader::BeginBody() {
  const int status = response_.status();
  const bool resuming = resumeFrom_ > 0;
  if (resuming && status == 206 && response_.rangeStart() == resumeFrom_) {
    bodyOffset_ = resumeFrom_;
    body_ = Body::Write;
  } else if (resuming && (status == 206 || status == 416)) {
    body_ = Body::Restart;
    return;
  } else if (resuming && status != 200) {
    body_ = Body::Skip;
    return;
  } else {
    // A 200 is the whole content, whatever was asked for. Another answer's body is kept
    // too, as it always was, but it is nothing to resume.
    body_ = part_->StartOver(status == 200 ? response_.Validator() : std::string()) ? Body::Write : Body::Refuse;
  }
  if (body_ != Body::Write || (status != 200 && status != 206)) return;
  if (expectedSize_ < 0) fullSize_ = status == 206 ? response_.rangeTotal() : response_.contentLength();
  if (!HasRoomForTheRest()) {
    outOfSpace = true;
    part_->Discard();
    body_ = Body::Refuse;
  }
}

bool CDownloader::HasRoomForTheRest() const {
  const std::int64_t rest = fullSize_ - bodyOffset_;
  std::uint64_t free = 0;
  // When the size or the room is not known, the writes find out.
  return fullSize_ < 0 || rest <= 0 || !platform::FreeDiskSpace(FolderOf(filePath_), &free) ||
         static_cast<std::uint64_t>(rest) <= free;
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
  if (body_ == Body::Pending) BeginBody();
  if (body_ == Body::Skip) return true;
  if (body_ != Body::Write) return false;
  bodyBytes_ += static_cast<std::int64_t>(size);
  return part_->Append(data, size);
}

void CDownloader::UpdateProgress(double total, double now) {
  // libcurl counts the body at hand; a resumed one starts after the bytes in the part.
  // Until it arrives, and while an error page arrives, the bytes in the part show.
  const bool counting = filePath_.empty() || body_ == Body::Write;
  const double done = counting ? static_cast<double>(bodyOffset_) + now : static_cast<double>(resumeFrom_);
  const double whole = counting ? (total > 0 ? static_cast<double>(bodyOffset_) + total : 0.0)
                                : static_cast<double>(fullSize_);
  bytesDone = static_cast<std::int64_t>(done);
  bytesTotal = whole > 0 ? static_cast<std::int64_t>(whole) : -1;
  // Whole percent, truncated: 0.999 is still 0.99, so 1.00 means every byte is there.
  const double value = whole > 0 ? std::floor(done * 100.0 / whole) / 100.0 : 0.0;
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

// Taking fewer bytes than offered makes libcurl abort the attempt.
std::size_t CDownloader::HeaderCallback(char* data, std::size_t size, std::size_t count, void* downloader) noexcept {
  const std::size_t n = size * count;
  auto* self = static_cast<CDownloader*>(downloader);
  if (!self) return n;
  try {
    self->response_.ReadLine(std::string_view(data, n));
    return n;
  } catch (...) {
    // No memory for a header's value: this attempt fails.
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
