#include "pixels.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "temp_folder.h"

namespace ui_testing {

namespace {

void PutLittleEndian(std::string* out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

int Channel(std::uint32_t color, int shift) { return static_cast<int>((color >> shift) & 0xFF); }

}  // namespace

void WriteBmp(const std::filesystem::path& path, int width, int height,
              const std::function<std::uint32_t(int x, int y)>& colorAt) {
  const int rowBytes = (width * 3 + 3) / 4 * 4;
  const std::uint32_t pixelBytes = static_cast<std::uint32_t>(rowBytes * height);
  std::string file = "BM";
  PutLittleEndian(&file, 54 + pixelBytes, 4);
  PutLittleEndian(&file, 0, 4);
  PutLittleEndian(&file, 54, 4);  // offset of the pixels
  PutLittleEndian(&file, 40, 4);  // BITMAPINFOHEADER
  PutLittleEndian(&file, static_cast<std::uint32_t>(width), 4);
  PutLittleEndian(&file, static_cast<std::uint32_t>(height), 4);  // positive: bottom-up rows
  PutLittleEndian(&file, 1, 2);
  PutLittleEndian(&file, 24, 2);
  PutLittleEndian(&file, 0, 4);  // BI_RGB
  PutLittleEndian(&file, pixelBytes, 4);
  PutLittleEndian(&file, 2835, 4);  // 72 dpi
  PutLittleEndian(&file, 2835, 4);
  PutLittleEndian(&file, 0, 4);
  PutLittleEndian(&file, 0, 4);
  for (int y = height - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < width; ++x) PutLittleEndian(&row, colorAt(x, y) & 0xFFFFFF, 3);
    row.resize(static_cast<std::size_t>(rowBytes), '\0');
    file += row;
  }
  testing_support::WriteFile(path, file);
}

void WriteSolidBmp(const std::filesystem::path& path, int width, int height, std::uint32_t color) {
  WriteBmp(path, width, height, [color](int, int) { return color; });
}

testing::AssertionResult ColorNear(std::uint32_t actual, std::uint32_t expected, int tolerance) {
  for (int shift : {24, 16, 8, 0}) {
    if (std::abs(Channel(actual, shift) - Channel(expected, shift)) > tolerance) {
      char text[64];
      std::snprintf(text, sizeof text, "0x%08X, expected 0x%08X", actual, expected);
      return testing::AssertionFailure() << text;
    }
  }
  return testing::AssertionSuccess();
}

Canvas::Canvas(const ui::Surface& surface, int width, int height)
    : pixels_(surface.ReadPixels()), width_(width), height_(height) {
  EXPECT_EQ(pixels_.size(), static_cast<std::size_t>(width) * height);
  pixels_.resize(static_cast<std::size_t>(width) * height);
}

std::uint32_t Canvas::At(int x, int y) const {
  return pixels_[static_cast<std::size_t>(y) * width_ + x];
}

ui::PixelRect Canvas::InkBounds(const std::function<bool(std::uint32_t)>& isInk) const {
  int left = width_, top = height_, right = -1, bottom = -1;
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      if (!isInk(At(x, y))) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) return {};
  return {left, top, right - left + 1, bottom - top + 1};
}

int Canvas::Count(const std::function<bool(std::uint32_t)>& predicate,
                  const ui::PixelRect& area) const {
  int count = 0;
  for (int y = area.y; y < area.y + area.height; ++y) {
    for (int x = area.x; x < area.x + area.width; ++x) count += predicate(At(x, y)) ? 1 : 0;
  }
  return count;
}

bool IsWhiteInk(std::uint32_t pixel) {
  return Channel(pixel, 16) >= 0xC0 && Channel(pixel, 8) >= 0xC0 && Channel(pixel, 0) >= 0xC0;
}

}  // namespace ui_testing
