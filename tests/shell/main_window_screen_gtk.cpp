#include <gtk/gtk.h>

#include "main_window_screen.h"

namespace shell_testing {

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
