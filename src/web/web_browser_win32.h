#pragma once
// The launcher's browser on Windows: the login page in the system web browser control,
// in a hidden child window over the main window's client area, and the page's
// `window.external` object with its one method, "fnEnterGame".
#include <string>
#include <vector>

#include "web/web_browser.h"
#include "web/xweb_browser_win32.h"

class CWebBrowser : public CXWebBrowser2 {
 public:
  // Writes the rendering-mode values, creates the hidden host window over `rect` of
  // the host's parent window and the control in it. Without a control the page never
  // shows and never calls in.
  CWebBrowser(IWebBrowserHost* host, const platform::Rect& rect);
  ~CWebBrowser() override;

  // The external object: names resolve case-insensitively to DISPIDs from 1000.
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  // The control's events first, then the external methods.
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argumentError) override;
  // No 3-D borders and no scroll bars.
  STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override;
  STDMETHODIMP GetExternal(IDispatch** external) override;

  // "fnEnterGame"(text): hides the page and runs the launch with the last argument as
  // ANSI text. No argument, a value without text, or a run in progress: nothing.
  HRESULT OnEnterGame(DISPID id, DISPPARAMS* params, VARIANT* result);

  // The document's address now; empty when the control cannot tell.
  std::wstring LocationUrl();

 private:
  using Handler = HRESULT (CWebBrowser::*)(DISPID, DISPPARAMS*, VARIANT*);
  struct ExternalMethod {
    const wchar_t* name;
    DISPID id;
    Handler handler;
  };

  IWebBrowserHost* host_;
  HWND hostWindow_ = nullptr;
  std::vector<ExternalMethod> methods_;
};
