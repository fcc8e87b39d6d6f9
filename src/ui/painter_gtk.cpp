// Painting with cairo: images through gdk-pixbuf, text through pango, and the window
// side through a GtkDrawingArea whose "draw" handler shows the last presented frame.
// Only the window side needs a display; everything else works off-screen.
#include <gtk/gtk.h>
#include <pango/pangocairo.h>

#include "platform/codepage.h"
#include "ui/painter.h"

namespace ui {

namespace {

// One point is 1/72 inch; GDI+ on a 96-dpi display draws 96/72 pixels per point.
constexpr double kPixelsPerPoint = 96.0 / 72.0;

PangoAlignment ToPangoAlignment(int alignment) {
  switch (alignment) {
    case kAlignCenter:
      return PANGO_ALIGN_CENTER;
    case kAlignFar:
      return PANGO_ALIGN_RIGHT;
    default:
      return PANGO_ALIGN_LEFT;
  }
}

PangoFontDescription* CreateFontDescription(const TextStyle& style) {
  PangoFontDescription* font = pango_font_description_new();
  // A family list: fontconfig takes the first installed one, so a missing family
  // gives way to the generic sans-serif family.
  const std::string families =
      platform::WideToNarrow(style.fontFamily, platform::CodePage::Utf8) + ",sans-serif";
  pango_font_description_set_family(font, families.c_str());
  pango_font_description_set_absolute_size(font, style.sizePoints * kPixelsPerPoint * PANGO_SCALE);
  if (style.fontStyle & kFontStyleBold) pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
  if (style.fontStyle & kFontStyleItalic)
    pango_font_description_set_style(font, PANGO_STYLE_ITALIC);
  return font;
}

PangoAttrList* CreateLineAttributes(int fontStyle) {
  PangoAttrList* attributes = pango_attr_list_new();
  if (fontStyle & kFontStyleUnderline) {
    pango_attr_list_insert(attributes, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
  }
  if (fontStyle & kFontStyleStrikeout) {
    pango_attr_list_insert(attributes, pango_attr_strikethrough_new(TRUE));
  }
  return attributes;
}

void SetSourceArgb(cairo_t* cr, std::uint32_t argb) {
  const auto channel = [argb](int shift) { return ((argb >> shift) & 0xFF) / 255.0; };
  cairo_set_source_rgba(cr, channel(16), channel(8), channel(0), channel(24));
}

std::uint32_t Unpremultiply(std::uint32_t pixel) {
  const std::uint32_t alpha = pixel >> 24;
  if (alpha == 0 || alpha == 255) return alpha == 0 ? 0 : pixel;
  const auto channel = [&](int shift) {
    const std::uint32_t value = (pixel >> shift) & 0xFF;
    return ((value * 255 + alpha / 2) / alpha) << shift;
  };
  return (alpha << 24) | channel(16) | channel(8) | channel(0);
}

// The pixbuf's pixels as a premultiplied ARGB surface. Converted here rather than
// with GDK, which would need a display.
cairo_surface_t* SurfaceFromPixbuf(const GdkPixbuf* pixbuf) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return surface;
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool hasAlpha = gdk_pixbuf_get_has_alpha(pixbuf);
  const int sourceStride = gdk_pixbuf_get_rowstride(pixbuf);
  const guint8* source = gdk_pixbuf_read_pixels(pixbuf);
  unsigned char* target = cairo_image_surface_get_data(surface);
  const int targetStride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(target + y * targetStride);
    for (int x = 0; x < width; ++x) {
      const guint8* p = source + y * sourceStride + x * channels;
      const std::uint32_t alpha = hasAlpha ? p[3] : 255;
      const auto premultiplied = [alpha](std::uint32_t value) {
        return (value * alpha + 127) / 255;
      };
      row[x] = (alpha << 24) | (premultiplied(p[0]) << 16) | (premultiplied(p[1]) << 8) |
               premultiplied(p[2]);
    }
  }
  cairo_surface_mark_dirty(surface);
  return surface;
}

}  // namespace

struct Image::Native {
  cairo_surface_t* surface = nullptr;
};

Image::Image(const std::wstring& path) : native_(std::make_unique<Native>()) {
  const std::string file = platform::WideToNarrow(path, platform::CodePage::Utf8);
  GError* error = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(file.c_str(), &error);
  if (!pixbuf) {
    g_clear_error(&error);
    return;
  }
  // Converted once, so that every draw is a plain cairo paint.
  native_->surface = SurfaceFromPixbuf(pixbuf);
  g_object_unref(pixbuf);
  if (cairo_surface_status(native_->surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(native_->surface);
    native_->surface = nullptr;
  }
}

Image::~Image() {
  if (native_->surface) cairo_surface_destroy(native_->surface);
}

bool Image::IsEmpty() const { return native_->surface == nullptr; }

std::uint32_t Image::Width() const {
  return native_->surface ? cairo_image_surface_get_width(native_->surface) : 0;
}

std::uint32_t Image::Height() const {
  return native_->surface ? cairo_image_surface_get_height(native_->surface) : 0;
}

struct Graphics::Native {
  cairo_t* cr = nullptr;
};

Graphics::Graphics(std::unique_ptr<Native> native) : native_(std::move(native)) {}

Graphics::~Graphics() { cairo_destroy(native_->cr); }

void Graphics::DrawImage(const Image& image, const PixelRect& destination,
                         const PixelRect& source) {
  if (image.IsEmpty() || destination.width <= 0 || destination.height <= 0 || source.width <= 0 ||
      source.height <= 0) {
    return;
  }
  cairo_t* cr = native_->cr;
  cairo_save(cr);
  cairo_rectangle(cr, destination.x, destination.y, destination.width, destination.height);
  cairo_clip(cr);
  cairo_translate(cr, destination.x, destination.y);
  cairo_scale(cr, static_cast<double>(destination.width) / source.width,
              static_cast<double>(destination.height) / source.height);
  cairo_set_source_surface(cr, image.native_->surface, -source.x, -source.y);
  // Padding keeps the edges crisp when scaling instead of fading them into nothing.
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_rectangle(cr, 0, 0, source.width, source.height);
  cairo_fill(cr);
  cairo_restore(cr);
}

void Graphics::DrawString(const std::wstring& text, const LayoutRect& layout,
                          const TextStyle& style) {
  cairo_t* cr = native_->cr;
  cairo_save(cr);
  cairo_rectangle(cr, layout.x, layout.y, layout.width, layout.height);
  cairo_clip(cr);

  PangoLayout* pango = pango_cairo_create_layout(cr);
  PangoFontDescription* font = CreateFontDescription(style);
  PangoAttrList* attributes = CreateLineAttributes(style.fontStyle);
  const std::string utf8 = platform::WideToNarrow(text, platform::CodePage::Utf8);
  pango_layout_set_font_description(pango, font);
  pango_layout_set_attributes(pango, attributes);
  pango_layout_set_width(pango, static_cast<int>(layout.width * PANGO_SCALE));
  pango_layout_set_wrap(pango, PANGO_WRAP_WORD_CHAR);
  pango_layout_set_alignment(pango, ToPangoAlignment(style.alignment));
  pango_layout_set_text(pango, utf8.c_str(), static_cast<int>(utf8.size()));

  SetSourceArgb(cr, style.argb);
  cairo_move_to(cr, layout.x, layout.y);
  pango_cairo_show_layout(cr, pango);

  pango_attr_list_unref(attributes);
  pango_font_description_free(font);
  g_object_unref(pango);
  cairo_restore(cr);
}

namespace {

// What the area's "draw" handler shows: the back buffer once a frame is presented.
struct Frame {
  cairo_surface_t* backBuffer = nullptr;
  int width = 0;
  int height = 0;
  bool presented = false;
  bool onScreen = false;
};

// The area shows nothing of its own until the first frame is presented.
gboolean OnDraw(GtkWidget* widget, cairo_t* cr, gpointer data) {
  auto* frame = static_cast<Frame*>(data);
  if (!frame->presented || frame->width <= 0 || frame->height <= 0) return FALSE;
  // GDK sends what is drawn here to the display before the main loop waits again.
  frame->onScreen = true;
  cairo_save(cr);
  cairo_scale(cr, static_cast<double>(gtk_widget_get_allocated_width(widget)) / frame->width,
              static_cast<double>(gtk_widget_get_allocated_height(widget)) / frame->height);
  cairo_set_source_surface(cr, frame->backBuffer, 0, 0);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_paint(cr);
  cairo_restore(cr);
  return TRUE;
}

}  // namespace

struct Surface::Native {
  GtkWidget* area = nullptr;  // referenced, so that it outlives the handler
  Frame frame;
};

Surface::Surface(void* window, int width, int height) : native_(std::make_unique<Native>()) {
  Frame& frame = native_->frame;
  frame.width = width;
  frame.height = height;
  frame.backBuffer = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  auto graphics = std::make_unique<Graphics::Native>();
  graphics->cr = cairo_create(frame.backBuffer);
  graphics_.reset(new Graphics(std::move(graphics)));
  if (window) {
    native_->area = GTK_WIDGET(g_object_ref(window));
    g_signal_connect(native_->area, "draw", G_CALLBACK(OnDraw), &frame);
  }
}

Surface::~Surface() {
  graphics_.reset();
  if (native_->area) {
    // The handler is gone already if the area was destroyed with its window.
    g_signal_handlers_disconnect_by_data(native_->area, &native_->frame);
    g_object_unref(native_->area);
  }
  cairo_surface_destroy(native_->frame.backBuffer);
}

Graphics& Surface::BackBuffer() { return *graphics_; }

void Surface::Present() {
  cairo_surface_flush(native_->frame.backBuffer);
  native_->frame.presented = true;
  if (native_->area) gtk_widget_queue_draw(native_->area);
}

bool Surface::IsFrameOnScreen() const { return native_->frame.onScreen; }

std::vector<std::uint32_t> Surface::ReadPixels() const {
  const Frame& frame = native_->frame;
  cairo_surface_t* buffer = frame.backBuffer;
  if (cairo_surface_status(buffer) != CAIRO_STATUS_SUCCESS) return {};
  cairo_surface_flush(buffer);
  const unsigned char* data = cairo_image_surface_get_data(buffer);
  const int stride = cairo_image_surface_get_stride(buffer);
  std::vector<std::uint32_t> pixels;
  pixels.reserve(static_cast<std::size_t>(frame.width) * frame.height);
  for (int y = 0; y < frame.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
    for (int x = 0; x < frame.width; ++x) pixels.push_back(Unpremultiply(row[x]));
  }
  return pixels;
}

}  // namespace ui
