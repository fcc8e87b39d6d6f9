// Downloads one URL into one file with CDownloader, as the launcher downloads its
// package: file mode, no retries, a progress callback that only sets a flag. Given the
// body's size and SHA-256, the download checks them as it goes.
// Exit status 0 when the download succeeded.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "net/downloader.h"

namespace {

// The end is signalled rather than polled, so that the figure is the download's own
// time and not the owner's polling interval.
class Notifications : public CDownloaderCallback {
 public:
  void OnDownloadProgress(CDownloader*) override { progressChanged = true; }
  void OnDownloadFinished(CDownloader*) override {
    std::lock_guard lock(mutex_);
    finished_ = true;
    signal_.notify_all();
  }
  void WaitForFinish() {
    std::unique_lock lock(mutex_);
    signal_.wait(lock, [this] { return finished_; });
  }

  std::atomic<bool> progressChanged{false};

 private:
  std::mutex mutex_;
  std::condition_variable signal_;
  bool finished_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: download_bench URL FILE [SIZE SHA256]\n");
    return 2;
  }
  Notifications notifications;
  CDownloader downloader(&notifications, 10, 0, 0);
  if (argc == 5) downloader.SetExpected(std::strtoll(argv[3], nullptr, 10), argv[4]);
  downloader.Start(argv[1], argv[2], "");
  notifications.WaitForFinish();
  downloader.Stop();
  return downloader.succeeded ? 0 : 1;
}
