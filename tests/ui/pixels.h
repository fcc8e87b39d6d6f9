#pragma once
// Test pictures written from code, and reading painted pixels.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "ui/painter.h"

namespace ui_testing {

inline constexpr std::uint32_t kRed = 0xFFFF0000;
inline constexpr std::uint32_t kGreen = 0xFF00FF00;
inline constexpr std::uint32_t kBlue = 0xFF0000FF;
inline constexpr std::uint32_t kNavy = 0xFF102040;
inline constexpr std::uint32_t kWhite = 0xFFFFFFFF;

// Writes an opaque 24-bit BMP file whose pixel (x, y) is colorAt(x, y) (0xAARRGGBB,
// alpha ignored).
void WriteBmp(const std::filesystem::path& path, int width, int height,
              const std::function<std::uint32_t(int x, int y)>& colorAt);
void WriteSolidBmp(const std::filesystem::path& path, int width, int height, std::uint32_t color);

// True when every channel of `actual` is within `tolerance` of `expected`.
testing::AssertionResult ColorNear(std::uint32_t actual, std::uint32_t expected,
                                   int tolerance = 12);

// A painted canvas read back from a surface.
class Canvas {
 public:
  Canvas(const ui::Surface& surface, int width, int height);

  std::uint32_t At(int x, int y) const;
  // The smallest rectangle holding every pixel that passes `isInk`; width 0 if none.
  ui::PixelRect InkBounds(const std::function<bool(std::uint32_t)>& isInk) const;
  int Count(const std::function<bool(std::uint32_t)>& predicate, const ui::PixelRect& area) const;

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  std::vector<std::uint32_t> pixels_;
  int width_;
  int height_;
};

// Light enough to be part of white text drawn on a dark picture.
bool IsWhiteInk(std::uint32_t pixel);

}  // namespace ui_testing
