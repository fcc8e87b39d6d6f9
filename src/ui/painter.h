#pragma once
// The drawing backend of the UI objects: GDI+ on Windows; cairo, pango and gdk-pixbuf
// with a GTK drawing area on Linux. Both keep one contract: a failed call draws
// nothing and is not reported, so one bad picture or font never stops a paint.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ui {

// A rectangle in whole pixels, origin top left.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// A text layout rectangle in pixels.
struct LayoutRect {
  float x = 0;
  float y = 0;
  float width = 0;
  float height = 0;
};

// Font style bits (the GDI+ FontStyle values).
inline constexpr int kFontStyleRegular = 0;
inline constexpr int kFontStyleBold = 1;
inline constexpr int kFontStyleItalic = 2;
inline constexpr int kFontStyleUnderline = 4;
inline constexpr int kFontStyleStrikeout = 8;

// Horizontal text alignment (the GDI+ StringAlignment values).
inline constexpr int kAlignNear = 0;
inline constexpr int kAlignCenter = 1;
inline constexpr int kAlignFar = 2;

struct TextStyle {
  std::wstring fontFamily;
  float sizePoints = 0;  // one point is 96/72 pixels, as on a 96-dpi display
  int fontStyle = kFontStyleRegular;
  std::uint32_t argb = 0xFF000000;  // alpha in the top byte
  int alignment = kAlignNear;
};

// A picture loaded from a file. A failed load leaves an empty image: size 0 x 0,
// and drawing it does nothing. Images are loaded, drawn and destroyed while a Surface
// exists (on Windows the surface starts and stops GDI+).
class Image {
 public:
  // The path is used unchanged (relative paths are relative to the current folder).
  explicit Image(const std::wstring& path);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  bool IsEmpty() const;
  std::uint32_t Width() const;
  std::uint32_t Height() const;

 private:
  friend class Graphics;
  struct Native;
  std::unique_ptr<Native> native_;
};

// A drawing target: the back buffer of a Surface. Drawing blends over what is there.
class Graphics {
 public:
  ~Graphics();
  Graphics(const Graphics&) = delete;
  Graphics& operator=(const Graphics&) = delete;

  // Stretches the `source` part of `image` (in image pixels) over `destination`.
  // An empty image or an empty rectangle draws nothing.
  void DrawImage(const Image& image, const PixelRect& destination, const PixelRect& source);

  // Draws `text` inside `layout`: lines start at the top, align horizontally as
  // `style.alignment` says and wrap at words (breaking words wider than the
  // rectangle); what overhangs the rectangle is clipped (Wine's GDI+ still draws a last,
  // partly visible line whole). A font family that is not installed gives way to the
  // generic sans-serif family with the same size and style.
  void DrawString(const std::wstring& text, const LayoutRect& layout, const TextStyle& style);

 private:
  friend class Surface;
  struct Native;
  explicit Graphics(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

// The drawing surface of one window: a 32-bit ARGB back buffer of the canvas size and
// the copy of it onto the window.
//
// `window` is the native window: an HWND on Windows, a GtkDrawingArea (as GtkWidget*)
// on Linux. On Linux the surface connects the area's "draw" handler, which shows only
// the last presented frame, stretched to the area's allocation. A null window gives an
// off-screen surface: frames are drawn into the back buffer and shown nowhere.
class Surface {
 public:
  Surface(void* window, int width, int height);
  ~Surface();
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  Graphics& BackBuffer();

  // Shows the whole back buffer on the window's client area, stretched to fit, in one
  // copy.
  void Present();
  // Whether a presented frame has reached the screen, not merely the window: on Windows
  // once Present has copied one onto the visible window, on Linux once the area has
  // drawn one. Always false off-screen.
  bool IsFrameOnScreen() const;

  // The back buffer's pixels row by row from the top, each 0xAARRGGBB with straight
  // (not premultiplied) alpha; empty if the back buffer could not be created.
  std::vector<std::uint32_t> ReadPixels() const;

 private:
  struct Native;
  std::unique_ptr<Native> native_;
  std::unique_ptr<Graphics> graphics_;
};

}  // namespace ui
