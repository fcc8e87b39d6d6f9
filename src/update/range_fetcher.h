#pragma once
// Fetches byte ranges of one HTTP(S) resource on a worker thread: the last bytes of it
// into memory (where a zip archive keeps its directory), or a list of ranges into a
// folder, each answer into a file named after its first byte ("<offset>.piece"). A
// piece cut short keeps what arrived; the next attempt, or a later run, asks only for
// what is still missing. All requests of a run go over one connection where the
// server allows it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/response_headers.h"
#include "net/tls_policy.h"

namespace update {

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool operator==(const ByteRange&) const = default;
};

// The pieces in `folder`: what earlier fetches left there, sorted by offset.
std::vector<ByteRange> HeldPieces(const std::string& folder);
// The file holding the piece that starts at `offset`.
std::string PiecePath(const std::string& folder, std::uint64_t offset);
// The parts of `wanted` that `held` does not cover, in order.
std::vector<ByteRange> MissingRanges(const std::vector<ByteRange>& wanted, const std::vector<ByteRange>& held);

}  // namespace update

class CRangeFetcher;

// Called on the worker thread: an implementation only raises a flag.
class CRangeFetcherCallback {
 public:
  virtual ~CRangeFetcherCallback() = default;
  virtual void OnRangeFetchProgress(CRangeFetcher* /*fetcher*/) {}
};

class CRangeFetcher {
 public:
  // Times are in seconds and `tls` holds for every request, as for CDownloader.
  CRangeFetcher(CRangeFetcherCallback* callback, int connectTimeout, int retryCount, int retryDelay,
                net::TlsPolicy tls = {});
  ~CRangeFetcher();
  CRangeFetcher(const CRangeFetcher&) = delete;
  CRangeFetcher& operator=(const CRangeFetcher&) = delete;

  // Asks for the last `length` bytes. A server that answers with the whole resource
  // (it ignores ranges) is hung up on at once: the run succeeds with `rangesRefused`.
  void StartTail(const std::string& url, std::uint64_t length);
  // Fetches whatever of `ranges` the folder does not hold yet. `validator` (an ETag or
  // a Last-Modified text from the tail's answer) goes with every request as If-Range,
  // so a resource that changed meanwhile answers whole: the run then fails with
  // `rangesRefused`, keeping nothing of that answer.
  // Every partial answer must agree on the resource's `totalSize`. A `validator` with
  // a control character fails the run with `answerRefused` before anything is sent.
  void Start(const std::string& url, const std::string& validator, std::uint64_t totalSize,
             std::vector<update::ByteRange> ranges, const std::string& folder);
  // Cancels the worker and waits for it.
  void Stop();

  std::atomic<bool> finished{false};
  std::atomic<bool> succeeded{false};
  // Bytes fetched of the bytes that were missing when the run began, 0.0 to 1.0.
  std::atomic<double> progress{0.0};

  // Meaningful once `finished` is set.
  // The server answered a range request with the whole resource (200): it ignores
  // ranges, or the resource is no longer the one the If-Range validator names. Nothing
  // of that answer is kept and nothing is retried; a tail run still succeeds, any other
  // run fails.
  bool rangesRefused() const { return rangesRefused_; }
  // The server answered with other bytes than asked, or for another resource: a 206
  // without a Content-Range, or whose range or total is not the one asked for or known,
  // whose validator differs from the one sent or holds a control character, or whose
  // body is longer or shorter than its range. The run fails at once, without retries,
  // and keeps nothing of that answer; what the folder holds is not to be trusted. (A
  // body cut short by the connection is a failed attempt like any other: its piece
  // keeps what arrived.)
  bool answerRefused() const { return answerRefused_; }
  // The resource's whole size and its validator, from the last partial answer.
  std::uint64_t totalSize() const { return totalSize_; }
  const std::string& validator() const { return validator_; }
  // The tail's bytes (StartTail) and where they begin.
  const std::string& tail() const { return tail_; }
  std::uint64_t tailOffset() const { return tailOffset_; }
  // What went over the wire: requests made and body bytes received.
  std::uint64_t requestCount() const { return requestCount_; }
  std::uint64_t receivedBytes() const { return receivedBytes_; }

 private:
  void Launch();
  void Run() noexcept;
  bool Transfer();
  bool RunAttempt(void* curl);
  // One request for `range`; false when it did not bring all of it.
  bool Request(void* curl, const update::ByteRange& range, bool suffix);
  bool BeginBody();
  // Whether the partial answer at hand is for exactly the asked bytes of the same resource.
  bool AnswersTheRequest() const;
  bool Store(const char* data, std::size_t size);
  bool PauseBeforeRetry();

  static std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* fetcher) noexcept;
  static std::size_t HeaderCallback(char* data, std::size_t size, std::size_t count, void* fetcher) noexcept;
  // libcurl's curl_off_t is a 64-bit integer on every platform we build for.
  static int ProgressCallback(void* fetcher, std::int64_t, std::int64_t, std::int64_t, std::int64_t) noexcept;

  CRangeFetcherCallback* const callback_;
  const int connectTimeout_;
  const int retryCount_;
  const int retryDelay_;
  const net::TlsPolicy tls_;
  std::unique_ptr<std::thread> worker_;
  std::atomic<bool> cancel_{false};
  std::mutex cancelMutex_;
  std::condition_variable cancelSignal_;

  // The run's request.
  std::string url_;
  std::string expectedValidator_;
  std::vector<update::ByteRange> ranges_;
  std::string folder_;
  bool tailMode_ = false;
  std::uint64_t tailLength_ = 0;

  // The run's results and the worker's state.
  bool rangesRefused_ = false;
  bool answerRefused_ = false;
  std::uint64_t totalSize_ = 0;
  std::string validator_;
  std::string tail_;
  std::uint64_t tailOffset_ = 0;
  std::uint64_t requestCount_ = 0;
  std::uint64_t receivedBytes_ = 0;
  std::uint64_t toFetch_ = 0;
  std::uint64_t fetched_ = 0;
  net::ResponseHeaders response_;
  update::ByteRange current_;
  bool bodyStarted_ = false;
  bool bodyAccepted_ = false;
  // The length of the accepted answer's range, and how much of it came.
  std::uint64_t bodyLength_ = 0;
  std::uint64_t bodyReceived_ = 0;
  struct Sink;
  std::unique_ptr<Sink> sink_;
};
