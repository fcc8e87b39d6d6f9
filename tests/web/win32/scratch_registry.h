#pragma once
// Points HKEY_CURRENT_USER of the test process at a fresh, volatile scratch key for
// the object's lifetime, so per-user keys start out missing and the prefix's own
// values stay untouched.
#include <windows.h>

#include <string>

namespace web_testing {

class ScratchUserKey {
 public:
  ScratchUserKey();
  ~ScratchUserKey();
  ScratchUserKey(const ScratchUserKey&) = delete;
  ScratchUserKey& operator=(const ScratchUserKey&) = delete;

  bool ready() const { return overridden_; }
  // What HKEY_CURRENT_USER stands for meanwhile.
  HKEY key() const { return key_; }

 private:
  std::wstring path_;
  HKEY key_ = nullptr;
  bool overridden_ = false;
};

// The DWORD value `name` under `root`\`subkey`; -1 when absent or of another type.
long long ReadDword(HKEY root, const std::wstring& subkey, const std::wstring& name);

// The test executable's file name, the value name of its feature-control values.
std::wstring ExecutableName();

}  // namespace web_testing
