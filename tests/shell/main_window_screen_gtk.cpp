#include <gtk/gtk.h>

#include "main_window_screen.h"

namespace shell_testing {

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

std::uint32_t ScreenPixel(NativeWindow window, int x, int y) {
  // Read from the X server: what is really on the screen, not what GTK holds.
  GdkWindow* native = gtk_widget_get_window(GTK_WIDGET(window));
  if (!native || !gdk_window_is_viewable(native)) return 0;
  GdkPixbuf* pixel = gdk_pixbuf_get_from_window(native, x, y, 1, 1);
  if (!pixel) return 0;
  const guint8* p = gdk_pixbuf_read_pixels(pixel);
  const std::uint32_t color = 0xFF000000u | (p[0] << 16) | (p[1] << 8) | p[2];
  g_object_unref(pixel);
  return color;
}

bool IsShown(NativeWindow window) { return gtk_widget_get_visible(GTK_WIDGET(window)); }

void Hide(NativeWindow window) { gtk_widget_hide(GTK_WIDGET(window)); }

}  // namespace shell_testing
