#include <gtk/gtk.h>

#include "test_window.h"

namespace ui_testing {

namespace {

void PumpPending() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

}  // namespace

void InitWindowSystem() {
  static const bool initialised = [] {
    // A GTK warning in these tests is a fault.
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    // No accessibility bus: it is not needed here and keeps its allocations until exit.
    g_setenv("NO_AT_BRIDGE", "1", TRUE);
    // Xvfb now and then drops a new connection at once when several clients connect
    // together; a later attempt gets through.
    for (int attempt = 0; attempt < 10; ++attempt) {
      if (gtk_init_check(nullptr, nullptr)) return true;
      g_usleep(50 * 1000);
    }
    return false;
  }();
  if (!initialised) g_error("GTK needs a display (DISPLAY)");
}

struct TestWindow::Native {
  GtkWidget* window = nullptr;
  GtkWidget* area = nullptr;
  int width = 0;
  int height = 0;
  bool destroyed = false;
};

TestWindow::TestWindow(int width, int height) : native_(std::make_unique<Native>()) {
  InitWindowSystem();
  native_->width = width;
  native_->height = height;
  native_->window = gtk_offscreen_window_new();
  native_->area = gtk_drawing_area_new();
  gtk_widget_set_size_request(native_->area, width, height);
  gtk_container_add(GTK_CONTAINER(native_->window), native_->area);
  gtk_widget_show_all(native_->window);
  PumpPending();
}

TestWindow::~TestWindow() { Destroy(); }

void* TestWindow::handle() const { return native_->area; }

std::uint32_t TestWindow::ClientPixel(int x, int y) {
  PumpPending();
  // What the area shows is what its "draw" handlers paint.
  cairo_surface_t* target =
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, native_->width, native_->height);
  cairo_t* cr = cairo_create(target);
  gtk_widget_draw(native_->area, cr);
  cairo_destroy(cr);
  cairo_surface_flush(target);
  const unsigned char* row =
      cairo_image_surface_get_data(target) + y * cairo_image_surface_get_stride(target);
  const std::uint32_t pixel = reinterpret_cast<const std::uint32_t*>(row)[x];
  cairo_surface_destroy(target);
  return 0xFF000000u | pixel;
}

void TestWindow::Destroy() {
  if (native_->destroyed) return;
  native_->destroyed = true;
  gtk_widget_destroy(native_->window);
  PumpPending();
}

}  // namespace ui_testing
