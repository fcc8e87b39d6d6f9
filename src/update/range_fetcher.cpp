#include "update/range_fetcher.h"

#include <curl/curl.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "net/byteranges.h"
#include "net/request_options.h"
#include "net/response_headers.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/thread.h"

namespace {

constexpr char kPieceSuffix[] = ".piece";
// Bytes gathered before a piece's file is written to.
constexpr std::size_t kWriteBatch = 256 * 1024;
// Ranges asked for in one request at most: the Range header stays short of the 8 KiB
// that common servers take.
constexpr std::size_t kMaxRangesPerRequest = 64;
// Bytes a batch carries before the next one goes on a connection of its own, so that a
// large update still spreads over the connections.
constexpr std::uint64_t kBatchBytes = 8 * 1024 * 1024;

// "A-B,C-D,..." for a Range header.
std::string RangeList(const std::vector<update::ByteRange>& ranges) {
  std::string text;
  for (const update::ByteRange& range : ranges) {
    if (!text.empty()) text += ',';
    text += std::to_string(range.offset) + '-' + std::to_string(range.offset + range.length - 1);
  }
  return text;
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Asks for `rangeText` and, with a validator, only if the resource is still the one it
// names; false when the header cannot be made.
bool SetRangeRequest(void* curl, const std::string& rangeText, const std::string& validator, HeaderList* headers) {
  headers->reset();
  if (!validator.empty()) {
    headers->reset(curl_slist_append(nullptr, ("If-Range: " + validator).c_str()));
    if (!*headers) return false;
  }
  curl_easy_setopt(curl, CURLOPT_RANGE, rangeText.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers->get());
  return true;
}

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

// One range of a run (or the tail): its requests, and the piece file its answer goes to.
class CRangeFetcher::Piece : public net::Transfer {
 public:
  Piece(CRangeFetcher& owner, update::ByteRange range) : owner_(owner), range_(range) {
    urls.push_back(owner.url_);
    urls.insert(urls.end(), owner.mirrors_.begin(), owner.mirrors_.end());
  }

  bool Prepare(void* curl) override {
    response_ = net::ResponseHeaders();
    bodyStarted_ = bodyAccepted_ = failed_ = false;
    bodyLength_ = bodyReceived_ = 0;
    if (owner_.tailMode_) owner_.tail_.clear();
    // "-N" asks for the last N bytes, "A-B" for bytes A to B.
    rangeText_ = owner_.tailMode_ ? std::string() : std::to_string(range_.offset);
    rangeText_ += '-';
    rangeText_ += std::to_string(owner_.tailMode_ ? owner_.tailLength_ : range_.offset + range_.length - 1);
    if (!SetRangeRequest(curl, rangeText_, owner_.expectedValidator_, &headers_)) return false;
    ++owner_.requestCount_;
    return true;
  }

  bool Header(std::string_view line) override {
    response_.ReadLine(line);
    return true;
  }

  bool Body(const char* data, std::size_t size) override {
    if (!bodyStarted_ && !BeginBody()) return false;
    if (!bodyAccepted_) return false;
    if (size > bodyLength_ - bodyReceived_) {
      owner_.Refused(false);
      refused_ = true;
      return false;
    }
    bodyReceived_ += size;
    if (owner_.tailMode_) {
      owner_.tail_.append(data, size);
    } else {
      buffer_.append(data, size);
      if (buffer_.size() >= kWriteBatch && !Flush()) return false;
    }
    owner_.Received(size, !owner_.tailMode_);
    return true;
  }

  Verdict Finish(void*, int code) override {
    // An answer without a body never reached Body.
    if (code == CURLE_OK && !bodyStarted_) BeginBody();
    // The server ended the body itself short of its range (a longer one is refused in Body).
    if (code == CURLE_OK && bodyAccepted_ && bodyReceived_ != bodyLength_) {
      owner_.Refused(false);
      refused_ = true;
    }
    bool whole = code == CURLE_OK && bodyAccepted_ && !refused_;
    if (refused_ && owner_.tailMode_) owner_.tail_.clear();
    if (file_.IsOpen()) {
      // A piece cut short keeps what arrived; one that never began is no piece, and
      // nothing of a refused answer stays.
      const bool keep = bodyReceived_ > 0 && !refused_;
      whole = keep && Flush() && whole;
      file_ = platform::File();
      if (!keep) platform::RemoveFile(update::PiecePath(owner_.folder_, range_.offset));
    }
    buffer_.clear();
    if (refused_) return Verdict::Stop;
    const bool held = !owner_.tailMode_ && bodyAccepted_ && bodyReceived_ > 0 && !failed_;
    if (held && owner_.callback_) owner_.callback_->OnPieceFetched(&owner_, {range_.offset, bodyReceived_});
    if (whole) return Verdict::Done;
    // The next attempt asks for what is still missing, into a piece of its own.
    if (!owner_.tailMode_ && bodyAccepted_) range_ = {range_.offset + bodyReceived_, range_.length - bodyReceived_};
    return Verdict::Retry;
  }

 private:
  // The first body bytes of an answer: a partial answer for exactly the asked range goes
  // on; a whole answer means the server ignores ranges or the resource changed; another
  // status is a failed attempt.
  bool BeginBody() {
    bodyStarted_ = true;
    if (response_.status() == 200) {
      owner_.Refused(true);
      refused_ = true;
      return false;
    }
    if (response_.status() != 206) return false;
    if (!AnswersTheRequest()) {
      owner_.Refused(false);
      refused_ = true;
      return false;
    }
    const auto start = static_cast<std::uint64_t>(response_.rangeStart());
    bodyLength_ = static_cast<std::uint64_t>(response_.rangeEnd()) + 1 - start;
    if (owner_.tailMode_) owner_.tailOffset_ = start;
    owner_.totalSize_ = static_cast<std::uint64_t>(response_.rangeTotal());
    owner_.validator_ = response_.Validator();
    if (!owner_.tailMode_) {
      file_ = platform::File::Create(platform::AnsiToWide(update::PiecePath(owner_.folder_, range_.offset)), 0, 0);
      if (!file_.IsOpen()) return false;
    }
    bodyAccepted_ = true;
    return true;
  }

  // A suffix of N bytes of a resource of T bytes is its last min(N, T) bytes.
  bool AnswersTheRequest() const {
    const std::int64_t start = response_.rangeStart();
    const std::int64_t end = response_.rangeEnd();
    const std::int64_t total = response_.rangeTotal();
    if (start < 0 || end < start || total <= end) return false;
    const auto size = static_cast<std::uint64_t>(total);
    const bool tail = owner_.tailMode_;
    const std::uint64_t first = tail ? size - std::min(owner_.tailLength_, size) : range_.offset;
    const std::uint64_t last = tail ? size - 1 : range_.offset + range_.length - 1;
    if (static_cast<std::uint64_t>(start) != first || static_cast<std::uint64_t>(end) != last) return false;
    if (!tail && size != owner_.totalSize_) return false;
    const std::string validator = response_.Validator();
    const std::string& expected = owner_.expectedValidator_;
    return !net::HasControlCharacter(validator) && (validator.empty() || expected.empty() || validator == expected);
  }

  bool Flush() {
    if (!buffer_.empty() && !failed_) failed_ = !file_.Write(buffer_.data(), static_cast<std::uint32_t>(buffer_.size()));
    buffer_.clear();
    return !failed_;
  }

  CRangeFetcher& owner_;
  update::ByteRange range_;
  std::string rangeText_;
  HeaderList headers_;
  net::ResponseHeaders response_;
  bool bodyStarted_ = false;
  bool bodyAccepted_ = false;
  bool refused_ = false;
  // The length of the accepted answer's range, and how much of it came.
  std::uint64_t bodyLength_ = 0;
  std::uint64_t bodyReceived_ = 0;
  // The open piece file, written in batches.
  platform::File file_;
  std::string buffer_;
  bool failed_ = false;
};

// Several ranges in one request, answered as multipart/byteranges where the server does
// so. Where it does not (a whole answer with the same validator, a 501, a single range),
// the fetcher asks one range a request from then on, and the batch hands its ranges on
// as pieces of their own.
class CRangeFetcher::Batch : public net::Transfer, private net::ByteRangesReader::Events {
 public:
  Batch(CRangeFetcher& owner, std::vector<update::ByteRange> ranges) : owner_(owner), ranges_(std::move(ranges)) {
    urls.push_back(owner.url_);
    urls.insert(urls.end(), owner.mirrors_.begin(), owner.mirrors_.end());
  }

  bool Needed() override {
    if (owner_.singleRanges_) HandOver();
    return !ranges_.empty();
  }

  bool Prepare(void* curl) override {
    response_ = net::ResponseHeaders();
    reader_.reset();
    bodyStarted_ = fallback_ = refused_ = failed_ = false;
    received_.assign(ranges_.size(), 0);
    written_.clear();
    current_ = kNone;
    rangeText_ = RangeList(ranges_);
    if (!SetRangeRequest(curl, rangeText_, owner_.expectedValidator_, &headers_)) return false;
    ++owner_.requestCount_;
    return true;
  }

  bool Header(std::string_view line) override {
    response_.ReadLine(line);
    return true;
  }

  bool Body(const char* data, std::size_t size) override {
    if (!bodyStarted_ && !BeginBody()) return false;
    if (!reader_) return false;
    if (reader_->Feed(std::string_view(data, size), *this)) return true;
    // Failed writes are no refusal; anything else the reader did not take is.
    if (!failed_) Refuse(false);
    return false;
  }

  Verdict Finish(void*, int code) override {
    if (code == CURLE_OK && !bodyStarted_) BeginBody();
    EndPart();
    if (refused_) {
      // Nothing of a refused answer stays.
      for (const std::uint64_t offset : written_) platform::RemoveFile(update::PiecePath(owner_.folder_, offset));
      return Verdict::Stop;
    }
    if (fallback_) {
      owner_.singleRanges_ = true;
      HandOver();
      return Verdict::Done;
    }
    // What came whole is done; a part cut short is asked for from where it ends.
    std::vector<update::ByteRange> rest;
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
      if (received_[i] == ranges_[i].length) continue;
      rest.push_back({ranges_[i].offset + received_[i], ranges_[i].length - received_[i]});
    }
    ranges_ = std::move(rest);
    failed_ = false;
    return ranges_.empty() ? Verdict::Done : Verdict::Retry;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  bool BeginBody() {
    bodyStarted_ = true;
    const int status = response_.status();
    const std::string validator = response_.Validator();
    const std::string& expected = owner_.expectedValidator_;
    const bool sameResource =
        !net::HasControlCharacter(validator) && (validator.empty() || expected.empty() || validator == expected);
    if (status == 200 && !sameResource) {
      // The package changed since its directory was read.
      Refuse(true);
      return false;
    }
    if (status == 200 || status == 501 || (status == 206 && response_.boundary().empty())) {
      fallback_ = true;
      return false;
    }
    if (status != 206) return false;
    if (!sameResource) {
      Refuse(false);
      return false;
    }
    owner_.validator_ = validator;
    reader_ = std::make_unique<net::ByteRangesReader>(response_.boundary());
    return true;
  }

  bool Part(std::int64_t first, std::int64_t last, std::int64_t total) override {
    EndPart();
    if (static_cast<std::uint64_t>(total) != owner_.totalSize_) return false;
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
      const update::ByteRange& range = ranges_[i];
      if (range.offset != static_cast<std::uint64_t>(first) || received_[i] != 0 ||
          range.offset + range.length - 1 != static_cast<std::uint64_t>(last)) {
        continue;
      }
      file_ = platform::File::Create(platform::AnsiToWide(update::PiecePath(owner_.folder_, range.offset)), 0, 0);
      failed_ = !file_.IsOpen();
      if (failed_) return false;
      written_.push_back(range.offset);
      current_ = i;
      return true;
    }
    // A part for bytes not asked, or asked twice.
    return false;
  }

  bool Data(const char* data, std::size_t size) override {
    buffer_.append(data, size);
    received_[current_] += size;
    if (buffer_.size() >= kWriteBatch && !Flush()) return false;
    owner_.Received(size, true);
    // A whole part is handed on at once.
    if (received_[current_] == ranges_[current_].length) EndPart();
    return !failed_;
  }

  // Closes the part being written; one of which nothing arrived is no piece.
  void EndPart() {
    if (current_ == kNone) return;
    Flush();
    file_ = platform::File();
    const std::size_t index = std::exchange(current_, kNone);
    const update::ByteRange held{ranges_[index].offset, received_[index]};
    if (held.length == 0 || failed_) {
      platform::RemoveFile(update::PiecePath(owner_.folder_, held.offset));
      received_[index] = 0;
    } else if (!refused_ && owner_.callback_) {
      owner_.callback_->OnPieceFetched(&owner_, held);
    }
  }

  bool Flush() {
    if (!buffer_.empty() && !failed_) failed_ = !file_.Write(buffer_.data(), static_cast<std::uint32_t>(buffer_.size()));
    buffer_.clear();
    return !failed_;
  }

  void Refuse(bool wholeAnswer) {
    owner_.Refused(wholeAnswer);
    refused_ = true;
  }

  void HandOver() {
    for (const update::ByteRange& range : ranges_) {
      owner_.transfers_.push_back(std::make_unique<Piece>(owner_, range));
      owner_.core_.Add(owner_.transfers_.back().get());
    }
    ranges_.clear();
  }

  CRangeFetcher& owner_;
  std::vector<update::ByteRange> ranges_;
  std::string rangeText_;
  HeaderList headers_;
  net::ResponseHeaders response_;
  std::unique_ptr<net::ByteRangesReader> reader_;
  bool bodyStarted_ = false;
  bool fallback_ = false;
  bool refused_ = false;
  bool failed_ = false;
  // Bytes of each range that came in this answer, and the piece files it made.
  std::vector<std::uint64_t> received_;
  std::vector<std::uint64_t> written_;
  std::size_t current_ = kNone;
  platform::File file_;
  std::string buffer_;
};

CRangeFetcher::CRangeFetcher(CRangeFetcherCallback* callback, int connectTimeout, int retryCount, int retryDelay,
                             net::TlsPolicy tls)
    : CRangeFetcher(callback, net::TransferSettings{connectTimeout, retryCount, retryDelay, tls}) {}

CRangeFetcher::CRangeFetcher(CRangeFetcherCallback* callback, const net::TransferSettings& settings,
                             net::ConnectionPool* pool)
    : callback_(callback), core_(settings, pool) {}

CRangeFetcher::~CRangeFetcher() { Stop(); }

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
  core_.Rearm();
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
  core_.Cancel();
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
  transfers_.clear();
  if (tailMode_) {
    transfers_.push_back(std::make_unique<Piece>(*this, update::ByteRange{0, tailLength_}));
  } else {
    const std::vector<update::ByteRange> missing = update::MissingRanges(ranges_, update::HeldPieces(folder_));
    for (const update::ByteRange& range : missing) toFetch_ += range.length;
    Plan(missing);
  }
  std::vector<net::Transfer*> transfers;
  for (const auto& transfer : transfers_) transfers.push_back(transfer.get());
  const bool fetched = core_.Run(transfers);
  transfers_.clear();
  // A server that ignores ranges has told the tail all it needs: the size is unknown.
  if (rangesRefused_) return tailMode_;
  return fetched && !answerRefused_;
}

// More ranges than connections go as batches of several ranges a request: as few as the
// ranges and their bytes allow, so that a server that answers so serves them in one
// round trip, on the connection that brought the directory; one that does not refuses
// the first batches only, and the ranges go one a request over every connection.
// Otherwise each range is a request.
void CRangeFetcher::Plan(const std::vector<update::ByteRange>& missing) {
  const auto connections = static_cast<std::size_t>(std::max(1, core_.settings().connections));
  if (singleRanges_ || missing.size() <= connections) {
    for (const update::ByteRange& range : missing) transfers_.push_back(std::make_unique<Piece>(*this, range));
    return;
  }
  std::uint64_t bytes = 0;
  for (const update::ByteRange& range : missing) bytes += range.length;
  const auto byBytes = static_cast<std::size_t>(std::min<std::uint64_t>(connections, (bytes + kBatchBytes - 1) / kBatchBytes));
  const std::size_t batches = std::max(byBytes, (missing.size() + kMaxRangesPerRequest - 1) / kMaxRangesPerRequest);
  std::size_t at = 0;
  for (std::size_t i = 0; i < batches; ++i) {
    const std::size_t end = missing.size() * (i + 1) / batches;
    std::vector<update::ByteRange> batch(missing.begin() + static_cast<std::ptrdiff_t>(at),
                                         missing.begin() + static_cast<std::ptrdiff_t>(end));
    at = end;
    if (batch.size() == 1) {
      transfers_.push_back(std::make_unique<Piece>(*this, batch.front()));
    } else if (!batch.empty()) {
      transfers_.push_back(std::make_unique<Batch>(*this, std::move(batch)));
    }
  }
}

void CRangeFetcher::Refused(bool wholeAnswer) {
  if (wholeAnswer) {
    rangesRefused_ = true;
  } else {
    answerRefused_ = true;
  }
}

void CRangeFetcher::Received(std::size_t size, bool intoFolder) {
  receivedBytes_ += size;
  if (!intoFolder) return;
  fetched_ += size;
  if (toFetch_ == 0) return;
  progress = std::min(1.0, static_cast<double>(fetched_) / static_cast<double>(toFetch_));
  if (callback_) callback_->OnRangeFetchProgress(this);
}
