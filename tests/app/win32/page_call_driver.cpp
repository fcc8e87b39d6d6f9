// The launcher as launcher.exe runs it, plus the login page's one call: Wine's browser
// control loads no page here, so once the loop runs this calls "fnEnterGame" on the
// browser's external object as the page's script would, with the text of the
// environment variable LAUNCHER_TEST_PAGE_ARGUMENT. A test-only program; launcher.exe
// reads no environment.
#include <windows.h>

#include <ole2.h>

#include <memory>
#include <string>

#include "app/launcher_app.h"
#include "platform/instance.h"
#include "web/web_browser_win32.h"

namespace {

constexpr UINT_PTR kPageCallTimer = 0x7E57;
constexpr UINT kPageCallDelayMs = 100;

CLauncherApp* g_app = nullptr;

std::wstring PageArgument() {
  const DWORD size = GetEnvironmentVariableW(L"LAUNCHER_TEST_PAGE_ARGUMENT", nullptr, 0);
  if (size == 0) return {};
  std::wstring text(size, L'\0');
  text.resize(GetEnvironmentVariableW(L"LAUNCHER_TEST_PAGE_ARGUMENT", text.data(), size));
  return text;
}

// window.external.fnEnterGame(text), dispatched from the message loop as a page's
// script call is.
void CALLBACK CallThePage(HWND window, UINT, UINT_PTR timer, DWORD) {
  KillTimer(window, timer);
  CLauncherApp::CWebBrowser* browser = g_app->Browser();
  IDispatch* external = nullptr;
  if (!browser || FAILED(browser->GetExternal(&external))) return;
  LPOLESTR name = const_cast<LPOLESTR>(L"fnEnterGame");
  DISPID id = DISPID_UNKNOWN;
  if (SUCCEEDED(external->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id))) {
    const std::wstring text = PageArgument();
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    external->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    VariantClear(&result);
    VariantClear(&argument);
  }
  external->Release();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::SingleInstance instance;
  if (instance.Acquire(kInstanceName) == platform::SingleInstance::Result::AlreadyRunning) return 0;
  const bool oleReady = SUCCEEDED(OleInitialize(nullptr));

  auto app = std::make_unique<CLauncherApp>();
  g_app = app.get();
  app->CreateMainWindow();
  SetTimer(static_cast<HWND>(app->MainWindow()), kPageCallTimer, kPageCallDelayMs, &CallThePage);
  app->Run();
  app->Teardown();
  g_app = nullptr;
  app.reset();

  if (oleReady) OleUninitialize();
  return 0;
}
