// The launcher as launcher.exe runs it, plus the login page's one call: Wine's browser
// control loads no page here, so once the loop runs this calls "fnEnterGame" on the
// browser's external object as the page's script would. A test-only program;
// launcher.exe reads no environment. Its environment:
//   LAUNCHER_TEST_PAGE_ARGUMENTS  the call's arguments in order, separated by U+001F;
//                                 "(none)" makes a call without any argument.
//   LAUNCHER_TEST_PAGE_LOCATION   when set, the control is first sent to this address
//                                 (a page of another origin), and the call waits until
//                                 the control reports it as its location.
//   LAUNCHER_TEST_CRASH_AFTER_STEPS N: the process ends at once with exit code 3 right
//                                 after an update's Nth step in the client folder (a
//                                 remove or a move), as a crash or a power cut would end it.
//   LAUNCHER_TEST_HOLD_FILE       PATH: this file is opened without sharing before the
//                                 launcher starts and stays open until the driver ends,
//                                 as a running game holds its files.
//   LAUNCHER_TEST_RELEASE_FILE    PATH: the held file is let go as soon as this file
//                                 exists, as a virus scanner lets go of a file it has read.
// Standard output gets "page location: URL" before the call, "page call returned" after
// it, "message box: TEXT" for each message box (Wine draws a box's text into no X window
// of its own, so the tests read it here) and "main window destroyed at MS" (Unix time in
// milliseconds, the sample game's clock) when the launcher destroys its window: Wine
// withdraws the X window only a while later. With LAUNCHER_TEST_HOLD_FILE it begins with
// "holding PATH" once the file is open, or "cannot hold PATH".
#include <windows.h>

#include <ole2.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/launcher_app.h"
#include "platform/instance.h"
#include "update/journal.h"
#include "web/web_browser_win32.h"

namespace {

constexpr UINT_PTR kPageCallTimer = 0x7E57;
constexpr UINT kPageCallDelayMs = 100;
// Timer ticks the call waits for the control to report the requested location (10 s);
// then it calls anyway, and "page location" tells where the control was.
constexpr int kLocationChecks = 100;
constexpr wchar_t kArgumentSeparator = L'\x1f';

CLauncherApp* g_app = nullptr;
bool g_navigated = false;
int g_locationChecks = 0;
HWND g_reportedBox = nullptr;
std::size_t g_crashAfterSteps = 0;

std::wstring Environment(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring text(size, L'\0');
  text.resize(GetEnvironmentVariableW(name, text.data(), size));
  return text;
}

void WriteLine(const std::wstring& text) {
  const std::wstring line = text + L"\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::vector<std::wstring> PageArguments() {
  const std::wstring text = Environment(L"LAUNCHER_TEST_PAGE_ARGUMENTS");
  if (text == L"(none)") return {};
  std::vector<std::wstring> arguments;
  std::size_t start = 0;
  for (std::size_t end = text.find(kArgumentSeparator); end != std::wstring::npos;
       end = text.find(kArgumentSeparator, start)) {
    arguments.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  arguments.push_back(text.substr(start));
  return arguments;
}

// window.external.fnEnterGame(arguments...), with the arguments in reverse order in
// DISPPARAMS as a script engine passes them.
void CallEnterGame(IDispatch* external) {
  LPOLESTR name = const_cast<LPOLESTR>(L"fnEnterGame");
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(external->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id))) return;
  const std::vector<std::wstring> texts = PageArguments();
  std::vector<VARIANT> arguments(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::wstring& text = texts[texts.size() - 1 - i];
    VariantInit(&arguments[i]);
    arguments[i].vt = VT_BSTR;
    arguments[i].bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  DISPPARAMS params{arguments.empty() ? nullptr : arguments.data(), nullptr, static_cast<UINT>(arguments.size()), 0};
  VARIANT result;
  VariantInit(&result);
  external->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  VariantClear(&result);
  for (VARIANT& argument : arguments) VariantClear(&argument);
}

// False while the control is still on its way to the requested page.
bool AtRequestedLocation(CLauncherApp::CWebBrowser* browser) {
  const std::wstring location = Environment(L"LAUNCHER_TEST_PAGE_LOCATION");
  if (location.empty()) return true;
  if (!g_navigated) {
    g_navigated = true;
    browser->Navigate(location);
    return false;
  }
  return browser->LocationUrl() == location || ++g_locationChecks >= kLocationChecks;
}

// The page's call, dispatched from the message loop as a page's script call is.
void CALLBACK CallThePage(HWND window, UINT, UINT_PTR timer, DWORD) {
  try {
    CLauncherApp::CWebBrowser* browser = g_app->Browser();
    if (browser && !AtRequestedLocation(browser)) return;
    KillTimer(window, timer);
    IDispatch* external = nullptr;
    if (!browser || FAILED(browser->GetExternal(&external))) return;
    WriteLine(L"page location: " + browser->LocationUrl());
    CallEnterGame(external);
    external->Release();
    WriteLine(L"page call returned");
  } catch (...) {
    WriteLine(L"page call failed");
  }
}

// Writes the first static control's text; stops the enumeration there.
BOOL CALLBACK WriteBoxText(HWND child, LPARAM) {
  try {
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    const int length = GetWindowTextLengthW(child);
    if (_wcsicmp(className, L"Static") != 0 || length == 0) return TRUE;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(child, text.data(), length + 1)));
    WriteLine(L"message box: " + text);
  } catch (...) {
    WriteLine(L"message box unreadable");
  }
  return FALSE;
}

// A message box is a dialog of class #32770 whose text is its one static control with a
// text; it is complete when it is activated.
void ReportMessageBox(HWND window) {
  wchar_t className[16] = {};
  if (window == g_reportedBox || !GetClassNameW(window, className, 16) || std::wcscmp(className, L"#32770") != 0) {
    return;
  }
  g_reportedBox = window;
  EnumChildWindows(window, &WriteBoxText, 0);
}

void ReportDestroyedMainWindow(HWND window) {
  if (!g_app || window != static_cast<HWND>(g_app->MainWindow())) return;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  WriteLine(L"main window destroyed at " +
            std::to_wstring(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()));
}

LRESULT CALLBACK WatchWindows(int code, WPARAM wParam, LPARAM lParam) {
  try {
    if (code == HCBT_ACTIVATE) ReportMessageBox(reinterpret_cast<HWND>(wParam));
    if (code == HCBT_DESTROYWND) ReportDestroyedMainWindow(reinterpret_cast<HWND>(wParam));
  } catch (...) {
    WriteLine(L"window watch failed");
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Ends the process without any cleanup, as a crash does: nothing after the step runs.
bool CrashAfterSteps(std::size_t done) {
  if (done == g_crashAfterSteps) TerminateProcess(GetCurrentProcess(), 3);
  return true;
}

void ArmCrashAfterSteps() {
  const std::wstring count = Environment(L"LAUNCHER_TEST_CRASH_AFTER_STEPS");
  if (count.empty()) return;
  g_crashAfterSteps = static_cast<std::size_t>(std::wcstoul(count.c_str(), nullptr, 10));
  SetAfterStepHookForTesting(&CrashAfterSteps);
}

// The held file's handle, or INVALID_HANDLE_VALUE when none is asked for or it cannot be opened.
HANDLE HoldFile() {
  const std::wstring path = Environment(L"LAUNCHER_TEST_HOLD_FILE");
  if (path.empty()) return INVALID_HANDLE_VALUE;
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  WriteLine((file == INVALID_HANDLE_VALUE ? L"cannot hold " : L"holding ") + path);
  return file;
}

// Closes the held file once the release file exists, or when the driver ends.
class HeldFileRelease {
 public:
  explicit HeldFileRelease(HANDLE file) : file_(file) {
    const std::wstring release = Environment(L"LAUNCHER_TEST_RELEASE_FILE");
    if (file_ == INVALID_HANDLE_VALUE || release.empty()) return;
    watcher_ = std::thread([this, release] {
      while (!ending_ && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
      Close();
    });
  }
  ~HeldFileRelease() {
    ending_ = true;
    if (watcher_.joinable()) watcher_.join();
    Close();
  }
  HeldFileRelease(const HeldFileRelease&) = delete;
  HeldFileRelease& operator=(const HeldFileRelease&) = delete;

 private:
  void Close() {
    const HANDLE file = file_.exchange(INVALID_HANDLE_VALUE);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }

  std::atomic<HANDLE> file_;
  std::atomic<bool> ending_{false};
  std::thread watcher_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::SingleInstance instance;
  if (instance.Acquire(kInstanceName) == platform::SingleInstance::Result::AlreadyRunning) return 0;
  const HeldFileRelease heldFile(HoldFile());
  ArmCrashAfterSteps();
  const bool oleReady = SUCCEEDED(OleInitialize(nullptr));
  const HHOOK windowWatch = SetWindowsHookExW(WH_CBT, &WatchWindows, nullptr, GetCurrentThreadId());

  auto app = std::make_unique<CLauncherApp>();
  g_app = app.get();
  app->CreateMainWindow();
  SetTimer(static_cast<HWND>(app->MainWindow()), kPageCallTimer, kPageCallDelayMs, &CallThePage);
  app->Run();
  app->Teardown();
  g_app = nullptr;
  app.reset();

  if (windowWatch) UnhookWindowsHookEx(windowWatch);
  if (oleReady) OleUninitialize();
  return 0;
}
