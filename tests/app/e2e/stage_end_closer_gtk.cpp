// The Linux launcher with one seam: during the version check its idle step waits for
// the version answer to arrive, then destroys the main window. The close thus lands in
// the same step of the loop as the stage's end, a moment a player's click can hit but a
// test cannot time from outside. The worker's first progress report waits until the
// main thread is in that idle step, so the answer cannot finish before it.
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "app/launcher_app.h"

namespace {

class StageEndCloser : public CLauncherApp {
 public:
  void OnDownloadProgress(CDownloader* downloader) override {
    CLauncherApp::OnDownloadProgress(downloader);
    WaitFor(idling_);
  }
  void OnDownloadFinished(CDownloader*) override { answered_ = true; }

 protected:
  void OnIdle() override {
    CLauncherApp::OnIdle();
    if (!IsLaunching() || closed_) return;
    idling_ = true;
    WaitFor(answered_);
    closed_ = true;
    window_system::DestroyWindow(MainWindow());
  }

 private:
  static void WaitFor(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!flag && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::atomic<bool> idling_{false};
  std::atomic<bool> answered_{false};
  bool closed_ = false;
};

}  // namespace

int main() {
  if (!gtk_init_check(nullptr, nullptr)) return 0;
  auto app = std::make_unique<StageEndCloser>();
  app->CreateMainWindow();
  app->Run();
  app->Teardown();
  return 0;
}
