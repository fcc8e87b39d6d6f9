#include "update/range_fetcher.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "net/request_options.h"
#include "net/transfer_log.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/thread.h"

namespace {

constexpr char kPieceSuffix[] = ".piece";
// Bytes gathered before a piece's file is written to.
constexpr std::size_t kWriteBatch = 256 * 1024;

struct EasyHandleDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};


// The offset a piece's file name stands for; false for any other name.
bool PieceOffset(const std::string& name, std::uint64_t* offset) {
  const std::size_t digits = name.size() - std::min(name.size(), sizeof kPieceSuffix - 1);
  if (digits == 0 || digits > 19 || name.compare(digits, std::string::npos, kPieceSuffix) != 0) return false;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(name[i] - '0');
  }
  *offset = value;
  return true;
}

std::uint64_t FileSize(const std::string& path) {
  std::uint64_t size = 0;
  return platform::QueryFileSize(path, &size) ? size : 0;
}

}  // namespace

namespace update {

std::string PiecePath(const std::string& folder, std::uint64_t offset) {
  return folder + platform::PathSeparator() + std::to_string(offset) + kPieceSuffix;
}

std::vector<ByteRange> HeldPieces(const std::string& folder) {
  std::vector<ByteRange> held;
  platform::FolderSearch search;
  if (!search.Open(platform::NativePath::FromAnsi(folder))) return held;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    if (entry.isFolder || entry.isLink) continue;
    const std::string name = entry.name.ToUtf8();
    ByteRange piece;
    if (!PieceOffset(name, &piece.offset)) continue;
    piece.length = FileSize(PiecePath(folder, piece.offset));
    if (piece.length > 0) held.push_back(piece);
  }
  std::sort(held.begin(), held.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  return held;
}

std::vector<ByteRange> MissingRanges(const std::vector<ByteRange>& wanted, const std::vector<ByteRange>& held) {
  std::vector<ByteRange> missing;
  for (const ByteRange& range : wanted) {
    std::uint64_t at = range.offset;
    const std::uint64_t end = range.offset + range.length;
    for (const ByteRange& piece : held) {
      if (at >= end) break;
      const std::uint64_t pieceEnd = piece.offset + piece.length;
      if (pieceEnd <= at || piece.offset >= end) continue;
      if (piece.offset > at) missing.push_back({at, piece.offset - at});
      at = std::max(at, pieceEnd);
    }
    if (at < end) missing.push_back({at, end - at});
  }
  return missing;
}

}  // namespace update

// The open piece file of the current request, written in batches.
struct CRangeFetcher::Sink {
  platform::File file;
  std::string buffer;
  bool failed = false;

  bool Flush() {
    if (!buffer.empty() && !failed) failed = !file.Write(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    buffer.clear();
    return !failed;
  }
};

CRangeFetcher::CRangeFetcher(CRangeFetcherCallback* callback, int connectTimeout, int retryCount, int retryDelay,
                             net::TlsPolicy tls)
    : callback_(callback),
      connectTimeout_(connectTimeout),
      retryCount_(retryCount),
      retryDelay_(retryDelay),
      tls_(tls) {
  // libcurl counts its initialisations: this pairs with the cleanup in the destructor.
  curl_global_init(CURL_GLOBAL_ALL);
}

CRangeFetcher::~CRangeFetcher() {
  Stop();
  curl_global_cleanup();
}

void CRangeFetcher::StartTail(const std::string& url, std::uint64_t length) {
  Stop();
  url_ = url;
  expectedValidator_.clear();
  ranges_.clear();
  folder_.clear();
  tailMode_ = true;
  tailLength_ = length;
  Launch();
}

void CRangeFetcher::Start(const std::string& url, const std::string& validator, std::uint64_t totalSize,
                          std::vector<update::ByteRange> ranges, const std::string& folder) {
  Stop();
  url_ = url;
  expectedValidator_ = validator;
  totalSize_ = totalSize;
  ranges_ = std::move(ranges);
  folder_ = folder;
  tailMode_ = false;
  Launch();
}

void CRangeFetcher::Launch() {
  cancel_ = false;
  finished = false;
  succeeded = false;
  progress = 0.0;
  rangesRefused_ = answerRefused_ = false;
  tail_.clear();
  requestCount_ = receivedBytes_ = fetched_ = toFetch_ = 0;
  try {
    worker_ = std::make_unique<std::thread>(&CRangeFetcher::Run, this);
  } catch (...) {
    // No thread: the run fails before it began.
    finished = true;
  }
}

void CRangeFetcher::Stop() {
  if (!worker_) return;
  {
    std::lock_guard lock(cancelMutex_);
    cancel_ = true;
  }
  cancelSignal_.notify_all();
  worker_->join();
  worker_.reset();
}

void CRangeFetcher::Run() noexcept {
  bool success = false;
  try {
    success = Transfer();
  } catch (...) {
    // Out of memory, most likely: the run ends as a failure.
  }
  sink_.reset();
  succeeded = success;
  finished = true;
}

bool CRangeFetcher::Transfer() {
  platform::LowerCurrentThreadPriority();
  // A line end in it would add a header of the server's choosing to every request.
  if (net::HasControlCharacter(expectedValidator_)) {
    answerRefused_ = true;
    return false;
  }
  if (!tailMode_) {
    for (const update::ByteRange& range : update::MissingRanges(ranges_, update::HeldPieces(folder_))) {
      toFetch_ += range.length;
    }
  }
  // One handle for every request, so that they share the connection.
  EasyHandle curl(curl_easy_init());
  if (!curl) return false;
  for (int attempt = 0; attempt <= retryCount_; ++attempt) {
    if (RunAttempt(curl.get())) return true;
    if (rangesRefused_) return tailMode_;
    // Asking again would bring the same wrong answer.
    if (answerRefused_ || cancel_ || !PauseBeforeRetry()) break;
  }
  return false;
}

bool CRangeFetcher::RunAttempt(void* curl) {
  if (tailMode_) return Request(curl, {0, tailLength_}, true);
  for (const update::ByteRange& range : update::MissingRanges(ranges_, update::HeldPieces(folder_))) {
    if (cancel_ || !Request(curl, range, false)) return false;
  }
  return true;
}

bool CRangeFetcher::Request(void* curl, const update::ByteRange& range, bool suffix) {
  current_ = range;
  response_ = net::ResponseHeaders();
  bodyStarted_ = bodyAccepted_ = false;
  bodyLength_ = bodyReceived_ = 0;
  if (suffix) tail_.clear();
  // "-N" asks for the last N bytes, "A-B" for bytes A to B.
  std::string rangeText = suffix ? std::string() : std::to_string(range.offset);
  rangeText += '-';
  rangeText += std::to_string(suffix ? range.length : range.offset + range.length - 1);
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  if (!expectedValidator_.empty()) {
    headers.reset(curl_slist_append(nullptr, ("If-Range: " + expectedValidator_).c_str()));
    if (!headers) return false;
  }
  net::ApplyRequestOptions(curl, url_, connectTimeout_, tls_);
  curl_easy_setopt(curl, CURLOPT_RANGE, rangeText.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CRangeFetcher::WriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CRangeFetcher::HeaderCallback);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CRangeFetcher::ProgressCallback);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  ++requestCount_;
  const CURLcode code = net::PerformLogged(curl);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  // An answer without a body never reached the write callback.
  if (code == CURLE_OK && !bodyStarted_) BeginBody();
  // The server ended the body itself short of its range (a longer one is refused in Store).
  if (code == CURLE_OK && bodyAccepted_ && bodyReceived_ != bodyLength_) answerRefused_ = true;
  bool whole = code == CURLE_OK && bodyAccepted_ && !answerRefused_;
  if (answerRefused_) tail_.clear();
  if (sink_) {
    // A piece cut short keeps what arrived; one that never began is no piece, and
    // nothing of a refused answer stays.
    const bool keep = bodyReceived_ > 0 && !answerRefused_;
    whole = keep && sink_->Flush() && whole;
    sink_.reset();
    if (!keep) platform::RemoveFile(update::PiecePath(folder_, range.offset));
  }
  return whole;
}

// The first body bytes of an answer: a partial answer for exactly the asked range goes
// on; a whole answer means the server ignores ranges or the resource changed; another
// status is a failed attempt.
bool CRangeFetcher::BeginBody() {
  bodyStarted_ = true;
  if (response_.status() == 200) {
    rangesRefused_ = true;
    return false;
  }
  if (response_.status() != 206) return false;
  if (!AnswersTheRequest()) {
    answerRefused_ = true;
    return false;
  }
  const auto start = static_cast<std::uint64_t>(response_.rangeStart());
  bodyLength_ = static_cast<std::uint64_t>(response_.rangeEnd()) + 1 - start;
  if (tailMode_) tailOffset_ = start;
  totalSize_ = static_cast<std::uint64_t>(response_.rangeTotal());
  validator_ = response_.Validator();
  if (!tailMode_) {
    auto sink = std::make_unique<Sink>();
    sink->file = platform::File::Create(platform::AnsiToWide(update::PiecePath(folder_, current_.offset)), 0, 0);
    if (!sink->file.IsOpen()) return false;
    sink_ = std::move(sink);
  }
  bodyAccepted_ = true;
  return true;
}

// A suffix of N bytes of a resource of T bytes is its last min(N, T) bytes.
bool CRangeFetcher::AnswersTheRequest() const {
  const std::int64_t start = response_.rangeStart();
  const std::int64_t end = response_.rangeEnd();
  const std::int64_t total = response_.rangeTotal();
  if (start < 0 || end < start || total <= end) return false;
  const auto size = static_cast<std::uint64_t>(total);
  const std::uint64_t first = tailMode_ ? size - std::min(tailLength_, size) : current_.offset;
  const std::uint64_t last = tailMode_ ? size - 1 : current_.offset + current_.length - 1;
  if (static_cast<std::uint64_t>(start) != first || static_cast<std::uint64_t>(end) != last) return false;
  if (!tailMode_ && size != totalSize_) return false;
  const std::string validator = response_.Validator();
  return !net::HasControlCharacter(validator) &&
         (validator.empty() || expectedValidator_.empty() || validator == expectedValidator_);
}

bool CRangeFetcher::Store(const char* data, std::size_t size) {
  if (!bodyStarted_ && !BeginBody()) return false;
  if (!bodyAccepted_) return false;
  if (size > bodyLength_ - bodyReceived_) {
    answerRefused_ = true;
    return false;
  }
  bodyReceived_ += size;
  receivedBytes_ += size;
  if (tailMode_) {
    tail_.append(data, size);
    return true;
  }
  sink_->buffer.append(data, size);
  if (sink_->buffer.size() >= kWriteBatch && !sink_->Flush()) return false;
  fetched_ += size;
  if (toFetch_ > 0) {
    progress = std::min(1.0, static_cast<double>(fetched_) / static_cast<double>(toFetch_));
    if (callback_) callback_->OnRangeFetchProgress(this);
  }
  return true;
}

bool CRangeFetcher::PauseBeforeRetry() {
  std::unique_lock lock(cancelMutex_);
  return !cancelSignal_.wait_for(lock, std::chrono::seconds(retryDelay_), [this] { return cancel_.load(); });
}

std::size_t CRangeFetcher::WriteCallback(char* data, std::size_t size, std::size_t count, void* fetcher) noexcept {
  auto* self = static_cast<CRangeFetcher*>(fetcher);
  try {
    return self->Store(data, size * count) ? size * count : 0;
  } catch (...) {
    return 0;
  }
}

std::size_t CRangeFetcher::HeaderCallback(char* data, std::size_t size, std::size_t count, void* fetcher) noexcept {
  auto* self = static_cast<CRangeFetcher*>(fetcher);
  try {
    self->response_.ReadLine(std::string_view(data, size * count));
    return size * count;
  } catch (...) {
    return 0;
  }
}

int CRangeFetcher::ProgressCallback(void* fetcher, std::int64_t, std::int64_t, std::int64_t, std::int64_t) noexcept {
  // Called at least once a second in every phase: a cancel ends the request here.
  return static_cast<CRangeFetcher*>(fetcher)->cancel_ ? 1 : 0;
}
