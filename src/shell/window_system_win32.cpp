// The main window on Win32: window class "Launcher", a PeekMessage queue and the
// window procedure, which reaches the application through its owner pointer.
#include <windows.h>

#include "shell/window_system.h"

namespace window_system {
namespace {

constexpr wchar_t kClassName[] = L"Launcher";
constexpr UINT_PTR kWakeTimer = 1;
constexpr WORD kIconGroup = 107;

// The application that owns the main window: one per process.
IMainWindowOwner* g_owner = nullptr;

HWND Handle(NativeWindow window) { return static_cast<HWND>(window); }

// Until the UI manager exists the window behaves as a plain one. Afterwards it never
// paints by itself (painting happens when the loop is idle) and every point counts as
// client area, so the caption and frame never move or size it.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  IMainWindowOwner* owner = g_owner;
  if (!owner || !owner->IsUIReady()) return DefWindowProcW(window, message, wparam, lparam);
  switch (message) {
    case WM_DESTROY:
      owner->OnMainWindowDestroyed();
      PostQuitMessage(0);
      return 0;
    case WM_SIZE:
    case WM_ERASEBKGND:
      owner->OnMainWindowDirty();
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_NCHITTEST:
      return HTCLIENT;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

NativeWindow CreateMainWindow(IMainWindowOwner* owner, const MainWindowParams& windowParams) {
  g_owner = owner;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconGroup));
  windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(kIconGroup));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);

  const platform::Rect& r = windowParams.rect;
  const DWORD hidden = windowParams.style & ~static_cast<DWORD>(WS_VISIBLE);
  return CreateWindowExW(0, kClassName, windowParams.title.c_str(), hidden, r.left, r.top, r.right - r.left,
                         r.bottom - r.top, nullptr, nullptr, instance, nullptr);
}

void ShowMainWindow(NativeWindow window) {
  // The process's show command is ignored: the window always opens normally.
  ShowWindow(Handle(window), SW_SHOWNORMAL);
  UpdateWindow(Handle(window));
}

NativeWindow PaintTarget(NativeWindow window) { return window; }

NativeWindow BrowserParent(NativeWindow window) { return window; }

QueuedMessage TakeMessage() {
  QueuedMessage taken;
  MSG message;
  if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return taken;
  if (message.message == WM_QUIT) {
    taken.kind = QueuedMessage::Kind::Quit;
    return taken;
  }
  // The wake-up timer only ends WaitMessage; whichever window it names, it is not
  // dispatched.
  if (message.message == WM_TIMER && message.wParam == kWakeTimer) {
    taken.kind = QueuedMessage::Kind::WakeTimer;
    return taken;
  }
  TranslateMessage(&message);
  DispatchMessageW(&message);
  taken.kind = QueuedMessage::Kind::Other;
  taken.window = message.hwnd;
  taken.message = message.message;
  taken.wparam = message.wParam;
  taken.lparam = message.lParam;
  return taken;
}

void WaitMessage() { ::WaitMessage(); }

void StartWakeTimer(NativeWindow window) { SetTimer(Handle(window), kWakeTimer, kWakeInterval, nullptr); }

void StopWakeTimer(NativeWindow window) { KillTimer(Handle(window), kWakeTimer); }

void DestroyWindow(NativeWindow window) { ::DestroyWindow(Handle(window)); }

void ShowErrorBox(NativeWindow owner, const std::wstring& text, const std::wstring& caption) {
  MessageBoxW(Handle(owner), text.c_str(), caption.c_str(), MB_ICONERROR);
}

platform::Rect GetClientRect(NativeWindow window) {
  RECT client{};
  ::GetClientRect(Handle(window), &client);
  return platform::Rect{client.left, client.top, client.right, client.bottom};
}

void GetScreenSize(int* width, int* height) {
  *width = GetSystemMetrics(SM_CXSCREEN);
  *height = GetSystemMetrics(SM_CYSCREEN);
}

}  // namespace window_system
