#pragma once
// Hosts the system web browser control as an OLE object in a child window.
//
// CXWebBrowser is the control's client site, in-place site and frame, document UI
// handler, ambient-property dispatch and event sink, all in one object whose
// interfaces share one IUnknown. Its reference count is informational only: the
// control holds references long after it is closed, so the owner deletes the host
// explicitly and the count never frees it. CXWebBrowser2 turns the control's events
// into calls on an IXWebNotifyCallback2. Main thread only (a single-threaded
// apartment).
#include <windows.h>

#include <exdisp.h>
#include <mshtmhst.h>
#include <oleidl.h>

#include <string>

#include "web/browser_events.h"
#include "web/com_ptr_win32.h"

class CXWebBrowser : public IDispatch,
                     public IOleClientSite,
                     public IOleInPlaceSite,
                     public IOleInPlaceFrame,
                     public IDocHostUIHandler {
 public:
  CXWebBrowser() = default;
  CXWebBrowser(const CXWebBrowser&) = delete;
  CXWebBrowser& operator=(const CXWebBrowser&) = delete;

  // IUnknown, shared by all five interfaces.
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch: the ambient properties and events; nothing by default.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argumentError) override;

  virtual ~CXWebBrowser();
  // Creates the control in `host` and in-place activates it; FALSE when `host` is
  // not a window or a creation step failed (everything obtained is released).
  virtual BOOL Create(HWND host);
  virtual void Destroy();
  // Routes the document window's key messages through the control's accelerator
  // handling. Once: later calls change nothing.
  virtual void SubclassBrowserWindow();

  // IOleClientSite
  STDMETHODIMP SaveObject() override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  STDMETHODIMP GetContainer(IOleContainer** container) override;
  STDMETHODIMP ShowObject() override;
  STDMETHODIMP OnShowWindow(BOOL show) override;
  STDMETHODIMP RequestNewObjectLayout() override;

  // IOleWindow, for the in-place site and the frame alike.
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override;
  STDMETHODIMP OnInPlaceActivate() override;
  STDMETHODIMP OnUIActivate() override;
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, RECT* position,
                                RECT* clip, OLEINPLACEFRAMEINFO* frameInfo) override;
  STDMETHODIMP Scroll(SIZE extent) override;
  STDMETHODIMP OnUIDeactivate(BOOL undoable) override;
  STDMETHODIMP OnInPlaceDeactivate() override;
  STDMETHODIMP DiscardUndoState() override;
  STDMETHODIMP DeactivateAndUndo() override;
  STDMETHODIMP OnPosRectChange(LPCRECT position) override;

  // IOleInPlaceUIWindow and IOleInPlaceFrame
  STDMETHODIMP GetBorder(LPRECT border) override;
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS widths) override;
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS widths) override;
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR name) override;
  STDMETHODIMP InsertMenus(HMENU shared, LPOLEMENUGROUPWIDTHS widths) override;
  STDMETHODIMP SetMenu(HMENU shared, HOLEMENU descriptor, HWND activeObject) override;
  STDMETHODIMP RemoveMenus(HMENU shared) override;
  STDMETHODIMP SetStatusText(LPCOLESTR text) override;
  // Shared with IDocHostUIHandler, which answers the same.
  STDMETHODIMP EnableModeless(BOOL enable) override;
  STDMETHODIMP TranslateAccelerator(LPMSG message, WORD id) override;

  // IDocHostUIHandler
  STDMETHODIMP ShowContextMenu(DWORD id, POINT* point, IUnknown* commandTarget, IDispatch* object) override;
  STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override;
  STDMETHODIMP ShowUI(DWORD id, IOleInPlaceActiveObject* object, IOleCommandTarget* commandTarget,
                      IOleInPlaceFrame* frame, IOleInPlaceUIWindow* document) override;
  STDMETHODIMP HideUI() override;
  STDMETHODIMP UpdateUI() override;
  STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
  STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frameWindow) override;
  STDMETHODIMP TranslateAccelerator(LPMSG message, const GUID* group, DWORD command) override;
  STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD reserved) override;
  STDMETHODIMP GetDropTarget(IDropTarget* target, IDropTarget** replacement) override;
  STDMETHODIMP GetExternal(IDispatch** external) override;
  STDMETHODIMP TranslateUrl(DWORD translate, LPWSTR url, LPWSTR* translated) override;
  STDMETHODIMP FilterDataObject(IDataObject* object, IDataObject** replacement) override;

  // A hidden child window for the control, of the class "QMTinyWnd".
  static HWND CreateHostWindow(HWND parent, const RECT& rect, const std::wstring& title);
  // Writes the per-user feature-control values that pick the control's rendering
  // mode (0-5) for this executable; true when the last value was written.
  static bool SetBrowserEmulation(int mode);
  // Loads `url`, bypassing the cache both ways; false without a control.
  bool Navigate(const std::wstring& url);

  IWebBrowser2* WebBrowser() const { return webBrowser_.Get(); }
  HWND HostWindow() const { return hostWindow_; }
  // The subclassed document window; null until SubclassBrowserWindow found it.
  HWND ServerWindow() const { return serverWindow_; }

 protected:
  // The control's document window: "Internet Explorer_Server" below "Shell DocObject
  // View" below its shell browser window, or that shell browser window when the others
  // are missing; null when the control gives no shell browser.
  virtual HWND FindServerWindow() const;

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void ReleaseControl();

  LONG references_ = 0;
  HWND hostWindow_ = nullptr;
  ComPtr<IStorage> storage_;
  ComPtr<IOleObject> oleObject_;
  ComPtr<IWebBrowser2> webBrowser_;
  ComPtr<IOleInPlaceObject> inPlaceObject_;
  ComPtr<IConnectionPointContainer> connectionPointContainer_;
  ComPtr<IConnectionPoint> connectionPoint_;
  DWORD adviseCookie_ = 0;
  HWND serverWindow_ = nullptr;
  LONG_PTR previousWindowProc_ = 0;
  bool oleInitialized_ = false;
};

// The host that reports the control's events to an IXWebNotifyCallback2.
class CXWebBrowser2 : public CXWebBrowser {
 public:
  CXWebBrowser2() = default;
  ~CXWebBrowser2() override;

  // BeforeNavigate2, DocumentComplete, NewWindow3 and the ambient download-control
  // query; E_NOTIMPL for anything else and for every call while notify is null.
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argumentError) override;

  // Clears notify: set it after a successful Create.
  BOOL Create(HWND host) override;
  void Destroy() override;

  void SetNotify(IXWebNotifyCallback2* notify) { notify_ = notify; }

 private:
  HRESULT OnBeforeNavigate(DISPPARAMS* params);
  HRESULT OnDocumentComplete(DISPPARAMS* params);
  HRESULT OnNewWindow(DISPPARAMS* params);
  HRESULT OnDownloadControl(VARIANT* result);

  ComPtr<IDispatch> browserDispatch_;
  IXWebNotifyCallback2* notify_ = nullptr;
};
