#include "net/downloader.h"

#include <curl/curl.h>

#include <cmath>
#include <system_error>
#include <utility>

#include "net/part_file.h"
#include "platform/disk.h"
#include "platform/path.h"
#include "platform/thread.h"

namespace {

// What libcurl reads from the socket at most at a time in file mode.
constexpr long kFileReceiveBuffer = 1024 * 1024;

std::atomic<int> g_failingThreadStarts{0};

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
    : CDownloader(callback, net::TransferSettings{connectTimeout, retryCount, retryDelay, tls}) {}

CDownloader::CDownloader(CDownloaderCallback* callback, const net::TransferSettings& settings)
    : callback_(callback), core_(settings) {}

CDownloader::~CDownloader() { Stop(); }

void CDownloader::Start(const std::string& url, const std::string& filePath, const std::string& postData) {
  Stop();
  core_.Rearm();
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
    urls.assign(1, url);
    urls.insert(urls.end(), nextMirrors_.begin(), nextMirrors_.end());
    nextMirrors_.clear();
    filePath_ = filePath;
    postData_ = postData;
    expectedSize_ = std::exchange(nextExpectedSize_, -1);
    expectedHash_ = std::exchange(nextExpectedHash_, std::string());
    worker_ = StartWorker();
  } catch (...) {
    // No thread, or no memory for the addresses: the transfer fails before it began.
    EndRun(false);
  }
}

void CDownloader::SetExpected(std::int64_t size, const std::string& sha256Hex) {
  nextExpectedSize_ = size;
  nextExpectedHash_ = sha256Hex;
}

void CDownloader::SetMirrors(std::vector<std::string> urls) { nextMirrors_ = std::move(urls); }

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

void CDownloader::Cancel() { core_.Cancel(); }

std::string CDownloader::GetContent() const { return memory_; }

void CDownloader::Run() noexcept {
  bool success = false;
  try {
    success = RunTransfer();
  } catch (...) {
    // Out of memory, most likely: the run ends as a failure.
  }
  // The part is closed before the owner hears of the end.
  part_.reset();
  requestHeaders_.reset();
  EndRun(success);
}

bool CDownloader::RunTransfer() {
  // At normal priority the transfer still works; only the window may stutter.
  platform::LowerCurrentThreadPriority();
  if (!filePath_.empty()) {
    part_ = std::make_unique<net::PartFile>(filePath_, url_, expectedSize_, expectedHash_);
    part_->Prepare();
    fullSize_ = expectedSize_;
  }
  restarted_ = false;
  return core_.Run({this});
}

void CDownloader::EndRun(bool success) noexcept {
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
bool CDownloader::Prepare(void* curl) {
  response_ = net::ResponseHeaders();
  if (filePath_.empty()) {
    memory_.clear();
    // Refuses an announced length over the cap before any of the body arrives; Store
    // catches bodies of unknown length.
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxMemoryBody));
  } else {
    // Larger reads from the socket: fewer system calls and callbacks per byte.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kFileReceiveBuffer);
    PrepareFileRequest(curl);
  }
  if (!postData_.empty()) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postData_.c_str());
  }
  return true;
}

void CDownloader::PrepareFileRequest(void* curl) {
  body_ = Destination::Pending;
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
  // libcurl keeps its own copy of the range text.
  curl_easy_setopt(curl, CURLOPT_RANGE, resumeFrom_ > 0 ? range.c_str() : nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  requestHeaders_ = std::move(headers);
}

bool CDownloader::Header(std::string_view line) {
  response_.ReadLine(line);
  return true;
}

bool CDownloader::Body(const char* data, std::size_t size) { return Store(data, size); }

bool CDownloader::Progress(std::int64_t total, std::int64_t now) {
  if (callback_) UpdateProgress(static_cast<double>(total), static_cast<double>(now));
  return true;
}

net::Transfer::Verdict CDownloader::Finish(void* curl, int code) {
  if (!filePath_.empty()) return FinishFileRequest(curl, code);
  lastStatus_ = static_cast<int>(FinalStatus(curl));
  return code == CURLE_OK && lastStatus_ == 200 ? Verdict::Done : Verdict::Retry;
}

net::Transfer::Verdict CDownloader::FinishFileRequest(void* curl, int code) {
  // A body of no bytes never reaches the write callback.
  if (code == CURLE_OK && body_ == Destination::Pending) BeginBody();
  if (body_ == Destination::Restart && !restarted_ && !core_.cancelled()) {
    // The server cannot continue the part as it was asked to, so the part is of no use.
    // The new request asks for the whole body: this happens once an attempt at most.
    part_->Discard();
    restarted_ = true;
    return Verdict::Again;
  }
  restarted_ = false;
  const bool written = part_->EndAttempt();
  const long status = FinalStatus(curl);
  lastStatus_ = static_cast<int>(status);
  const bool whole = status == 200 || (status == 206 && bodyOffset_ > 0);
  const bool expecting = expectedSize_ >= 0 || !expectedHash_.empty();
  // A body that outgrew the expected size was cut by us, not by the server.
  bodyRefused_ =
      body_ == Destination::Write && whole && expectedSize_ >= 0 && bodyOffset_ + bodyBytes_ > expectedSize_;
  // Without room a retry would fail alike.
  const Verdict failed = outOfSpace ? Verdict::Fail : Verdict::Retry;
  if (code != CURLE_OK || !written || body_ != Destination::Write || !whole) return failed;
  if (part_->Commit(status == 206 ? response_.rangeTotal() : response_.contentLength())) return Verdict::Done;
  // The server's answer arrived whole, so what failed is its size or hash.
  bodyRefused_ = expecting;
  return failed;
}

void CDownloader::BeginBody() {
  const int status = response_.status();
  const bool resuming = resumeFrom_ > 0;
  if (resuming && status == 206 && response_.rangeStart() == resumeFrom_) {
    bodyOffset_ = resumeFrom_;
    body_ = Destination::Write;
  } else if (resuming && (status == 206 || status == 416)) {
    body_ = Destination::Restart;
    return;
  } else if (resuming && status != 200) {
    body_ = Destination::Skip;
    return;
  } else {
    // A 200 is the whole content, whatever was asked for. Another answer's body is kept
    // too, as it always was, but it is nothing to resume.
    body_ = part_->StartOver(status == 200 ? response_.Validator() : std::string()) ? Destination::Write : Destination::Refuse;
  }
  if (body_ != Destination::Write || (status != 200 && status != 206)) return;
  if (expectedSize_ < 0) fullSize_ = status == 206 ? response_.rangeTotal() : response_.contentLength();
  if (!HasRoomForTheRest()) {
    outOfSpace = true;
    part_->Discard();
    body_ = Destination::Refuse;
  }
}

bool CDownloader::HasRoomForTheRest() const {
  const std::int64_t rest = fullSize_ - bodyOffset_;
  std::uint64_t free = 0;
  // When the size or the room is not known, the writes find out.
  return fullSize_ < 0 || rest <= 0 || !platform::FreeDiskSpace(FolderOf(filePath_), &free) ||
         static_cast<std::uint64_t>(rest) <= free;
}

bool CDownloader::Store(const char* data, std::size_t size) {
  if (filePath_.empty()) {
    // Written so that it cannot overflow: the buffer never holds more than the cap.
    if (size > kMaxMemoryBody - memory_.size()) return false;
    memory_.append(data, size);
    return true;
  }
  if (body_ == Destination::Pending) BeginBody();
  if (body_ == Destination::Skip) return true;
  if (body_ != Destination::Write) return false;
  bodyBytes_ += static_cast<std::int64_t>(size);
  return part_->Append(data, size);
}

void CDownloader::UpdateProgress(double total, double now) {
  // libcurl counts the body at hand; a resumed one starts after the bytes in the part.
  // Until it arrives, and while an error page arrives, the bytes in the part show.
  const bool counting = filePath_.empty() || body_ == Destination::Write;
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
