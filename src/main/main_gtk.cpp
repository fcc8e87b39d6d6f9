// Process entry on Linux: a check of the launcher's own folder, one launcher per user
// session, the GTK main window, the loop, then the teardown in a fixed order. The exit
// code is 0 on every path.
#include <gtk/gtk.h>

#include <memory>

#include "app/launcher_app.h"
#include "main/own_folder_check.h"
#include "platform/instance.h"

int main() {
  // The launcher reads no command-line arguments.
  if (!gtk_init_check(nullptr, nullptr)) return 0;
  // Ahead of the lock, so that a launcher in a usable folder can start while this one's
  // message waits for the user.
  if (!CheckOwnFolder()) return 0;
  platform::SingleInstance instance;
  if (instance.Acquire(kInstanceName) == platform::SingleInstance::Result::AlreadyRunning) return 0;

  auto app = std::make_unique<CLauncherApp>();
  app->CreateMainWindow();
  app->Run();
  app->Teardown();
  app.reset();
  return 0;
}
