// The launcher executable beside this test: its resources, its single-instance guard,
// and its refusal to run from a folder it cannot name.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/launcher_app.h"
#include "main/own_folder_check.h"
#include "platform/instance.h"

namespace {

namespace fs = std::filesystem;

// Generous: only a hang fails here.
constexpr DWORD kPatienceMs = 30000;

// Waits for the process to end and closes its handles; its exit code (STILL_ACTIVE
// when it hung and had to be ended).
DWORD FinishProcess(PROCESS_INFORMATION& process) {
  const DWORD waited = WaitForSingleObject(process.hProcess, kPatienceMs);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeProcess(process.hProcess, &exitCode);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

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
  EXPECT_EQ(FinishProcess(process), 0u);

  // The first one still holds the session's lock.
  platform::SingleInstance third;
  EXPECT_EQ(third.Acquire(kInstanceName), platform::SingleInstance::Result::AlreadyRunning);
}

constexpr char kWorkMarker[] = "not the launcher's";

// The form of a path that the wide file functions take at any length (folders are
// limited to 247 characters otherwise).
std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

// The shown top-level windows of one process with the given class. A message box is
// shown once its texts are in place.
std::vector<HWND> WindowsOf(DWORD processId, const wchar_t* className) {
  struct Search {
    DWORD processId;
    const wchar_t* className;
    std::vector<HWND> found;
  } search{processId, className, {}};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (owner == s->processId && std::wstring(name) == s->className && IsWindowVisible(window)) {
          s->found.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

// Whether a static control of `box` shows `text`.
bool ShowsText(HWND box, const std::wstring& text) {
  struct Search {
    const std::wstring& text;
    bool found;
  } search{text, false};
  EnumChildWindows(
      box,
      [](HWND child, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        s->found = s->found || TextOf(child) == s->text;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The first top-level window of the process with one of the two classes, or null when
// the process ended or nothing came in time.
HWND AwaitWindow(const PROCESS_INFORMATION& process, const wchar_t* classA, const wchar_t* classB) {
  const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
  while (GetTickCount64() < deadline) {
    for (const wchar_t* className : {classA, classB}) {
      const std::vector<HWND> found = WindowsOf(process.dwProcessId, className);
      if (!found.empty()) return found.front();
    }
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

bool SpelledByAnsiCodePage(const std::wstring& text) {
  if (GetACP() == CP_UTF8) return true;
  BOOL usedDefault = FALSE;
  return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr, &usedDefault) > 0 &&
         !usedDefault;
}

struct FolderCase {
  const char* label;
  // The folder below the test's own, ending in a separator, for the launcher's copy.
  std::wstring (*below)(const std::wstring& base);
  // Whether the launcher must refuse the folder (for its name); otherwise it starts
  // normally.
  bool refused;
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.label; }

// One folder level (below the 255 characters a name may have) that makes the
// launcher's full path `length` characters long.
std::wstring FolderForPathLength(const std::wstring& base, std::size_t length) {
  const std::size_t rest = std::wstring(L"\\launcher.exe").size();
  return base + std::wstring(length - base.size() - rest, L'x') + L"\\";
}

// A launcher started from `below(base)`, with a working folder of its own beside it.
class LauncherFolderTest : public testing::TestWithParam<FolderCase> {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    base_ = std::wstring(temp) + L"launcher-folder-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    folder_ = GetParam().below(base_);
    work_ = base_ + L"work\\";
    for (std::size_t end = folder_.find(L'\\', base_.size() - 1); end != std::wstring::npos;
         end = folder_.find(L'\\', end + 1)) {
      CreateDirectoryW(Extended(folder_.substr(0, end)).c_str(), nullptr);
    }
    ASSERT_TRUE(CreateDirectoryW(work_.c_str(), nullptr));
    // A launcher working here would overwrite and delete this with its writability probe.
    std::ofstream(fs::path(work_ + L"Check.dat")) << kWorkMarker;
    ASSERT_TRUE(CopyFileW(LauncherBesideThisTest().c_str(), Extended(folder_ + L"launcher.exe").c_str(), TRUE))
        << GetLastError();
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Extended(base_), ec);
  }

  // Starts the copy in its own working folder.
  void Start(PROCESS_INFORMATION* process) {
    const std::wstring exe = folder_ + L"launcher.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, work_.c_str(),
                               &startup, process))
        << GetLastError();
  }

  std::wstring base_, folder_, work_;
};

TEST_P(LauncherFolderTest, StartsOnlyFromAFolderItCanName) {
  if (GetParam().refused && SpelledByAnsiCodePage(folder_)) {
    GTEST_SKIP() << "this system's ANSI code page spells the folder's name";
  }
  PROCESS_INFORMATION process{};
  ASSERT_NO_FATAL_FAILURE(Start(&process));
  const HWND first = AwaitWindow(process, L"#32770", L"Launcher");
  wchar_t className[64] = {};
  if (first) GetClassNameW(first, className, 64);

  if (GetParam().refused) {
    EXPECT_EQ(std::wstring(className), L"#32770") << "no message box came";
    EXPECT_EQ(TextOf(first), kOwnFolderUnusableCaption);
    EXPECT_TRUE(ShowsText(first, kOwnFolderUnusableText));
    EXPECT_TRUE(WindowsOf(process.dwProcessId, L"Launcher").empty()) << "the main window came too";
  } else {
    EXPECT_EQ(std::wstring(className), L"Launcher") << "the launcher did not start";
  }
  if (first) PostMessageW(first, WM_CLOSE, 0, 0);
  EXPECT_EQ(FinishProcess(process), 0u);
  std::ifstream marker(fs::path(work_ + L"Check.dat"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(marker), {}), kWorkMarker)
      << "the launcher worked in the folder it was started from";
}

INSTANTIATE_TEST_SUITE_P(
    Folders, LauncherFolderTest,
    testing::Values(
        FolderCase{"PathOf259Characters", [](const std::wstring& base) { return FolderForPathLength(base, 259); },
                   false},
        FolderCase{"NameOutsideTheAnsiCodePage",
                   [](const std::wstring& base) { return base + L"\u6f22\u5b57-\u05d0\u0e01\\"; }, true}),
    [](const testing::TestParamInfo<FolderCase>& info) { return info.param.label; });

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
