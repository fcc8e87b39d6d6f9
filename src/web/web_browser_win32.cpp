// The login page on Windows: the system web browser control in a hidden child window
// of the main window, and the page's external object. Every COM method here answers
// with an HRESULT whatever happens in the launch it starts: nothing unwinds into the
// control.
#include "web/web_browser_win32.h"

#include <cwchar>

#include "platform/codepage.h"

namespace {

constexpr DISPID kFirstMethodId = 1000;
constexpr DWORD kHostUiFlags = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO | DOCHOSTUIFLAG_NO3DOUTERBORDER;

// The control's standards mode on Windows 8 and later; its default mode before.
int EmulationMode() {
  const DWORD version = GetVersion();
  const DWORD major = LOBYTE(LOWORD(version));
  const DWORD minor = HIBYTE(LOWORD(version));
  return major > 6 || (major == 6 && minor >= 2) ? 5 : 0;
}

// The argument as text in the ANSI code page: a string as it is, anything else
// through its conversion to a string (numbers give their decimal text). False when
// the value has no text, as null or an object without a default value.
bool ArgumentText(const VARIANT& argument, std::string* text) {
  VARIANT value;
  VariantInit(&value);
  // VariantCopyInd only reads its source; its declaration lacks the const.
  if (FAILED(VariantCopyInd(&value, const_cast<VARIANT*>(&argument)))) return false;
  if (value.vt != VT_BSTR && FAILED(VariantChangeType(&value, &value, 0, VT_BSTR))) {
    VariantClear(&value);
    return false;
  }
  const int length = value.bstrVal ? static_cast<int>(SysStringLen(value.bstrVal)) : 0;
  bool converted = true;
  text->clear();
  if (length > 0) {
    const int size = WideCharToMultiByte(CP_ACP, 0, value.bstrVal, length, nullptr, 0, nullptr, nullptr);
    converted = size > 0;
    if (converted) {
      text->resize(static_cast<std::size_t>(size));
      WideCharToMultiByte(CP_ACP, 0, value.bstrVal, length, text->data(), size, nullptr, nullptr);
    }
  }
  VariantClear(&value);
  return converted;
}

}  // namespace

CWebBrowser::CWebBrowser(IWebBrowserHost* host, const platform::Rect& rect) : host_(host) {
  SetBrowserEmulation(EmulationMode());
  const RECT area{rect.left, rect.top, rect.right, rect.bottom};
  hostWindow_ = CreateHostWindow(static_cast<HWND>(host->BrowserParent()), area, L"");
  if (Create(hostWindow_)) SetNotify(host);
  methods_.push_back({L"fnEnterGame", kFirstMethodId, &CWebBrowser::OnEnterGame});
}

CWebBrowser::~CWebBrowser() {
  CXWebBrowser2::Destroy();
  if (hostWindow_) DestroyWindow(hostWindow_);
}

STDMETHODIMP CWebBrowser::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (count == 0 || !names || !names[0] || !ids) return E_INVALIDARG;
  // Only the method name is resolved; argument names are left alone.
  for (const ExternalMethod& method : methods_) {
    if (_wcsicmp(names[0], method.name) == 0) {
      ids[0] = method.id;
      return S_OK;
    }
  }
  return E_INVALIDARG;
}

STDMETHODIMP CWebBrowser::Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
  try {
    const HRESULT eventResult =
        CXWebBrowser2::Invoke(id, iid, locale, flags, params, result, exception, argumentError);
    // A property read of a method name runs the method too: the call flags do not matter.
    if (id >= kFirstMethodId && id < kFirstMethodId + static_cast<DISPID>(methods_.size())) {
      return (this->*methods_[static_cast<std::size_t>(id - kFirstMethodId)].handler)(id, params, result);
    }
    return eventResult;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

STDMETHODIMP CWebBrowser::GetHostInfo(DOCHOSTUIINFO* info) {
  if (info) info->dwFlags |= kHostUiFlags;
  return S_OK;
}

STDMETHODIMP CWebBrowser::GetExternal(IDispatch** external) {
  if (!external) return E_POINTER;
  *external = static_cast<IDispatch*>(this);
  AddRef();
  return S_OK;
}

HRESULT CWebBrowser::OnEnterGame(DISPID, DISPPARAMS* params, VARIANT*) {
  if (!params || params->cArgs == 0 || !params->rgvarg) return S_OK;
  // The page is hidden during a run, but its script may still call again.
  if (host_->IsLaunching() || !host_->IsTrustedPage(LocationUrl())) return S_OK;
  // Arguments stand in reverse order: element 0 is the last one.
  std::string argument;
  if (!ArgumentText(params->rgvarg[0], &argument)) return S_OK;
  // The launcher's own canvas shows underneath while the launch runs.
  ShowWindow(hostWindow_, SW_HIDE);
  // The whole sequence runs inside this script call, pumping messages as it waits.
  host_->EnterGame(argument);
  return S_OK;
}

std::wstring CWebBrowser::LocationUrl() {
  BSTR location = nullptr;
  if (!WebBrowser() || FAILED(WebBrowser()->get_LocationURL(&location)) || !location) return {};
  std::wstring url(location, SysStringLen(location));
  SysFreeString(location);
  return url;
}

CWebBrowser* CreateWebBrowser(IWebBrowserHost* host, const platform::Rect& rect) {
  auto* browser = new CWebBrowser(host, rect);
  browser->Navigate(platform::NarrowToWide(host->LoginUrl(), platform::CodePage::Ansi));
  return browser;
}

void DeleteWebBrowser(CWebBrowser* browser) { delete browser; }

void ShowWebBrowser(CWebBrowser* browser) {
  browser->SubclassBrowserWindow();
  ShowWindow(browser->HostWindow(), SW_SHOW);
}
