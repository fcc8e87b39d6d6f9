#pragma once
// One owned COM reference. Reset() releases it at the point the caller chooses, so
// a teardown order stays visible where it matters.
#include <windows.h>

#include <unknwn.h>

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* Get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  // For out-parameters: drops the current reference first.
  T** Put() {
    Reset();
    return &pointer_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  void Reset() {
    if (pointer_) pointer_->Release();
    pointer_ = nullptr;
  }

  // Queries `source` for T, replacing what this holds.
  HRESULT QueryFrom(IUnknown* source, REFIID iid) {
    Reset();
    if (!source) return E_POINTER;
    return source->QueryInterface(iid, PutVoid());
  }

 private:
  T* pointer_ = nullptr;
};
