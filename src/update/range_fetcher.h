#pragma once
// Fetches byte ranges of one HTTP(S) resource on a worker thread: the last bytes of it
// into memory (where a zip archive keeps its directory), or a list of ranges into a
// folder, each answer into a file named after its first byte ("<offset>.piece"). The
// ranges of a run are asked for at once, several in flight over a few connections (or
// as streams of one), so that a long round trip is paid a few times rather than once a
// range; where there are more ranges than connections, several go in one request
// (multipart/byteranges) when the server answers so. A piece cut short keeps what arrived; the next attempt, or a later run, asks
// only for what is still missing.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/tls_policy.h"
#include "net/transfer_core.h"

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
  // Bytes of a Start run are in the folder, in the piece file at `piece.offset`, so that
  // they may be used before the rest arrives: a whole piece, or what a cut answer brought
  // (the rest comes as a piece of its own).
  virtual void OnPieceFetched(CRangeFetcher* /*fetcher*/, const update::ByteRange& /*piece*/) {}
};

class CRangeFetcher {
 public:
  // Times are in seconds and `tls` holds for every request, as for CDownloader.
  CRangeFetcher(CRangeFetcherCallback* callback, int connectTimeout, int retryCount, int retryDelay,
                net::TlsPolicy tls = {});
  // With how many transfers run at once and the cap on their bytes per second as well;
  // with a pool (which outlives it), its connections are those of the pool's other users.
  CRangeFetcher(CRangeFetcherCallback* callback, const net::TransferSettings& settings,
                net::ConnectionPool* pool = nullptr);
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
  // Further addresses of the same resource for the runs that follow, tried in order for
  // a request when the one before failed or stalled.
  void SetMirrors(std::vector<std::string> urls) { mirrors_ = std::move(urls); }

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
  class Piece;
  class Batch;

  void Launch();
  void Run() noexcept;
  bool Transfer();
  // Makes the run's requests for the `missing` ranges.
  void Plan(const std::vector<update::ByteRange>& missing);
  // What a piece's answer found; Piece reports here.
  void Refused(bool wholeAnswer);
  void Received(std::size_t size, bool intoFolder);

  CRangeFetcherCallback* const callback_;
  net::TransferCore core_;
  std::unique_ptr<std::thread> worker_;
  // The requests of the run under way.
  std::vector<std::unique_ptr<net::Transfer>> transfers_;
  // The server answered several ranges in one request otherwise than in parts: from
  // then on this fetcher asks for one range a request.
  bool singleRanges_ = false;

  // The run's request.
  std::string url_;
  std::vector<std::string> mirrors_;
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
};
