#include "web/xweb_browser_win32.h"

#include <psapi.h>
#include <servprov.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <cwchar>
#include <map>

namespace {

constexpr wchar_t kHostWindowClass[] = L"QMTinyWnd";
constexpr wchar_t kFeatureControlKey[] = L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl";
constexpr wchar_t kEmulationKey[] =
    L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";
constexpr wchar_t kScriptUrlMitigationKey[] =
    L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_SCRIPTURL_MITIGATION";

// Which browser owns a subclassed document window; the subclass procedure's only way
// back to its object.
std::map<HWND, CXWebBrowser*>& SubclassRegistry() {
  static std::map<HWND, CXWebBrowser*> registry;
  return registry;
}

// A per-user key created volatile when missing, so nothing outlives the session
// unless the key existed before.
class FeatureKey {
 public:
  explicit FeatureKey(const wchar_t* path) {
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~FeatureKey() {
    if (key_) RegCloseKey(key_);
  }
  FeatureKey(const FeatureKey&) = delete;
  FeatureKey& operator=(const FeatureKey&) = delete;

  bool IsOpen() const { return key_ != nullptr; }
  bool SetDword(const wchar_t* name, DWORD value) {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
  }

 private:
  HKEY key_ = nullptr;
};

DWORD EmulationValue(int mode) {
  switch (mode) {
    case 1:
      return 7000;
    case 2:
      return 8888;
    case 3:
      return 9999;
    case 4:
      return 10001;
    case 5:
      return 11001;
    default:
      return 0;
  }
}

HWND FindChildByClass(HWND parent, const wchar_t* className) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[260] = {};
    GetClassNameW(child, name, 260);
    if (std::wcscmp(name, className) == 0) return child;
  }
  return nullptr;
}

}  // namespace

CXWebBrowser::~CXWebBrowser() { CXWebBrowser::Destroy(); }

// ---- IUnknown

STDMETHODIMP CXWebBrowser::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_DWebBrowserEvents2) {
    *object = static_cast<IDispatch*>(this);
  } else if (iid == IID_IOleClientSite) {
    *object = static_cast<IOleClientSite*>(this);
  } else if (iid == IID_IOleInPlaceSite) {
    *object = static_cast<IOleInPlaceSite*>(this);
  } else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame) {
    *object = static_cast<IOleInPlaceFrame*>(this);
  } else if (iid == IID_IDocHostUIHandler) {
    *object = static_cast<IDocHostUIHandler*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CXWebBrowser::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

STDMETHODIMP_(ULONG) CXWebBrowser::Release() { return static_cast<ULONG>(InterlockedDecrement(&references_)); }

// ---- IDispatch

STDMETHODIMP CXWebBrowser::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return S_OK;
}

// ---- IOleClientSite

STDMETHODIMP CXWebBrowser::SaveObject() { return S_OK; }
STDMETHODIMP CXWebBrowser::GetMoniker(DWORD, DWORD, IMoniker**) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::GetContainer(IOleContainer**) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::ShowObject() { return S_OK; }
STDMETHODIMP CXWebBrowser::OnShowWindow(BOOL) { return S_OK; }
STDMETHODIMP CXWebBrowser::RequestNewObjectLayout() { return S_OK; }

// ---- IOleWindow

STDMETHODIMP CXWebBrowser::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = hostWindow_;
  return hostWindow_ ? S_OK : E_FAIL;
}

STDMETHODIMP CXWebBrowser::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

// ---- IOleInPlaceSite

STDMETHODIMP CXWebBrowser::CanInPlaceActivate() { return S_OK; }
STDMETHODIMP CXWebBrowser::OnInPlaceActivate() { return S_OK; }
STDMETHODIMP CXWebBrowser::OnUIActivate() { return S_OK; }

STDMETHODIMP CXWebBrowser::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                            RECT* position, RECT* clip, OLEINPLACEFRAMEINFO* frameInfo) {
  if (!frame || !document || !position || !clip || !frameInfo) return E_POINTER;
  *frame = static_cast<IOleInPlaceFrame*>(this);
  AddRef();
  *document = static_cast<IOleInPlaceFrame*>(this);
  AddRef();
  ::GetClientRect(hostWindow_, position);
  *clip = *position;
  frameInfo->cb = sizeof(OLEINPLACEFRAMEINFO);
  frameInfo->fMDIApp = FALSE;
  frameInfo->hwndFrame = hostWindow_;
  frameInfo->haccel = nullptr;
  frameInfo->cAccelEntries = 0;
  return S_OK;
}

STDMETHODIMP CXWebBrowser::Scroll(SIZE) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::OnUIDeactivate(BOOL) { return S_OK; }
STDMETHODIMP CXWebBrowser::OnInPlaceDeactivate() { return S_OK; }
STDMETHODIMP CXWebBrowser::DiscardUndoState() { return S_OK; }
STDMETHODIMP CXWebBrowser::DeactivateAndUndo() { return S_OK; }
STDMETHODIMP CXWebBrowser::OnPosRectChange(LPCRECT) { return S_OK; }

// ---- IOleInPlaceUIWindow, IOleInPlaceFrame

STDMETHODIMP CXWebBrowser::GetBorder(LPRECT border) {
  if (!border) return E_POINTER;
  ::GetClientRect(hostWindow_, border);
  return S_OK;
}

STDMETHODIMP CXWebBrowser::RequestBorderSpace(LPCBORDERWIDTHS) { return S_OK; }
STDMETHODIMP CXWebBrowser::SetBorderSpace(LPCBORDERWIDTHS) { return S_OK; }
STDMETHODIMP CXWebBrowser::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) { return S_OK; }
STDMETHODIMP CXWebBrowser::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::SetMenu(HMENU, HOLEMENU, HWND) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::RemoveMenus(HMENU) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::SetStatusText(LPCOLESTR) { return S_OK; }
STDMETHODIMP CXWebBrowser::EnableModeless(BOOL) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::TranslateAccelerator(LPMSG, WORD) { return S_OK; }

// ---- IDocHostUIHandler

// Claiming the menu keeps the control's context menu away.
STDMETHODIMP CXWebBrowser::ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) { return S_OK; }
STDMETHODIMP CXWebBrowser::GetHostInfo(DOCHOSTUIINFO*) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                                  IOleInPlaceUIWindow*) {
  return E_NOTIMPL;
}
STDMETHODIMP CXWebBrowser::HideUI() { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::UpdateUI() { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::OnDocWindowActivate(BOOL) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::OnFrameWindowActivate(BOOL) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::TranslateAccelerator(LPMSG, const GUID*, DWORD) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::GetOptionKeyPath(LPOLESTR*, DWORD) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::GetDropTarget(IDropTarget*, IDropTarget**) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::GetExternal(IDispatch**) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::TranslateUrl(DWORD, LPWSTR, LPWSTR*) { return E_NOTIMPL; }
STDMETHODIMP CXWebBrowser::FilterDataObject(IDataObject*, IDataObject**) { return E_NOTIMPL; }

// ---- Host operations

HWND CXWebBrowser::CreateHostWindow(HWND parent, const RECT& rect, const std::wstring& title) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kHostWindowClass;
  // A second registration fails harmlessly.
  RegisterClassExW(&windowClass);
  return CreateWindowExW(0, kHostWindowClass, title.c_str(), WS_CHILD, rect.left, rect.top, rect.right - rect.left,
                         rect.bottom - rect.top, parent, nullptr, instance, nullptr);
}

bool CXWebBrowser::SetBrowserEmulation(int mode) {
  // The parent first, so that it too is volatile when it was missing.
  { FeatureKey featureControl{kFeatureControlKey}; }
  wchar_t name[64] = {};
  // The values are per executable: the file name is the value name.
  if (GetModuleBaseNameW(GetCurrentProcess(), nullptr, name, 64) == 0) return false;
  bool written = false;
  {
    FeatureKey emulation{kEmulationKey};
    if (emulation.IsOpen()) written = emulation.SetDword(name, EmulationValue(mode));
  }
  FeatureKey mitigation{kScriptUrlMitigationKey};
  if (!mitigation.IsOpen()) return written;
  return mitigation.SetDword(name, 1);
}

BOOL CXWebBrowser::Create(HWND host) {
  if (!oleInitialized_) oleInitialized_ = SUCCEEDED(OleInitialize(nullptr));
  if (!host || !IsWindow(host)) return FALSE;
  references_ = 0;
  hostWindow_ = host;

  if (FAILED(StgCreateDocfile(nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, storage_.Put()))) {
    return FALSE;
  }
  IOleClientSite* site = static_cast<IOleClientSite*>(this);
  if (FAILED(OleCreate(CLSID_WebBrowser, IID_IOleObject, OLERENDER_DRAW, nullptr, site, storage_.Get(),
                       oleObject_.PutVoid()))) {
    storage_.Reset();
    return FALSE;
  }
  OleSetContainedObject(oleObject_.Get(), FALSE);

  RECT client{};
  const bool attached =
      SUCCEEDED(inPlaceObject_.QueryFrom(oleObject_.Get(), IID_IOleInPlaceObject)) &&
      SUCCEEDED(webBrowser_.QueryFrom(oleObject_.Get(), IID_IWebBrowser2)) && ::GetClientRect(host, &client) &&
      SUCCEEDED(oleObject_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, host, &client)) &&
      SUCCEEDED(connectionPointContainer_.QueryFrom(webBrowser_.Get(), IID_IConnectionPointContainer)) &&
      SUCCEEDED(connectionPointContainer_->FindConnectionPoint(DIID_DWebBrowserEvents2, connectionPoint_.Put())) &&
      SUCCEEDED(connectionPoint_->Advise(static_cast<IDispatch*>(this), &adviseCookie_));
  if (attached) return TRUE;

  connectionPoint_.Reset();
  connectionPointContainer_.Reset();
  webBrowser_.Reset();
  inPlaceObject_.Reset();
  ReleaseControl();
  storage_.Reset();
  return FALSE;
}

void CXWebBrowser::ReleaseControl() {
  if (!oleObject_) return;
  oleObject_->SetClientSite(nullptr);
  oleObject_->Close(OLECLOSE_NOSAVE);
  CoDisconnectObject(oleObject_.Get(), 0);
  oleObject_.Reset();
}

void CXWebBrowser::Destroy() {
  if (serverWindow_) {
    if (IsWindow(serverWindow_)) SetWindowLongPtrW(serverWindow_, GWLP_WNDPROC, previousWindowProc_);
    auto& registry = SubclassRegistry();
    for (auto entry = registry.begin(); entry != registry.end();) {
      entry = entry->second == this ? registry.erase(entry) : std::next(entry);
    }
    serverWindow_ = nullptr;
    previousWindowProc_ = 0;
  }
  if (connectionPoint_) connectionPoint_->Unadvise(adviseCookie_);
  adviseCookie_ = 0;
  connectionPoint_.Reset();
  connectionPointContainer_.Reset();
  if (webBrowser_) webBrowser_->ExecWB(OLECMDID_CLOSE, OLECMDEXECOPT_DONTPROMPTUSER, nullptr, nullptr);
  webBrowser_.Reset();
  inPlaceObject_.Reset();
  ReleaseControl();
  storage_.Reset();
  if (oleInitialized_) OleUninitialize();
  oleInitialized_ = false;
}

bool CXWebBrowser::Navigate(const std::wstring& url) {
  if (!webBrowser_) return false;
  VARIANT target;
  VariantInit(&target);
  target.vt = VT_BSTR;
  target.bstrVal = SysAllocStringLen(url.data(), static_cast<UINT>(url.size()));
  if (!target.bstrVal) return false;
  VARIANT flags;
  VariantInit(&flags);
  flags.vt = VT_I4;
  flags.lVal = navNoReadFromCache | navNoWriteToCache;
  VARIANT none;
  VariantInit(&none);
  const HRESULT result = webBrowser_->Navigate2(&target, &flags, &none, &none, &none);
  VariantClear(&target);
  return SUCCEEDED(result);
}

HWND CXWebBrowser::FindServerWindow() const {
  if (!webBrowser_) return nullptr;
  ComPtr<IServiceProvider> provider;
  if (FAILED(provider.QueryFrom(webBrowser_.Get(), IID_IServiceProvider))) return nullptr;
  ComPtr<IOleWindow> shellBrowser;
  if (FAILED(provider->QueryService(SID_SShellBrowser, IID_IOleWindow, shellBrowser.PutVoid()))) return nullptr;
  HWND shellWindow = nullptr;
  if (FAILED(shellBrowser->GetWindow(&shellWindow)) || !shellWindow) return nullptr;
  const HWND view = FindChildByClass(shellWindow, L"Shell DocObject View");
  if (!view) return shellWindow;
  const HWND server = FindChildByClass(view, L"Internet Explorer_Server");
  return server ? server : shellWindow;
}

void CXWebBrowser::SubclassBrowserWindow() {
  if (serverWindow_) return;
  const HWND window = FindServerWindow();
  if (!window) return;
  serverWindow_ = window;
  SubclassRegistry()[window] = this;
  previousWindowProc_ = SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc));
}

// The document window swallows keys the page does not handle (Tab, arrows, shortcuts);
// offering them to the control's active object first gives them their usual meaning.
LRESULT CALLBACK CXWebBrowser::SubclassProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto& registry = SubclassRegistry();
  const auto entry = registry.find(window);
  if (entry == registry.end()) return DefWindowProcW(window, message, wparam, lparam);
  CXWebBrowser* owner = entry->second;
  if ((message == WM_KEYDOWN || message == WM_KEYUP) && owner->webBrowser_) {
    MSG keyMessage{window, message, wparam, lparam, 0, {0, 0}};
    ComPtr<IOleInPlaceActiveObject> active;
    if (SUCCEEDED(active.QueryFrom(owner->webBrowser_.Get(), IID_IOleInPlaceActiveObject))) {
      active->TranslateAccelerator(&keyMessage);
    }
  }
  if (!owner->previousWindowProc_) return DefWindowProcW(window, message, wparam, lparam);
  return CallWindowProcW(reinterpret_cast<WNDPROC>(owner->previousWindowProc_), window, message, wparam, lparam);
}
