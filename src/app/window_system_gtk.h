#pragma once
// The GTK side of the main window, for the browser host: the overlay that stacks
// the login page over the canvas.
#include <gtk/gtk.h>

#include "app/window_system.h"

namespace window_system {

GtkOverlay* OverlayOf(NativeWindow window);

}  // namespace window_system
