#pragma once
// Builds the DISPPARAMS of a dispatch call as the browser control or a page script
// would: arguments are given in declared order and stored last-first.
#include <windows.h>

#include <oleauto.h>

#include <string>
#include <vector>

namespace web_testing {

class DispatchCall {
 public:
  DispatchCall() = default;
  ~DispatchCall();
  DispatchCall(const DispatchCall&) = delete;
  DispatchCall& operator=(const DispatchCall&) = delete;

  // Appends the next declared argument; the call owns what it holds.
  DispatchCall& Text(const std::wstring& text);
  DispatchCall& Int(LONG value);
  DispatchCall& Null();
  DispatchCall& Empty();
  DispatchCall& Dispatch(IDispatch* dispatch);
  // A string inside a VARIANT passed by reference, as the control passes URLs.
  DispatchCall& TextInVariantRef(const std::wstring& text);
  // A Cancel flag by reference, starting at `initial`.
  DispatchCall& CancelFlag(bool initial);
  // An IDispatch** out-parameter, starting null.
  DispatchCall& DispatchOut();

  DISPPARAMS* Params();
  VARIANT_BOOL cancel() const { return cancel_; }
  IDispatch* dispatchOut() const { return dispatchOut_; }

 private:
  VARIANT& Next();

  std::vector<VARIANT> declared_;
  std::vector<VARIANT> reversed_;
  std::vector<VARIANT*> referenced_;
  VARIANT_BOOL cancel_ = VARIANT_FALSE;
  IDispatch* dispatchOut_ = nullptr;
  DISPPARAMS params_{};
};

// Invokes `id` on `target` with a fresh result VARIANT, which `result` receives.
HRESULT Invoke(IDispatch* target, DISPID id, DispatchCall& call, VARIANT* result = nullptr);

}  // namespace web_testing
