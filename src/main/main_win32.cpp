// Process entry on Windows: a check of the launcher's own folder, one launcher per
// logon session, an OLE apartment for the browser control, the main window and its
// loop, then the teardown in a fixed order. The exit code is 0 on every path.
#include <windows.h>

#include <ole2.h>

#include <memory>

#include "app/launcher_app.h"
#include "main/own_folder_check.h"
#include "platform/instance.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Ahead of the lock, so that a launcher in a usable folder can start while this one's
  // message waits for the user.
  if (!CheckOwnFolder()) return 0;
  // Owned until the process ends; without the lock the launcher still starts.
  platform::SingleInstance instance;
  if (instance.Acquire(kInstanceName) == platform::SingleInstance::Result::AlreadyRunning) return 0;
  const bool oleReady = SUCCEEDED(OleInitialize(nullptr));

  auto app = std::make_unique<CLauncherApp>();
  app->CreateMainWindow();
  app->Run();
  app->Teardown();
  app.reset();

  if (oleReady) OleUninitialize();
  return 0;
}
