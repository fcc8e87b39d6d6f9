// The Linux launcher with one seam: the process ends abruptly right after an update's
// first step in the client folder (a remove or a move), as a crash or a power cut would
// end it.
#include <gtk/gtk.h>
#include <unistd.h>

#include <memory>

#include "app/launcher_app.h"

int main() {
  if (!gtk_init_check(nullptr, nullptr)) return 0;
  SetAfterStepHookForTesting([](std::size_t done) {
    if (done == 1) _exit(3);
    return true;
  });
  auto app = std::make_unique<CLauncherApp>();
  app->CreateMainWindow();
  app->Run();
  app->Teardown();
  return 0;
}
