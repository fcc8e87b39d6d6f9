// The main window on GTK: a fixed-size top-level window whose overlay stacks the
// login page over the canvas, and the loop's view of the GLib main context.
#include <gtk/gtk.h>

#include <cmath>

#include "platform/codepage.h"
#include "shell/window_system.h"

namespace window_system {
namespace {

// The loop's view of the GLib main context: a destroyed main window posts a quit,
// and the wake-up timer's dispatches count as its messages.
struct QueueState {
  IMainWindowOwner* owner = nullptr;
  bool quitPosted = false;
  bool timerFired = false;
  guint timer = 0;
};

QueueState& Queue() {
  static QueueState state;
  return state;
}

std::string Narrow(const std::wstring& text) { return platform::WideToNarrow(text, platform::CodePage::Utf8); }

void OnDestroy(GtkWidget*, gpointer) {
  QueueState& queue = Queue();
  if (queue.owner) queue.owner->OnMainWindowDestroyed();
  queue.quitPosted = true;
  if (queue.timer) g_source_remove(queue.timer);
  queue.timer = 0;
}

// The canvas keeps the UI manager's last frame; the background colour shows only
// while no frame exists yet.
gboolean OnFirstDraw(GtkWidget* widget, cairo_t* cr, gpointer) {
  GdkRGBA white{1, 1, 1, 1};
  gdk_cairo_set_source_rgba(cr, &white);
  cairo_paint(cr);
  g_signal_handlers_disconnect_by_func(widget, reinterpret_cast<gpointer>(OnFirstDraw), nullptr);
  return FALSE;
}

// Our application icon: a rounded play symbol on a dark tile.
GdkPixbuf* MakeIcon() {
  constexpr int kSize = 64;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSize, kSize);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 0.10, 0.14, 0.22);
  cairo_new_sub_path(cr);
  const double r = 12;
  cairo_arc(cr, kSize - r, r, r, -M_PI / 2, 0);
  cairo_arc(cr, kSize - r, kSize - r, r, 0, M_PI / 2);
  cairo_arc(cr, r, kSize - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, r, r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0.35, 0.78, 1.0);
  cairo_move_to(cr, 24, 16);
  cairo_line_to(cr, 50, 32);
  cairo_line_to(cr, 24, 48);
  cairo_close_path(cr);
  cairo_fill(cr);
  cairo_destroy(cr);
  GdkPixbuf* icon = gdk_pixbuf_get_from_surface(surface, 0, 0, kSize, kSize);
  cairo_surface_destroy(surface);
  return icon;
}

gboolean OnWakeTimer(gpointer) {
  Queue().timerFired = true;
  return G_SOURCE_CONTINUE;
}

GtkOverlay* OverlayOf(NativeWindow window) {
  return GTK_OVERLAY(g_object_get_data(G_OBJECT(window), "launcher-overlay"));
}

}  // namespace

NativeWindow CreateMainWindow(IMainWindowOwner* owner, const MainWindowParams& windowParams) {
  Queue().owner = owner;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), Narrow(windowParams.title).c_str());
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  GdkPixbuf* icon = MakeIcon();
  gtk_window_set_icon(GTK_WINDOW(window), icon);
  g_object_unref(icon);

  const int width = windowParams.rect.right - windowParams.rect.left;
  const int height = windowParams.rect.bottom - windowParams.rect.top;
  GtkWidget* overlay = gtk_overlay_new();
  GtkWidget* canvas = gtk_drawing_area_new();
  gtk_widget_set_size_request(canvas, width, height);
  g_signal_connect(canvas, "draw", G_CALLBACK(OnFirstDraw), nullptr);
  gtk_container_add(GTK_CONTAINER(overlay), canvas);
  gtk_container_add(GTK_CONTAINER(window), overlay);
  g_object_set_data(G_OBJECT(window), "launcher-overlay", overlay);
  g_object_set_data(G_OBJECT(window), "launcher-canvas", canvas);
  g_signal_connect(window, "destroy", G_CALLBACK(OnDestroy), nullptr);

  gtk_window_move(GTK_WINDOW(window), windowParams.rect.left, windowParams.rect.top);
  gtk_widget_show(canvas);
  gtk_widget_show(overlay);
  return window;
}

void ShowMainWindow(NativeWindow window) { gtk_widget_show(GTK_WIDGET(window)); }

NativeWindow PaintTarget(NativeWindow window) { return g_object_get_data(G_OBJECT(window), "launcher-canvas"); }

NativeWindow BrowserParent(NativeWindow window) { return OverlayOf(window); }

QueuedMessage TakeMessage() {
  QueueState& queue = Queue();
  QueuedMessage message;
  if (queue.quitPosted) {
    queue.quitPosted = false;
    message.kind = QueuedMessage::Kind::Quit;
    return message;
  }
  if (!g_main_context_pending(nullptr)) return message;
  queue.timerFired = false;
  g_main_context_iteration(nullptr, FALSE);
  message.kind = queue.timerFired ? QueuedMessage::Kind::WakeTimer : QueuedMessage::Kind::Other;
  return message;
}

void WaitMessage() {
  // Blocks until a source is ready and dispatches it; a quit it posts is taken by
  // the next TakeMessage.
  g_main_context_iteration(nullptr, TRUE);
}

void StartWakeTimer(NativeWindow) {
  QueueState& queue = Queue();
  if (!queue.timer) queue.timer = g_timeout_add(kWakeInterval, OnWakeTimer, nullptr);
}

void StopWakeTimer(NativeWindow) {
  QueueState& queue = Queue();
  if (queue.timer) g_source_remove(queue.timer);
  queue.timer = 0;
}

void DestroyWindow(NativeWindow window) {
  if (!window) return;
  gtk_widget_destroy(GTK_WIDGET(window));
  // The window must be gone from the screen before the launch goes on (the game
  // starts right after), not merely queued for destruction.
  if (GdkDisplay* display = gdk_display_get_default()) gdk_display_sync(display);
}

void ShowErrorBox(NativeWindow owner, const std::wstring& text, const std::wstring& caption) {
  GtkWidget* dialog = gtk_message_dialog_new(owner ? GTK_WINDOW(owner) : nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                             GTK_BUTTONS_OK, "%s", Narrow(text).c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), Narrow(caption).c_str());
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

platform::Rect GetClientRect(NativeWindow window) {
  GtkWidget* canvas = GTK_WIDGET(PaintTarget(window));
  int width = 0;
  int height = 0;
  gtk_widget_get_size_request(canvas, &width, &height);
  return platform::Rect{0, 0, width, height};
}

void GetScreenSize(int* width, int* height) {
  GdkRectangle area{0, 0, 0, 0};
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
  if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
  if (monitor) gdk_monitor_get_geometry(monitor, &area);
  *width = area.width;
  *height = area.height;
}

}  // namespace window_system
