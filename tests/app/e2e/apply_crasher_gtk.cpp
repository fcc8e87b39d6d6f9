// The Linux launcher with one seam: the process ends abruptly right after an update has
// moved its first file into the client folder, as a crash or a power cut would end it.
#include <gtk/gtk.h>
#include <unistd.h>

#include <memory>

#include "app/launcher_app.h"

int main() {
  if (!gtk_init_check(nullptr, nullptr)) return 0;
  SetAfterMoveHookForTesting([](std::size_t moved) {
    if (moved == 1) _exit(3);
  });
  auto app = std::make_unique<CLauncherApp>();
  app->CreateMainWindow();
  app->Run();
  app->Teardown();
  return 0;
}
