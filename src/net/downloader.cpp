#include "net/downloader.h"

#include <curl/curl.h>

#include <algorithm>
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
// The smallest range a download is split into: below it another request's round trip
// costs more than it saves.
constexpr std::int64_t kMinSegment = 1024 * 1024;

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

// How many of `size` bytes fit into the `room` left of a range.
std::size_t Fitting(std::size_t size, std::int64_t room) {
  return static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(size), room));
}

// Splits `spans` until there are `count` of them or none is worth splitting.
std::vector<net::ByteSpan> SplitSpans(std::vector<net::ByteSpan> spans, std::size_t count) {
  while (spans.size() < count) {
    const auto longest = std::max_element(spans.begin(), spans.end(), [](const auto& a, const auto& b) {
      return a.end - a.start < b.end - b.start;
    });
    if (longest == spans.end() || longest->end - longest->start < 2 * kMinSegment) break;
    const std::int64_t middle = longest->start + (longest->end - longest->start) / 2;
    const net::ByteSpan second{middle, longest->end};
    longest->end = middle;
    spans.insert(longest + 1, second);
  }
  return spans;
}

}  // namespace

// Asks for its range under If-Range, so that only the same content continues the part;
// a cut answer keeps what arrived and the retry asks for the rest.
class CDownloader::Segment final : public net::Transfer {
 public:
  Segment(CDownloader& owner, std::int64_t start, std::int64_t end) : owner_(owner), position_(start), end_(end) {
    urls = owner.urls;
  }

 private:
  bool Prepare(void* curl) override {
    response_ = net::ResponseHeaders();
    checked_ = false;
    headers_.reset(curl_slist_append(nullptr, ("If-Range: " + owner_.part_->validator()).c_str()));
    if (!headers_) return false;
    const std::string range = std::to_string(position_) + "-" + std::to_string(end_ - 1);
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kFileReceiveBuffer);
    return true;
  }

  bool Header(std::string_view line) override {
    response_.ReadLine(line);
    return true;
  }

  bool Body(const char* data, std::size_t size) override {
    if (!checked_ && !Check()) return false;
    const std::size_t n = Fitting(size, end_ - position_);
    if (!owner_.part_->WriteAt(position_, data, n)) return false;
    position_ += static_cast<std::int64_t>(n);
    owner_.ShowSegmentProgress();
    return n == size;
  }

  Verdict Finish(void* curl, int code) override {
    owner_.lastStatus_ = static_cast<int>(FinalStatus(curl));
    if (position_ == end_) return Verdict::Done;
    // An answer of no body still says whether the range was served.
    if (code == CURLE_OK && !checked_) Check();
    if (owner_.segmentsRefused_ || owner_.core_.cancelled()) return Verdict::Stop;
    // The part can take no more: every other range would fail alike.
    if (owner_.part_->broken()) return Verdict::Stop;
    return Verdict::Retry;
  }

  // Whether the answer continues this range of the same content. A 200 (the whole
  // content: If-Range did not match, or ranges are not served), another range or
  // validator, or a 416 ends the segmenting; an error page is only a failed attempt.
  bool Check() {
    const int status = response_.status();
    const bool same = status == 206 && response_.rangeStart() == position_ &&
                      (response_.Validator().empty() || response_.Validator() == owner_.part_->validator());
    if (same) {
      checked_ = true;
      return true;
    }
    if (status == 200 || status == 206 || status == 416) owner_.segmentsRefused_ = true;
    return false;
  }

  CDownloader& owner_;
  std::int64_t position_;
  const std::int64_t end_;
  bool checked_ = false;
  net::ResponseHeaders response_;
  std::unique_ptr<curl_slist, CurlSlistDeleter> headers_;
};

void CDownloader::CurlSlistDeleter::operator()(curl_slist* list) const { curl_slist_free_all(list); }

CDownloader::CDownloader(CDownloaderCallback* callback, int connectTimeout, int retryCount, int retryDelay,
                         net::TlsPolicy tls)
    : CDownloader(callback, net::TransferSettings{connectTimeout, retryCount, retryDelay, tls}) {}

CDownloader::CDownloader(CDownloaderCallback* callback, const net::TransferSettings& settings,
                         net::ConnectionPool* pool)
    : callback_(callback), core_(settings, pool) {}

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
  pieceEnd_ = -1;
  segmentsRefused_ = false;
  segmentsAllowed_ = postData_.empty() && core_.settings().connections > 1;
  restarted_ = false;
  if (!filePath_.empty()) {
    part_ = std::make_unique<net::PartFile>(filePath_, url_, expectedSize_, expectedHash_);
    part_->Prepare();
    fullSize_ = expectedSize_;
    if (part_->segmented()) return ResumeSegments();
  }
  const bool succeeded = core_.Run({this});
  return part_ && part_->segmented() ? EndSegments(succeeded) : succeeded;
}

bool CDownloader::ResumeSegments() {
  fullSize_ = part_->segmentSize();
  if (!HasRoomFor(fullSize_ - part_->HeldBytes())) {
    outOfSpace = true;
    part_->Discard();
    return false;
  }
  const auto connections = static_cast<std::size_t>(std::max(1, core_.settings().connections));
  std::vector<net::Transfer*> transfers;
  for (const net::ByteSpan& span : SplitSpans(part_->Missing(), connections)) {
    segments_.push_back(std::make_unique<Segment>(*this, span.start, span.end));
    transfers.push_back(segments_.back().get());
  }
  return EndSegments(core_.Run(transfers));
}

bool CDownloader::EndSegments(bool succeeded) {
  segments_.clear();
  pieceEnd_ = -1;
  if (segmentsRefused_ && !core_.cancelled()) {
    // Nothing of the part is known to be of the content the server has now.
    part_->Discard();
    segmentsRefused_ = false;
    segmentsAllowed_ = false;
    restarted_ = false;
    const bool again = core_.Run({this});
    return part_->segmented() ? EndSegments(again) : again;
  }
  if (!succeeded) {
    part_->SaveRecord();
    return false;
  }
  if (part_->Commit(fullSize_)) return true;
  // Every range arrived whole, so what failed is the size or the hash.
  bodyRefused_ = expectedSize_ >= 0 || !expectedHash_.empty();
  return false;
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
  if (pieceEnd_ >= 0) {
    lastStatus_ = static_cast<int>(FinalStatus(curl));
    // A stop or cancel of the run is no reason to ask again.
    if (code == CURLE_ABORTED_BY_CALLBACK || core_.cancelled() || segmentsRefused_) return Verdict::Fail;
    if (piecePosition_ < pieceEnd_) HandOver(piecePosition_, pieceEnd_);
    return Verdict::Done;
  }
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
  if (!HasRoomFor(fullSize_ < 0 ? -1 : fullSize_ - bodyOffset_)) {
    outOfSpace = true;
    part_->Discard();
    body_ = Destination::Refuse;
    return;
  }
  if (CanSegment()) SplitRest();
}

bool CDownloader::HasRoomFor(std::int64_t rest) const {
  std::uint64_t free = 0;
  // When the size or the room is not known, the writes find out.
  return rest <= 0 || !platform::FreeDiskSpace(FolderOf(filePath_), &free) || static_cast<std::uint64_t>(rest) <= free;
}

// A range of one content needs a strong ETag that the part is recorded under; a 200
// must also say that ranges are answered, a 206 has shown it.
bool CDownloader::CanSegment() const {
  const int status = response_.status();
  return segmentsAllowed_ && fullSize_ >= 0 && fullSize_ - bodyOffset_ >= 2 * kMinSegment &&
         (status == 206 || (status == 200 && response_.acceptsRanges())) && response_.HasStrongEtag() &&
         response_.Validator() == part_->validator() &&
         (status == 200 ? response_.contentLength() : response_.rangeTotal()) == fullSize_;
}

void CDownloader::SplitRest() {
  // Without a record of the spans a later run could not tell what the part holds.
  if (!net::IsRecordableValidator(part_->validator()) || !part_->BeginSegments(fullSize_)) return;
  const auto connections = static_cast<std::size_t>(core_.settings().connections);
  const auto pieces = SplitSpans({{bodyOffset_, fullSize_}}, connections);
  piecePosition_ = bodyOffset_;
  pieceEnd_ = pieces.front().end;
  for (std::size_t i = 1; i < pieces.size(); ++i) HandOver(pieces[i].start, pieces[i].end);
}

void CDownloader::HandOver(std::int64_t start, std::int64_t end) {
  segments_.push_back(std::make_unique<Segment>(*this, start, end));
  core_.Add(segments_.back().get());
}

void CDownloader::ShowSegmentProgress() {
  if (!callback_) return;
  const std::int64_t held = part_->HeldBytes();
  bytesDone = held;
  bytesTotal = fullSize_;
  const double value =
      fullSize_ > 0 ? std::floor(static_cast<double>(held) * 100.0 / static_cast<double>(fullSize_)) / 100.0 : 0.0;
  if (value == progress) return;
  progress = value;
  callback_->OnDownloadProgress(this);
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
  if (pieceEnd_ < 0) return part_->Append(data, size);
  // Bytes past this request's range belong to another segment: the request ends there.
  const std::size_t n = Fitting(size, pieceEnd_ - piecePosition_);
  if (!part_->WriteAt(piecePosition_, data, n)) return false;
  piecePosition_ += static_cast<std::int64_t>(n);
  return n == size;
}

void CDownloader::UpdateProgress(double total, double now) {
  if (pieceEnd_ >= 0) return ShowSegmentProgress();
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
