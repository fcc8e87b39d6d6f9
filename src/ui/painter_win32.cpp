// Painting with the GDI+ flat API. The surface starts GDI+ and shuts it down, so
// images and graphics exist only while a surface does.
// In this order: objidl.h declares what the GDI+ headers need but WIN32_LEAN_AND_MEAN
// leaves out of windows.h.
#include <windows.h>

#include <objidl.h>

#include <gdiplus.h>

#include "ui/painter.h"

namespace ui {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

bool DrawImageStretched(GpGraphics* graphics, GpImage* image, const PixelRect& destination,
                        const PixelRect& source) {
  return GdipDrawImageRectRectI(graphics, image, destination.x, destination.y, destination.width,
                                destination.height, source.x, source.y, source.width, source.height,
                                UnitPixel, nullptr, nullptr, nullptr) == Ok;
}

// The font for `style`, or one of the generic sans-serif family when the named family
// is not installed or has no such font; null if neither can be made.
GpFont* CreateLabelFont(const TextStyle& style) {
  GpFont* font = nullptr;
  GpFontFamily* family = nullptr;
  if (GdipCreateFontFamilyFromName(style.fontFamily.c_str(), nullptr, &family) == Ok) {
    if (GdipCreateFont(family, style.sizePoints, style.fontStyle, UnitPoint, &font) != Ok) {
      font = nullptr;
    }
    GdipDeleteFontFamily(family);
  }
  if (font) return font;
  family = nullptr;
  if (GdipGetGenericFontFamilySansSerif(&family) != Ok) return nullptr;
  if (GdipCreateFont(family, style.sizePoints, style.fontStyle, UnitPoint, &font) != Ok) {
    font = nullptr;
  }
  GdipDeleteFontFamily(family);
  return font;
}

}  // namespace

struct Image::Native {
  GpImage* image = nullptr;
};

Image::Image(const std::wstring& path) : native_(std::make_unique<Native>()) {
  if (GdipLoadImageFromFile(path.c_str(), &native_->image) != Ok) native_->image = nullptr;
}

Image::~Image() {
  if (native_->image) GdipDisposeImage(native_->image);
}

bool Image::IsEmpty() const { return native_->image == nullptr; }

std::uint32_t Image::Width() const {
  UINT width = 0;
  if (native_->image && GdipGetImageWidth(native_->image, &width) != Ok) width = 0;
  return width;
}

std::uint32_t Image::Height() const {
  UINT height = 0;
  if (native_->image && GdipGetImageHeight(native_->image, &height) != Ok) height = 0;
  return height;
}

struct Graphics::Native {
  GpGraphics* graphics = nullptr;
};

Graphics::Graphics(std::unique_ptr<Native> native) : native_(std::move(native)) {}

Graphics::~Graphics() {
  if (native_->graphics) GdipDeleteGraphics(native_->graphics);
}

void Graphics::DrawImage(const Image& image, const PixelRect& destination,
                         const PixelRect& source) {
  if (!native_->graphics || image.IsEmpty() || destination.width <= 0 || destination.height <= 0 ||
      source.width <= 0 || source.height <= 0) {
    return;
  }
  // A failed draw draws nothing and is not reported (the painter's contract).
  DrawImageStretched(native_->graphics, image.native_->image, destination, source);
}

void Graphics::DrawString(const std::wstring& text, const LayoutRect& layout,
                          const TextStyle& style) {
  if (!native_->graphics) return;
  GpFont* font = CreateLabelFont(style);
  GpSolidFill* brush = nullptr;
  if (GdipCreateSolidFill(style.argb, &brush) != Ok) brush = nullptr;
  GpStringFormat* format = nullptr;
  if (GdipCreateStringFormat(0, LANG_NEUTRAL, &format) != Ok) format = nullptr;
  if (format) GdipSetStringFormatAlign(format, static_cast<StringAlignment>(style.alignment));
  if (font && brush && format) {
    const RectF rect(layout.x, layout.y, layout.width, layout.height);
    GdipDrawString(native_->graphics, text.c_str(), -1, font, &rect, format, brush);
  }
  if (format) GdipDeleteStringFormat(format);
  if (brush) GdipDeleteBrush(brush);
  if (font) GdipDeleteFont(font);
}

struct Surface::Native {
  HWND window = nullptr;
  HDC dc = nullptr;
  GdiplusStartupInput startupInput;  // version 1, no debug callback, nothing suppressed
  ULONG_PTR startupToken = 0;
  bool started = false;
  GpGraphics* windowGraphics = nullptr;
  GpBitmap* backBuffer = nullptr;
  bool onScreen = false;
};

Surface::Surface(void* window, int width, int height) : native_(std::make_unique<Native>()) {
  Native& n = *native_;
  n.window = static_cast<HWND>(window);
  // GetDC of no window would be the whole screen: an off-screen surface takes no DC.
  if (n.window) n.dc = GetDC(n.window);
  n.started = GdiplusStartup(&n.startupToken, &n.startupInput, nullptr) == Ok;
  if (n.dc && GdipCreateFromHDC(n.dc, &n.windowGraphics) != Ok) n.windowGraphics = nullptr;
  if (GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppARGB, nullptr, &n.backBuffer) !=
      Ok) {
    n.backBuffer = nullptr;
  }
  auto graphics = std::make_unique<Graphics::Native>();
  if (n.backBuffer && GdipGetImageGraphicsContext(n.backBuffer, &graphics->graphics) != Ok) {
    graphics->graphics = nullptr;
  }
  graphics_.reset(new Graphics(std::move(graphics)));
}

Surface::~Surface() {
  Native& n = *native_;
  graphics_.reset();
  if (n.backBuffer) GdipDisposeImage(n.backBuffer);
  if (n.windowGraphics) GdipDeleteGraphics(n.windowGraphics);
  if (n.started) GdiplusShutdown(n.startupToken);
  if (n.dc) ReleaseDC(n.window, n.dc);
}

Graphics& Surface::BackBuffer() { return *graphics_; }

void Surface::Present() {
  Native& n = *native_;
  if (!n.windowGraphics || !n.backBuffer) return;
  RECT client{};
  GetClientRect(n.window, &client);
  UINT height = 0;
  UINT width = 0;
  GdipGetImageHeight(n.backBuffer, &height);
  GdipGetImageWidth(n.backBuffer, &width);
  const bool drawn = DrawImageStretched(
      n.windowGraphics, n.backBuffer,
      {client.left, client.top, client.right - client.left, client.bottom - client.top},
      {0, 0, static_cast<int>(width), static_cast<int>(height)});
  // Drawing on a hidden window reaches no screen.
  if (drawn && IsWindowVisible(n.window)) n.onScreen = true;
}

bool Surface::IsFrameOnScreen() const { return native_->onScreen; }

std::vector<std::uint32_t> Surface::ReadPixels() const {
  const Native& n = *native_;
  if (!n.backBuffer) return {};
  if (graphics_->native_->graphics) GdipFlush(graphics_->native_->graphics, FlushIntentionSync);
  UINT height = 0;
  UINT width = 0;
  GdipGetImageHeight(n.backBuffer, &height);
  GdipGetImageWidth(n.backBuffer, &width);
  const GpRect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
  BitmapData data{};
  if (GdipBitmapLockBits(n.backBuffer, &all, ImageLockModeRead, PixelFormat32bppARGB, &data) !=
      Ok) {
    return {};
  }
  std::vector<std::uint32_t> pixels;
  pixels.reserve(static_cast<std::size_t>(width) * height);
  for (UINT y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(
        static_cast<const BYTE*>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride);
    pixels.insert(pixels.end(), row, row + width);
  }
  GdipBitmapUnlockBits(n.backBuffer, &data);
  return pixels;
}

}  // namespace ui
