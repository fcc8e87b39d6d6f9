#pragma once
// HTTP and HTTPS transfers on a worker thread of their own, into a file or into memory,
// with a connection timeout, a fixed number of retries after a fixed delay, and
// notifications of progress and completion.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/file.h"

class CDownloader;

// Implemented by the owner of a downloader. Both notifications arrive on the worker
// thread, so they must not touch window objects.
class CDownloaderCallback {
 public:
  virtual ~CDownloaderCallback() = default;
  virtual void OnDownloadFinished(CDownloader* /*downloader*/) {}
  virtual void OnDownloadProgress(CDownloader* /*downloader*/) {}
};

class CDownloader {
 public:
  // Times are in seconds. The first downloader of the process initialises libcurl, the
  // last one to go cleans it up; all of them are made and destroyed on one thread.
  CDownloader(CDownloaderCallback* callback, int connectTimeout, int retryCount, int retryDelay);
  virtual ~CDownloader();
  CDownloader(const CDownloader&) = delete;
  CDownloader& operator=(const CDownloader&) = delete;

  // Stops any running transfer, then starts a new worker and returns at once. An empty
  // `filePath` keeps the body in memory; non-empty `postData` makes the request a POST.
  // When no worker can be started, the transfer has already failed on return: finished
  // is set, and OnDownloadFinished has come on the calling thread.
  void Start(const std::string& url, const std::string& filePath, const std::string& postData);
  // Cancels the worker and waits for it; returns within about a second in every state.
  void Stop();
  // Asks the worker to end soon without waiting for it, so that several downloaders can
  // be cancelled together before they are stopped one by one.
  void Cancel();
  // The body of the last memory-mode transfer; meaningful once `finished` is set.
  std::string GetContent() const;

  // Memory mode holds small answers only; a longer body fails the attempt.
  static constexpr std::size_t kMaxMemoryBody = 4 * 1024 * 1024;

  // Test seam: the next `count` calls of Start find no thread to run on, as when
  // std::thread throws std::system_error. 0 ends it.
  static void FailThreadStartsForTesting(int count);

  // Set by the worker as its last step (by Start when no worker could start);
  // `succeeded` holds its final value by then.
  std::atomic<bool> finished{false};
  // True when an attempt ended with HTTP status 200 (and, in file mode, every byte was written).
  std::atomic<bool> succeeded{false};
  // Progress of the current attempt in whole percent, 0.0 to 1.0; changes only while a
  // callback is set, each change followed by OnDownloadProgress.
  std::atomic<double> progress{0.0};

 private:
  std::unique_ptr<std::thread> StartWorker();
  void Run() noexcept;
  // All attempts of one run; true when one of them succeeded.
  bool Transfer();
  // The run's last step: publishes the outcome, then tells the callback.
  void Finish(bool success) noexcept;
  // `curl` is the easy handle; libcurl's CURL is void.
  void SetOptions(void* curl);
  bool RunAttempt(void* curl);
  // Sleeps for the retry delay; false when cancelled meanwhile.
  bool PauseBeforeRetry();
  bool Store(const char* data, std::size_t size);
  // Writes out the file buffer; false when the file did not take it all.
  bool FlushFile();
  void UpdateProgress(double total, double now);

  static std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* downloader) noexcept;
  static int ProgressCallback(void* downloader, double downloadTotal, double downloadNow, double uploadTotal,
                              double uploadNow) noexcept;

  CDownloaderCallback* const callback_;
  const int connectTimeout_;
  const int retryCount_;
  const int retryDelay_;
  std::unique_ptr<std::thread> worker_;
  std::atomic<bool> cancel_{false};
  // Lets the retry pause wake up as soon as cancel is set.
  std::mutex cancelMutex_;
  std::condition_variable cancelSignal_;
  std::string url_;
  std::string filePath_;
  std::string postData_;
  platform::File file_;
  std::string fileBuffer_;
  std::string memory_;
};
