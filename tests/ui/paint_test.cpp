// Real renders through the platform's painting backend and a real window: the pixels
// of the back buffer and of the window's client area.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "pixels.h"
#include "temp_folder.h"
#include "test_window.h"
#include "ui/ui.h"

namespace {

using testing_support::TempFolder;
using testing_support::WriteFile;
using ui_testing::Canvas;
using ui_testing::ColorNear;
using ui_testing::kBlue;
using ui_testing::kGreen;
using ui_testing::kNavy;
using ui_testing::kRed;
using ui_testing::kWhite;
using ui_testing::TestWindow;

class PaintTest : public testing::Test {
 protected:
  // A navy picture of the canvas size over the whole canvas, as the launcher's
  // background. (GDI+ fades the edges of a stretched picture into transparency.)
  CUIPicture* AddBackground(CUIManager* manager) {
    const ui::PixelRect canvas = manager->CanvasRect();
    ui_testing::WriteSolidBmp(temp.path() / "background.bmp", canvas.width, canvas.height, kNavy);
    auto* background = new CUIPicture(manager);
    background->SetRect(canvas.x, canvas.y, canvas.width, canvas.height);
    background->SetImage(temp.Wide("background.bmp"));
    background->SetVisible(true);
    return background;
  }

  TempFolder temp;
};

TEST_F(PaintTest, PictureIsStretchedOverTheCanvasAndTheCanvasOverTheWindow) {
  ui_testing::WriteBmp(temp.path() / "halves.bmp", 10, 6,
                       [](int x, int) { return x < 5 ? kRed : kGreen; });
  TestWindow window(400, 240);
  CUIManager manager(window.handle(), 200, 120);
  auto* picture = new CUIPicture(&manager);
  picture->SetRect(0, 0, 200, 120);
  picture->SetImage(temp.Wide("halves.bmp"));
  picture->SetVisible(true);
  manager.Paint();

  // Samples sit on the centres of the picture's pixels, away from its edges, where
  // any bilinear stretch gives the pure colour.
  const Canvas canvas(manager.surface(), 200, 120);
  EXPECT_TRUE(ColorNear(canvas.At(40, 60), kRed));
  EXPECT_TRUE(ColorNear(canvas.At(80, 60), kRed));
  EXPECT_TRUE(ColorNear(canvas.At(120, 60), kGreen));
  EXPECT_TRUE(ColorNear(canvas.At(160, 60), kGreen));
  // The client area is twice the canvas: the halves meet in its middle.
  EXPECT_TRUE(ColorNear(window.ClientPixel(80, 120), kRed));
  EXPECT_TRUE(ColorNear(window.ClientPixel(160, 120), kRed));
  EXPECT_TRUE(ColorNear(window.ClientPixel(240, 120), kGreen));
  EXPECT_TRUE(ColorNear(window.ClientPixel(320, 120), kGreen));
}

// A 500-pixel bar at (30, 40) on a navy canvas: a blue back image of the bar's size
// and a front image twice the bar's width, red in its left half and green in its right
// half.
struct BarCase {
  const char* name;
  float progress;
  // x within the bar and its colour; a stretched draw may blend its outermost pixels
  std::vector<std::pair<int, std::uint32_t>> samples;
};

void PrintTo(const BarCase& barCase, std::ostream* out) { *out << barCase.name; }

class ProgressBarTest : public PaintTest, public testing::WithParamInterface<BarCase> {};

TEST_P(ProgressBarTest, FrontImageIsCroppedToTheFilledFraction) {
  ui_testing::WriteSolidBmp(temp.path() / "back.bmp", 500, 30, kBlue);
  ui_testing::WriteBmp(temp.path() / "front.bmp", 1000, 30,
                       [](int x, int) { return x < 500 ? kRed : kGreen; });
  TestWindow window(560, 100);
  CUIManager manager(window.handle(), 560, 100);
  AddBackground(&manager);
  auto* bar = new CUIProgress(&manager);
  bar->SetRect(30, 40, 500, 30);
  bar->SetBackImage(temp.Wide("back.bmp"));
  bar->SetFrontImage(temp.Wide("front.bmp"));
  bar->SetProgress(GetParam().progress);
  bar->SetVisible(true);
  manager.Paint();

  const Canvas canvas(manager.surface(), 560, 100);
  for (const auto& [x, color] : GetParam().samples) {
    EXPECT_TRUE(ColorNear(canvas.At(30 + x, 55), color)) << "at x " << x << " in the bar";
  }
  EXPECT_TRUE(ColorNear(canvas.At(29, 55), kNavy)) << "left of the bar";
  EXPECT_TRUE(ColorNear(canvas.At(530, 55), kNavy)) << "right of the bar";
  EXPECT_TRUE(ColorNear(canvas.At(200, 39), kNavy)) << "above the bar";
  EXPECT_TRUE(ColorNear(canvas.At(200, 70), kNavy)) << "below the bar";
}

INSTANTIATE_TEST_SUITE_P(
    Fractions, ProgressBarTest,
    testing::Values(
        BarCase{"Empty", 0.0f, {{2, kBlue}, {250, kBlue}, {497, kBlue}}},
        // 500 x 0.333 = 166 pixels of the bar show 333 of the front image's 1000.
        BarCase{"Third", 0.333f, {{2, kRed}, {160, kRed}, {166, kBlue}, {497, kBlue}}},
        // Cropped, not squeezed: a squeezed image would turn green from x 125.
        BarCase{"Half", 0.5f, {{2, kRed}, {200, kRed}, {245, kRed}, {251, kBlue}, {497, kBlue}}},
        BarCase{"Full", 1.0f, {{2, kRed}, {240, kRed}, {260, kGreen}, {497, kGreen}}},
        BarCase{"NaNDrawsNoFront", std::nanf(""), {{2, kBlue}, {497, kBlue}}},
        BarCase{"PastFullStaysInTheBar", 1.5f, {{2, kRed}, {497, kGreen}}}),
    [](const testing::TestParamInfo<BarCase>& info) { return std::string(info.param.name); });

TEST_F(PaintTest, ThirdOfTheBarIsA166PixelSlice) {
  ui_testing::WriteSolidBmp(temp.path() / "back.bmp", 500, 30, kBlue);
  ui_testing::WriteSolidBmp(temp.path() / "front.bmp", 500, 30, kRed);
  TestWindow window(560, 100);
  CUIManager manager(window.handle(), 560, 100);
  AddBackground(&manager);
  auto* bar = new CUIProgress(&manager);
  bar->SetRect(30, 40, 500, 30);
  bar->SetBackImage(temp.Wide("back.bmp"));
  bar->SetFrontImage(temp.Wide("front.bmp"));
  bar->SetProgress(0.333f);
  bar->SetVisible(true);
  manager.Paint();

  const Canvas canvas(manager.surface(), 560, 100);
  const ui::PixelRect red = canvas.InkBounds([](std::uint32_t p) { return ColorNear(p, kRed); });
  EXPECT_EQ(red.x, 30);
  EXPECT_EQ(red.width, 166);
  EXPECT_EQ(red.y, 40);
  EXPECT_EQ(red.height, 30);
}

// A white label at (50, 20, 300, 40) on a navy canvas 400 x 100.
class LabelTest : public PaintTest {
 protected:
  ui::PixelRect PaintLabel(const std::wstring& text, int alignment, int fontSize = 16,
                           std::uint32_t color = kWhite) {
    TestWindow window(400, 100);
    CUIManager manager(window.handle(), 400, 100);
    AddBackground(&manager);
    auto* label = new CUILabel(&manager);
    label->SetRect(50, 20, 300, 40);
    label->SetColor(color);
    label->SetAlign(alignment);
    label->SetFontSize(fontSize);
    label->SetText(text);
    label->SetVisible(true);
    manager.Paint();
    const Canvas canvas(manager.surface(), 400, 100);
    const auto isText = [](std::uint32_t p) { return !ColorNear(p, kNavy, 40); };
    inkInside = canvas.Count(isText, {50, 20, 300, 40});
    whiteInside = canvas.Count(ui_testing::IsWhiteInk, {50, 20, 300, 40});
    return canvas.InkBounds(isText);
  }

  static void ExpectInsideLabel(const ui::PixelRect& ink) {
    ASSERT_GT(ink.width, 0) << "no text drawn";
    EXPECT_GE(ink.x, 50);
    EXPECT_LE(ink.x + ink.width, 350);
    EXPECT_GE(ink.y, 20);
    EXPECT_LE(ink.y + ink.height, 60);
  }

  int inkInside = 0;
  int whiteInside = 0;
};

TEST_F(LabelTest, CentredWhiteTextStaysInsideItsRectangleFromTheTop) {
  const ui::PixelRect ink = PaintLabel(L"Downloading 42%", ui::kAlignCenter);
  ExpectInsideLabel(ink);
  EXPECT_GT(whiteInside, 30) << "white text";
  EXPECT_NEAR(ink.x + ink.width / 2.0, 200.0, 6.0) << "centred";
  EXPECT_LT(ink.y, 32) << "the first line starts at the top";
}

TEST_F(LabelTest, NearAndFarAlignToTheEdges) {
  const ui::PixelRect near = PaintLabel(L"Hello", ui::kAlignNear);
  ExpectInsideLabel(near);
  EXPECT_LT(near.x, 62);
  EXPECT_LT(near.x + near.width, 200);
  const ui::PixelRect far = PaintLabel(L"Hello", ui::kAlignFar);
  ExpectInsideLabel(far);
  EXPECT_GT(far.x + far.width, 338);
  EXPECT_GT(far.x, 200);
}

TEST_F(LabelTest, FontSizeIsInPoints) {
  const ui::PixelRect small = PaintLabel(L"HHHH", ui::kAlignNear, 12);
  const ui::PixelRect large = PaintLabel(L"HHHH", ui::kAlignNear, 16);
  // A capital H is about 0.72 em: 16 points are 21.3 pixels, 12 points 16 pixels.
  EXPECT_NEAR(large.height, 15, 3);
  EXPECT_NEAR(small.height, 11.5, 3);
  EXPECT_GT(large.width, small.width);
}

TEST_F(LabelTest, LongTextWrapsWithinTheWidth) {
  const ui::PixelRect ink = PaintLabel(
      L"one two three four five six seven eight nine ten eleven twelve thirteen fourteen "
      L"fifteen sixteen seventeen eighteen nineteen twenty",
      ui::kAlignNear);
  ASSERT_GT(ink.width, 0) << "no text drawn";
  EXPECT_GE(ink.x, 50);
  EXPECT_LE(ink.x + ink.width, 350) << "wrapped within the width";
  EXPECT_GE(ink.y, 20);
  EXPECT_GT(ink.height, 26) << "more than one line";
}

TEST_F(LabelTest, RedTextForFailures) {
  PaintLabel(L"Failed", ui::kAlignCenter, 16, 0xFFFF0000);
  EXPECT_GT(inkInside, 30);
  EXPECT_EQ(whiteInside, 0);
}

TEST(PainterTest, MissingFontFamilyFallsBackToSansSerif) {
  TempFolder temp;
  ui_testing::WriteSolidBmp(temp.path() / "navy.bmp", 200, 60, kNavy);
  ui::Surface surface(nullptr, 200, 60);
  ui::Graphics& graphics = surface.BackBuffer();
  const ui::Image navy(temp.Wide("navy.bmp"));
  graphics.DrawImage(navy, {0, 0, 200, 60}, {0, 0, 200, 60});
  for (const wchar_t* family : {L"Arial", L"No Such Family 7f3a"}) {
    const ui::TextStyle style{family, 16, ui::kFontStyleRegular, kWhite, ui::kAlignNear};
    graphics.DrawString(L"Fallback", {0, 0, 200, 60}, style);
    const Canvas canvas(surface, 200, 60);
    EXPECT_GT(canvas.Count(ui_testing::IsWhiteInk, {0, 0, 200, 60}), 30) << family;
    graphics.DrawImage(navy, {0, 0, 200, 60}, {0, 0, 200, 60});
  }
}

TEST(PainterTest, UnloadablePicturesAreEmpty) {
  TempFolder temp;
  WriteFile(temp.path() / "garbage.png", "not a picture at all");
  ui::Surface surface(nullptr, 10, 10);
  for (const std::string name : {"missing.bmp", "garbage.png", ""}) {
    const ui::Image image(temp.Wide(name));
    EXPECT_TRUE(image.IsEmpty()) << name;
    EXPECT_EQ(image.Width(), 0u) << name;
    EXPECT_EQ(image.Height(), 0u) << name;
  }
}

TEST_F(PaintTest, MissingPicturesDrawNothing) {
  TestWindow window(100, 60);
  CUIManager manager(window.handle(), 100, 60);
  AddBackground(&manager);
  manager.Paint();
  auto* picture = new CUIPicture(&manager);
  picture->SetRect(0, 0, 100, 60);
  picture->SetImage(temp.Wide("missing.bmp"));
  picture->SetVisible(true);
  auto* bar = new CUIProgress(&manager);
  bar->SetRect(0, 0, 100, 60);
  bar->SetBackImage(temp.Wide("missing-back.bmp"));
  bar->SetFrontImage(temp.Wide("missing-front.bmp"));
  bar->SetProgress(1.0f);
  bar->SetVisible(true);
  manager.Paint();

  const Canvas canvas(manager.surface(), 100, 60);
  const auto isNavy = [](std::uint32_t p) { return bool(ColorNear(p, kNavy)); };
  EXPECT_EQ(canvas.Count(isNavy, {0, 0, 100, 60}), 100 * 60);
}

TEST_F(PaintTest, ManagerOutlivingItsWindowStillPaintsAndShutsDownQuietly) {
  auto window = std::make_unique<TestWindow>(100, 60);
  auto manager = std::make_unique<CUIManager>(window->handle(), 100, 60);
  AddBackground(manager.get());
  manager->Paint();
  window->Destroy();
  manager->SetDirty();
  manager->Paint();
  const Canvas canvas(manager->surface(), 100, 60);
  EXPECT_TRUE(ColorNear(canvas.At(50, 30), kNavy));
  manager.reset();
}

}  // namespace
