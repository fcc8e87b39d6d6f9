// Measures painting the launcher's frame (a 1100 x 660 canvas with its background, the
// progress bar and two labels) onto a window of the canvas size, and an idle pass that
// sets unchanged values. Run by bench/ui-paint.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "pixels.h"
#include "temp_folder.h"
#include "test_window.h"
#include "ui/ui.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
  testing_support::TempFolder temp;
  ui_testing::WriteBmp(temp.path() / "background.bmp", 1100, 660,
                       [](int x, int y) { return 0xFF000000u | (x % 256) << 16 | (y % 256) << 8; });
  ui_testing::WriteSolidBmp(temp.path() / "back.bmp", 500, 30, ui_testing::kBlue);
  ui_testing::WriteSolidBmp(temp.path() / "front.bmp", 500, 30, ui_testing::kGreen);

  ui_testing::TestWindow window(1100, 660);
  CUIManager manager(window.handle(), 1100, 660);
  auto* background = new CUIPicture(&manager);
  background->SetRect(0, 0, 1100, 660);
  background->SetImage(temp.Wide("background.bmp"));
  background->SetVisible(true);
  auto* bar = new CUIProgress(&manager);
  bar->SetRect(300, 557, 500, 30);
  bar->SetBackImage(temp.Wide("back.bmp"));
  bar->SetFrontImage(temp.Wide("front.bmp"));
  bar->SetVisible(true);
  auto* percent = new CUILabel(&manager);
  percent->SetRect(300, 563, 500, 30);
  percent->SetColor(0xFFFFFFFF);
  percent->SetAlign(1);
  percent->SetFontSize(12);
  percent->SetVisible(true);
  auto* status = new CUILabel(&manager);
  status->SetRect(300, 593, 500, 37);
  status->SetColor(0xFFFFFFFF);
  status->SetAlign(1);
  status->SetText(L"Downloading the game client");
  status->SetVisible(true);
  manager.Paint();
  window.ClientPixel(0, 0);

  constexpr int kFrames = 200;
  double total = 0;
  double slowest = 0;
  for (int i = 1; i <= kFrames; ++i) {
    const auto start = Clock::now();
    bar->SetProgress(static_cast<float>(i) / kFrames);
    percent->SetText(std::to_wstring(i * 100 / kFrames) + L"%");
    manager.Paint();
    window.ClientPixel(0, 0);  // waits until the window shows the frame
    const double elapsed = MillisecondsSince(start);
    total += elapsed;
    slowest = std::max(slowest, elapsed);
  }
  std::printf("frame with a changed bar and label: %.2f ms mean, %.2f ms slowest (%d frames)\n",
              total / kFrames, slowest, kFrames);

  constexpr int kPasses = 1000000;
  const auto start = Clock::now();
  for (int i = 0; i < kPasses; ++i) {
    bar->SetProgress(1.0f);
    percent->SetText(L"100%");
    status->SetText(L"Downloading the game client");
    manager.Paint();
  }
  std::printf("idle pass with unchanged values: %.1f ns (nothing painted: %s)\n",
              MillisecondsSince(start) * 1e6 / kPasses, manager.IsDirty() ? "no" : "yes");
  return 0;
}
