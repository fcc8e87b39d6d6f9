#pragma once
// The launcher window's retained UI objects and the manager that paints them.
//
// Objects never paint by themselves: every drawn property change raises the manager's
// dirty flag, and the main loop calls CUIManager::Paint when it is idle. Setters raise
// the flag only on a real change, so callers may set the same value on every pass.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ui/painter.h"

class CUIManager;

// Base of all UI objects. An object registers with its manager when it is created and
// removes itself when it is destroyed; the manager destroys the objects still
// registered when it is destroyed, so objects are created with new and never deleted
// by their creator.
class CUIObject {
 public:
  explicit CUIObject(CUIManager* manager);
  virtual ~CUIObject();
  CUIObject(const CUIObject&) = delete;
  CUIObject& operator=(const CUIObject&) = delete;

  virtual void Draw(ui::Graphics& graphics);
  // Sees every message the main loop dispatches. The native types are passed as
  // pointer-sized integers: HWND, message number, WPARAM and LPARAM on Windows.
  virtual void OnMessage(void* window, unsigned message, std::uintptr_t wparam,
                         std::intptr_t lparam);

  void SetRect(int x, int y, int width, int height);
  void SetVisible(bool visible);

  ui::PixelRect rect() const { return {x_, y_, width_, height_}; }
  bool visible() const { return visible_; }

 protected:
  void MarkDirty();

  CUIManager* const manager_;
  int x_ = 0;
  int y_ = 0;
  int width_ = 0;
  int height_ = 0;
  bool visible_ = false;
};

// A picture stretched over the object's rectangle.
class CUIPicture : public CUIObject {
 public:
  using CUIObject::CUIObject;

  // Replaces the picture with the file at `path`. A file that cannot be loaded leaves
  // an empty picture; the flag is raised either way.
  void SetImage(const std::wstring& path);
  void Draw(ui::Graphics& graphics) override;

 private:
  std::unique_ptr<ui::Image> image_;
};

// A progress bar: the back image over the whole rectangle, then the left part of the
// front image for the filled fraction. The front image is cropped, not squeezed.
class CUIProgress : public CUIObject {
 public:
  using CUIObject::CUIObject;

  void SetBackImage(const std::wstring& path);
  void SetFrontImage(const std::wstring& path);
  // The filled fraction, 0.0 to 1.0. NaN always counts as a change.
  void SetProgress(float progress);
  void Draw(ui::Graphics& graphics) override;

  float progress() const { return progress_; }

 private:
  std::unique_ptr<ui::Image> back_;
  std::unique_ptr<ui::Image> front_;
  float progress_ = 0.0f;
};

// A text label drawn from the top of its rectangle, wrapping within it.
class CUILabel : public CUIObject {
 public:
  using CUIObject::CUIObject;

  void SetText(const std::wstring& text);
  void SetColor(std::uint32_t argb);
  // 0 near, 1 centre, 2 far.
  void SetAlign(int alignment);
  void SetFontSize(int points);
  void Draw(ui::Graphics& graphics) override;

  const std::wstring& text() const { return text_; }
  std::uint32_t color() const { return color_; }
  int alignment() const { return alignment_; }
  int fontSize() const { return fontSize_; }

 private:
  std::wstring text_;
  std::uint32_t color_ = 0xFF000000;
  int alignment_ = ui::kAlignNear;
  std::wstring fontFamily_ = L"Arial";
  int fontSize_ = 16;
  int fontStyle_ = ui::kFontStyleRegular;
};

// Notified when a clickable object is clicked.
class CUIButtonCallback {
 public:
  virtual ~CUIButtonCallback() = default;
  virtual void OnButtonClick(void* /*sender*/) {}
};

// Owns the window's drawing surface and the ordered list of UI objects: the list order
// is the registration order and the painting order.
class CUIManager {
 public:
  // `window` is the native window (see ui::Surface); the canvas is width x height
  // pixels and is stretched over the window's client area.
  CUIManager(void* window, int width, int height);
  // Destroys the objects still listed, last registered first, then the surface.
  virtual ~CUIManager();
  CUIManager(const CUIManager&) = delete;
  CUIManager& operator=(const CUIManager&) = delete;

  void AddObject(CUIObject* object);
  // Removes the first entry equal to `object`, keeping the order of the others.
  void RemoveObject(CUIObject* object);

  // When dirty: clears the flag, draws every visible object into the back buffer in
  // list order and copies the back buffer to the window. Otherwise does nothing.
  void Paint();
  // Copies the last painted frame onto the window again without drawing it anew: for a
  // window that has just been shown.
  void ShowFrame() { surface_->Present(); }
  // Whether a painted frame has reached the screen (ui::Surface::IsFrameOnScreen).
  bool IsFrameOnScreen() const { return surface_->IsFrameOnScreen(); }

  bool IsDirty() const { return dirty_; }
  void SetDirty() { dirty_ = true; }

  // In list order, for handing messages to the objects' OnMessage.
  const std::vector<CUIObject*>& Objects() const { return objects_; }
  ui::PixelRect CanvasRect() const { return {canvasX_, canvasY_, canvasWidth_, canvasHeight_}; }
  const ui::Surface& surface() const { return *surface_; }

 private:
  int canvasX_ = 0;
  int canvasY_ = 0;
  int canvasWidth_;
  int canvasHeight_;
  std::unique_ptr<ui::Surface> surface_;
  std::vector<CUIObject*> objects_;
  bool dirty_ = true;
};

// The setters are cheap enough to call on every idle pass.

inline void CUIObject::MarkDirty() { manager_->SetDirty(); }

inline void CUIObject::SetRect(int x, int y, int width, int height) {
  if (x == x_ && y == y_ && width == width_ && height == height_) return;
  x_ = x;
  y_ = y;
  width_ = width;
  height_ = height;
  MarkDirty();
}

inline void CUIObject::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  MarkDirty();
}

inline void CUIProgress::SetProgress(float progress) {
  // NaN compares unequal to everything, so it always counts as a change.
  if (progress == progress_) return;
  progress_ = progress;
  MarkDirty();
}

inline void CUILabel::SetText(const std::wstring& text) {
  if (text == text_) return;
  text_ = text;
  MarkDirty();
}

inline void CUILabel::SetColor(std::uint32_t argb) {
  if (argb == color_) return;
  color_ = argb;
  MarkDirty();
}

inline void CUILabel::SetAlign(int alignment) {
  if (alignment == alignment_) return;
  alignment_ = alignment;
  MarkDirty();
}

inline void CUILabel::SetFontSize(int points) {
  if (points == fontSize_) return;
  fontSize_ = points;
  MarkDirty();
}
