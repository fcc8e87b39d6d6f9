#pragma once
// HTTP and HTTPS transfers on a worker thread of their own, into a file or into memory,
// with a connection timeout, a fixed number of retries after a fixed delay, and
// notifications of progress and completion. The requests run on the transfer core.
//
// A file download goes to "<file>.part" first and becomes the file only when it is
// complete (and matches the size and hash it was expected to have). When the server
// names its content with a validator (ETag or Last-Modified), a failed attempt is
// followed by a request for the rest only, and so is a later download of the same URL
// into the same file, even by another run of the program.
//
// When the server answers ranges of the content under a strong ETag and more than one
// connection is allowed, a large file is fetched as several ranges at once (segments),
// so that one slow connection does not bound the download; any doubt about the
// content on the way (a 200 to a range, another validator) makes it one transfer again.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/response_headers.h"
#include "net/tls_policy.h"
#include "net/transfer_core.h"

class CDownloader;
struct curl_slist;

namespace net {
class PartFile;
}

// Implemented by the owner of a downloader. Both notifications arrive on the worker
// thread, so they must not touch window objects.
class CDownloaderCallback {
 public:
  virtual ~CDownloaderCallback() = default;
  virtual void OnDownloadFinished(CDownloader* /*downloader*/) {}
  virtual void OnDownloadProgress(CDownloader* /*downloader*/) {}
};

class CDownloader : private net::Transfer {
 public:
  // Times are in seconds; `tls` holds for every request. The first downloader of the
  // process initialises libcurl, the last one to go cleans it up; all of them are made
  // and destroyed on one thread.
  CDownloader(CDownloaderCallback* callback, int connectTimeout, int retryCount, int retryDelay,
              net::TlsPolicy tls = {});
  // With how many connections a download may use and the cap on its bytes per second;
  // with a pool (which outlives it), its connections are those of the pool's other users.
  CDownloader(CDownloaderCallback* callback, const net::TransferSettings& settings,
              net::ConnectionPool* pool = nullptr);
  ~CDownloader() override;
  CDownloader(const CDownloader&) = delete;
  CDownloader& operator=(const CDownloader&) = delete;

  // Stops any running transfer, then starts a new worker and returns at once. An empty
  // `filePath` keeps the body in memory; non-empty `postData` makes the request a POST.
  // When no worker can be started, the transfer has already failed on return: finished
  // is set, and OnDownloadFinished has come on the calling thread.
  void Start(const std::string& url, const std::string& filePath, const std::string& postData);
  // What the next Start's file must turn out to be: its size in bytes (< 0: unknown)
  // and its SHA-256 as 64 lower-case hexadecimal digits (empty: unknown). An attempt
  // whose body does not match fails, and what it wrote is thrown away. Memory mode
  // ignores it. Only the next Start uses it; like Start, it is the owner's to call.
  void SetExpected(std::int64_t size, const std::string& sha256Hex);
  // Further addresses of the next Start's content, tried in order for a request when the
  // one before failed or stalled. Only the next Start uses them.
  void SetMirrors(std::vector<std::string> urls);
  // Cancels the worker and waits for it; returns within about a second in every state.
  void Stop();
  // Asks the worker to end soon without waiting for it, so that several downloaders can
  // be cancelled together before they are stopped one by one.
  void Cancel();
  // The body of the last memory-mode transfer; meaningful once `finished` is set.
  std::string GetContent() const;
  // What every request of this downloader checks of the server's certificate.
  const net::TlsPolicy& tls() const { return core_.settings().tls; }
  // How the last attempt of the run ended; meaningful once `finished` is set. The HTTP
  // status of its final answer (0: none came, as after a transport failure).
  int lastStatus() const { return lastStatus_; }
  // A file download whose last answer came whole but whose body did not match
  // SetExpected's size or hash: the server sent other content, not a cut transfer.
  bool bodyRefused() const { return bodyRefused_; }

  // Memory mode holds small answers only; a longer body fails the attempt.
  static constexpr std::size_t kMaxMemoryBody = 4 * 1024 * 1024;

  // Test seam: the next `count` calls of Start find no thread to run on, as when
  // std::thread throws std::system_error. 0 ends it.
  static void FailThreadStartsForTesting(int count);

  // Set by the worker as its last step (by Start when no worker could start);
  // `succeeded` holds its final value by then.
  std::atomic<bool> finished{false};
  // True when an attempt ended with HTTP status 200, or with a 206 that completed the
  // bytes kept from before; in file mode also every byte was written, the body passed
  // its checks and it was moved to the file.
  std::atomic<bool> succeeded{false};
  // Progress of the current attempt in whole percent, 0.0 to 1.0, counting the bytes
  // already in the part when a body is resumed; changes only while a callback is set,
  // each change followed by OnDownloadProgress.
  std::atomic<double> progress{0.0};
  // The same attempt's bytes so far, and the whole content's size (< 0 while unknown),
  // updated on every report of libcurl's, unlike `progress`, and without notification:
  // for a display of sizes and speed that reads them while the worker runs.
  std::atomic<std::int64_t> bytesDone{0};
  std::atomic<std::int64_t> bytesTotal{-1};
  // Set with `finished` when a file download failed because its folder's volume has no
  // room for the rest of the body; then nothing was retried and nothing is left behind.
  std::atomic<bool> outOfSpace{false};

 private:
  // What happens to the body of the response at hand (file mode).
  enum class Destination {
    Pending,  // no byte yet
    Write,    // into the part: from its start, or after the bytes already there
    Skip,     // an error page while the part holds resumable bytes: it is not kept
    Restart,  // the part cannot be continued as asked: start over at once
    Refuse,   // no part, or no room for it: the attempt ends here
  };
  struct CurlSlistDeleter {
    void operator()(curl_slist* list) const;
  };
  // One range of a segmented download, as a transfer of its own.
  class Segment;

  std::unique_ptr<std::thread> StartWorker();
  void Run() noexcept;
  // All attempts of one run; true when one of them succeeded.
  bool RunTransfer();
  // The run's last step: publishes the outcome, then tells the callback.
  void EndRun(bool success) noexcept;

  // The request as the transfer core runs it.
  bool Prepare(void* curl) override;
  bool Header(std::string_view line) override;
  bool Body(const char* data, std::size_t size) override;
  bool Progress(std::int64_t total, std::int64_t now) override;
  Verdict Finish(void* curl, int code) override;
  Verdict FinishFileRequest(void* curl, int code);

  // Asks for the rest when the part can be resumed.
  void PrepareFileRequest(void* curl);
  // Decides, with the response's headers at hand, where its body goes.
  void BeginBody();
  // Whether the file's volume can take `rest` more bytes; true when that is not known.
  bool HasRoomFor(std::int64_t rest) const;
  // Whether the answer at hand lets the rest of the body come as several ranges at once.
  bool CanSegment() const;
  // Splits the rest of the body: this request keeps the first range, the others go out
  // as segments of the same run.
  void SplitRest();
  // Fetches what a segmented part taken over from an earlier run misses.
  bool ResumeSegments();
  // The end of a run whose part is segmented: commits it, keeps it for later, or starts
  // over as one transfer when the content changed or ranges were refused.
  bool EndSegments(bool succeeded);
  // The rest of a range this request could not bring, handed to a segment of its own.
  void HandOver(std::int64_t start, std::int64_t end);
  void ShowSegmentProgress();
  bool Store(const char* data, std::size_t size);
  void UpdateProgress(double total, double now);

  CDownloaderCallback* const callback_;
  net::TransferCore core_;
  std::unique_ptr<std::thread> worker_;
  std::atomic<int> lastStatus_{0};
  std::atomic<bool> bodyRefused_{false};
  std::vector<std::string> nextMirrors_;
  std::string url_;
  std::string filePath_;
  std::string postData_;
  std::string memory_;
  // Set by SetExpected for the next Start, then for the run.
  std::int64_t nextExpectedSize_ = -1;
  std::string nextExpectedHash_;
  std::int64_t expectedSize_ = -1;
  std::string expectedHash_;
  // The rest is the worker's, in file mode.
  std::unique_ptr<net::PartFile> part_;
  net::ResponseHeaders response_;
  Destination body_ = Destination::Pending;
  // Body bytes the current request brought.
  std::int64_t bodyBytes_ = 0;
  // Bytes already in the part that the current request asks the rest of.
  std::int64_t resumeFrom_ = 0;
  // The part was started over within the current attempt; once per attempt at most.
  bool restarted_ = false;
  // Where the current body starts within the whole content.
  std::int64_t bodyOffset_ = 0;
  // The whole content's size when known: expected, or announced by the server.
  std::int64_t fullSize_ = -1;
  std::unique_ptr<curl_slist, CurlSlistDeleter> requestHeaders_;
  // A segmented download: the end of this request's own range (-1: not segmented) and
  // where its next byte goes; the other ranges' transfers, alive until the run ends.
  std::int64_t pieceEnd_ = -1;
  std::int64_t piecePosition_ = 0;
  std::vector<std::unique_ptr<Segment>> segments_;
  // A segment found the content changed or its range refused: the run starts over as
  // one transfer, which does not split again.
  bool segmentsRefused_ = false;
  bool segmentsAllowed_ = true;
};
