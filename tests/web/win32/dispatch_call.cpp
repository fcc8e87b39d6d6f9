#include "dispatch_call.h"

namespace web_testing {

DispatchCall::~DispatchCall() {
  for (VARIANT& argument : declared_) {
    if (argument.vt == (VT_BYREF | VT_VARIANT)) {
      VariantClear(argument.pvarVal);
      delete argument.pvarVal;
    } else if (!(argument.vt & VT_BYREF)) {
      VariantClear(&argument);
    }
  }
  if (dispatchOut_) dispatchOut_->Release();
}

VARIANT& DispatchCall::Next() {
  declared_.emplace_back();
  VariantInit(&declared_.back());
  return declared_.back();
}

DispatchCall& DispatchCall::Text(const std::wstring& text) {
  VARIANT& v = Next();
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *this;
}

DispatchCall& DispatchCall::Int(LONG value) {
  VARIANT& v = Next();
  v.vt = VT_I4;
  v.lVal = value;
  return *this;
}

DispatchCall& DispatchCall::Null() {
  Next().vt = VT_NULL;
  return *this;
}

DispatchCall& DispatchCall::Empty() {
  Next();
  return *this;
}

DispatchCall& DispatchCall::Dispatch(IDispatch* dispatch) {
  VARIANT& v = Next();
  v.vt = VT_DISPATCH;
  v.pdispVal = dispatch;
  if (dispatch) dispatch->AddRef();
  return *this;
}

DispatchCall& DispatchCall::TextInVariantRef(const std::wstring& text) {
  auto* inner = new VARIANT;
  VariantInit(inner);
  inner->vt = VT_BSTR;
  inner->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  VARIANT& v = Next();
  v.vt = VT_BYREF | VT_VARIANT;
  v.pvarVal = inner;
  return *this;
}

DispatchCall& DispatchCall::CancelFlag(bool initial) {
  cancel_ = initial ? VARIANT_TRUE : VARIANT_FALSE;
  VARIANT& v = Next();
  v.vt = VT_BYREF | VT_BOOL;
  v.pboolVal = &cancel_;
  return *this;
}

DispatchCall& DispatchCall::DispatchOut() {
  VARIANT& v = Next();
  v.vt = VT_BYREF | VT_DISPATCH;
  v.ppdispVal = &dispatchOut_;
  return *this;
}

DISPPARAMS* DispatchCall::Params() {
  reversed_.assign(declared_.rbegin(), declared_.rend());
  params_.rgvarg = reversed_.empty() ? nullptr : reversed_.data();
  params_.cArgs = static_cast<UINT>(reversed_.size());
  params_.rgdispidNamedArgs = nullptr;
  params_.cNamedArgs = 0;
  return &params_;
}

HRESULT Invoke(IDispatch* target, DISPID id, DispatchCall& call, VARIANT* result) {
  VARIANT local;
  VARIANT* out = result ? result : &local;
  VariantInit(out);
  const HRESULT hr =
      target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, call.Params(), out, nullptr, nullptr);
  if (!result) VariantClear(&local);
  return hr;
}

}  // namespace web_testing
