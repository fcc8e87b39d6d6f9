#include <exdispid.h>
#include <mshtmdid.h>

#include <new>

#include "web/xweb_browser_win32.h"

namespace {

// Event arguments stand in reverse order: index 0 is the last declared parameter.
const VARIANT* Argument(const DISPPARAMS* params, UINT index) {
  if (!params || !params->rgvarg || index >= params->cArgs) return nullptr;
  return &params->rgvarg[index];
}

// The Cancel flag of an event: a VARIANT_BOOL by reference.
VARIANT_BOOL* CancelFlag(const VARIANT* argument) {
  return argument && argument->vt == (VT_BYREF | VT_BOOL) ? argument->pboolVal : nullptr;
}

bool ReadDispatch(const VARIANT* argument, IDispatch** dispatch) {
  if (!argument) return false;
  if (argument->vt == VT_DISPATCH) {
    *dispatch = argument->pdispVal;
    return true;
  }
  if (argument->vt == (VT_BYREF | VT_DISPATCH) && argument->ppdispVal) {
    *dispatch = *argument->ppdispVal;
    return true;
  }
  return false;
}

// A URL argument: a BSTR, held directly, by reference, or in a VARIANT by reference.
// The copy is taken before anything else, so a failed allocation leaves the event
// unapplied.
HRESULT ReadUrl(const VARIANT* argument, std::wstring* url) {
  if (!argument) return DISP_E_BADPARAMCOUNT;
  if (argument->vt == (VT_BYREF | VT_VARIANT)) argument = argument->pvarVal;
  if (!argument) return DISP_E_TYPEMISMATCH;
  BSTR text = nullptr;
  if (argument->vt == VT_BSTR) {
    text = argument->bstrVal;
  } else if (argument->vt == (VT_BYREF | VT_BSTR) && argument->pbstrVal) {
    text = *argument->pbstrVal;
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  try {
    url->assign(text ? text : L"", text ? SysStringLen(text) : 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

CXWebBrowser2::~CXWebBrowser2() { CXWebBrowser2::Destroy(); }

BOOL CXWebBrowser2::Create(HWND host) {
  notify_ = nullptr;
  if (!CXWebBrowser::Create(host)) return FALSE;
  browserDispatch_.QueryFrom(WebBrowser(), IID_IDispatch);
  return TRUE;
}

void CXWebBrowser2::Destroy() {
  if (IWebBrowser2* browser = WebBrowser()) {
    READYSTATE state = READYSTATE_UNINITIALIZED;
    if (FAILED(browser->get_ReadyState(&state)) || state != READYSTATE_COMPLETE) browser->Stop();
  }
  browserDispatch_.Reset();
  CXWebBrowser::Destroy();
}

STDMETHODIMP CXWebBrowser2::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                   UINT*) {
  if (!notify_) return E_NOTIMPL;
  // The receiver's code runs inside the control's call: nothing may unwind into it.
  try {
    switch (id) {
      case DISPID_BEFORENAVIGATE2:
        return OnBeforeNavigate(params);
      case DISPID_DOCUMENTCOMPLETE:
        return OnDocumentComplete(params);
      case DISPID_NEWWINDOW3:
        return OnNewWindow(params);
      case DISPID_AMBIENT_DLCONTROL:
        return OnDownloadControl(result);
      default:
        return E_NOTIMPL;
    }
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// BeforeNavigate2(pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel)
HRESULT CXWebBrowser2::OnBeforeNavigate(DISPPARAMS* params) {
  VARIANT_BOOL* cancelFlag = CancelFlag(Argument(params, 0));
  IDispatch* source = nullptr;
  if (!cancelFlag || !ReadDispatch(Argument(params, 6), &source)) return DISP_E_TYPEMISMATCH;
  std::wstring url;
  if (const HRESULT read = ReadUrl(Argument(params, 5), &url); FAILED(read)) return read;
  bool cancel = *cancelFlag != VARIANT_FALSE;
  notify_->OnBeforeNavigate(source != browserDispatch_.Get(), url, &cancel);
  *cancelFlag = cancel ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// DocumentComplete(pDisp, URL): frames complete on their own dispatch.
HRESULT CXWebBrowser2::OnDocumentComplete(DISPPARAMS* params) {
  IDispatch* source = nullptr;
  if (!ReadDispatch(Argument(params, 1), &source)) return DISP_E_TYPEMISMATCH;
  std::wstring url;
  if (const HRESULT read = ReadUrl(Argument(params, 0), &url); FAILED(read)) return read;
  if (source == browserDispatch_.Get()) {
    notify_->OnDocumentComplete(url);
  } else {
    notify_->OnFrameDocumentComplete(url);
  }
  return S_OK;
}

// NewWindow3(ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl)
HRESULT CXWebBrowser2::OnNewWindow(DISPPARAMS* params) {
  VARIANT_BOOL* cancelFlag = CancelFlag(Argument(params, 3));
  const VARIANT* newWindow = Argument(params, 4);
  if (!cancelFlag || !newWindow || newWindow->vt != (VT_BYREF | VT_DISPATCH) || !newWindow->ppdispVal) {
    return DISP_E_TYPEMISMATCH;
  }
  std::wstring url;
  if (const HRESULT read = ReadUrl(Argument(params, 0), &url); FAILED(read)) return read;
  switch (notify_->OnNewWindow(url)) {
    case 1:
      *cancelFlag = VARIANT_TRUE;
      break;
    case 2:
      // The new window's content opens in this browser.
      if (browserDispatch_) {
        browserDispatch_->AddRef();
        *newWindow->ppdispVal = browserDispatch_.Get();
      }
      break;
    default:
      break;
  }
  return S_OK;
}

HRESULT CXWebBrowser2::OnDownloadControl(VARIANT* result) {
  std::uint32_t flags = 0;
  if (notify_->GetDownloadControl(&flags) && result) {
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = static_cast<LONG>(flags);
  }
  return S_OK;
}
