#include "ui/ui.h"

#include <algorithm>

namespace {

// The fraction of the bar that is drawn. NaN draws no front image, and a value past
// 1.0 never draws beyond the bar (a float-to-int conversion out of range would be
// undefined).
float DrawnFraction(float progress) {
  if (!(progress > 0.0f)) return 0.0f;
  return std::min(progress, 1.0f);
}

// Width scaled by the fraction, truncated toward zero.
int ScaledWidth(float width, float fraction) { return static_cast<int>(width * fraction); }

// The whole image stretched over `destination`.
void DrawWholeImage(ui::Graphics& graphics, const ui::Image& image,
                    const ui::PixelRect& destination) {
  const auto height = static_cast<int>(image.Height());
  const auto width = static_cast<int>(image.Width());
  graphics.DrawImage(image, destination, {0, 0, width, height});
}

}  // namespace

CUIObject::CUIObject(CUIManager* manager) : manager_(manager) { manager_->AddObject(this); }

// Runs after the derived destructors have released their images and strings.
CUIObject::~CUIObject() { manager_->RemoveObject(this); }

void CUIObject::Draw(ui::Graphics&) {}

void CUIObject::OnMessage(void*, unsigned, std::uintptr_t, std::intptr_t) {}

void CUIPicture::SetImage(const std::wstring& path) {
  image_.reset();
  image_ = std::make_unique<ui::Image>(path);
  MarkDirty();
}

void CUIPicture::Draw(ui::Graphics& graphics) {
  if (image_) DrawWholeImage(graphics, *image_, rect());
}

void CUIProgress::SetBackImage(const std::wstring& path) {
  back_.reset();
  back_ = std::make_unique<ui::Image>(path);
  MarkDirty();
}

void CUIProgress::SetFrontImage(const std::wstring& path) {
  front_.reset();
  front_ = std::make_unique<ui::Image>(path);
  MarkDirty();
}

void CUIProgress::Draw(ui::Graphics& graphics) {
  if (back_) DrawWholeImage(graphics, *back_, rect());
  if (!front_) return;
  // The front image is cropped on the right: the bar's filled part shows the same
  // fraction of the image.
  const float fraction = DrawnFraction(progress_);
  const int destinationWidth = ScaledWidth(static_cast<float>(width_), fraction);
  const int sourceWidth = ScaledWidth(static_cast<float>(front_->Width()), fraction);
  const auto frontHeight = static_cast<int>(front_->Height());
  graphics.DrawImage(*front_, {x_, y_, destinationWidth, height_},
                     {0, 0, sourceWidth, frontHeight});
}

void CUILabel::Draw(ui::Graphics& graphics) {
  const ui::LayoutRect layout{static_cast<float>(x_), static_cast<float>(y_),
                              static_cast<float>(width_), static_cast<float>(height_)};
  const ui::TextStyle style{fontFamily_, static_cast<float>(fontSize_), fontStyle_, color_,
                            alignment_};
  graphics.DrawString(text_, layout, style);
}

CUIManager::CUIManager(void* window, int width, int height)
    : canvasWidth_(width),
      canvasHeight_(height),
      surface_(std::make_unique<ui::Surface>(window, width, height)) {}

CUIManager::~CUIManager() {
  // Each destructor takes its object off the list.
  while (!objects_.empty()) delete objects_.back();
  dirty_ = true;
  surface_.reset();
}

void CUIManager::AddObject(CUIObject* object) {
  objects_.push_back(object);
  dirty_ = true;
}

void CUIManager::RemoveObject(CUIObject* object) {
  const auto found = std::find(objects_.begin(), objects_.end(), object);
  if (found == objects_.end()) return;
  objects_.erase(found);
  dirty_ = true;
}

void CUIManager::Paint() {
  if (!dirty_) return;
  // Cleared first, so that a change made while drawing still leads to another paint.
  dirty_ = false;
  ui::Graphics& graphics = surface_->BackBuffer();
  // The back buffer is not cleared: the background picture covers the whole canvas.
  for (CUIObject* object : objects_) {
    if (object->visible()) object->Draw(graphics);
  }
  surface_->Present();
}
