// The launcher executable beside this test: its resources and its single-instance
// guard.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/launcher_app.h"
#include "platform/instance.h"

namespace {

std::wstring LauncherBesideThisTest() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  folder.resize(folder.find_last_of(L"\\/") + 1);
  return folder + L"launcher.exe";
}

TEST(SingleInstance, ASecondLauncherExitsAtOnceWithCodeZero) {
  platform::SingleInstance first;
  ASSERT_EQ(first.Acquire(kInstanceName), platform::SingleInstance::Result::Acquired);

  std::wstring commandLine = L"\"" + LauncherBesideThisTest() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process))
      << GetLastError();
  // Generous: only a hang fails here.
  const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeProcess(process.hProcess, &exitCode);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(exitCode, 0u);

  // The first one still holds the session's lock.
  platform::SingleInstance third;
  EXPECT_EQ(third.Acquire(kInstanceName), platform::SingleInstance::Result::AlreadyRunning);
}

TEST(LauncherResources, IconGroup107AndTheManifest) {
  const HMODULE module = LoadLibraryExW(LauncherBesideThisTest().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(107), RT_GROUP_ICON), nullptr);
  EXPECT_NE(LoadImageW(module, MAKEINTRESOURCEW(107), IMAGE_ICON, 16, 16, 0), nullptr);
  EXPECT_NE(LoadImageW(module, MAKEINTRESOURCEW(107), IMAGE_ICON, 32, 32, 0), nullptr);

  const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
  const std::string manifest(bytes, SizeofResource(module, found));
  EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(uiAccess="false")"), std::string::npos);
  EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
  FreeLibrary(module);
}

}  // namespace
