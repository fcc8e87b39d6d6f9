// The per-user feature-control values. Each case points HKEY_CURRENT_USER at a
// fresh scratch key, so the keys start out missing and the real user's values stay
// untouched.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "web/xweb_browser_win32.h"

namespace {

constexpr wchar_t kFeatureControl[] = L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl";

class ScratchUserKey {
 public:
  ScratchUserKey() {
    path_ = L"Software\\LauncherWebTests\\" + std::to_wstring(GetCurrentProcessId());
    RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                    &key_, nullptr);
    overridden_ = key_ && RegOverridePredefKey(HKEY_CURRENT_USER, key_) == ERROR_SUCCESS;
  }
  ~ScratchUserKey() {
    if (overridden_) RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (key_) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
  }
  ScratchUserKey(const ScratchUserKey&) = delete;
  ScratchUserKey& operator=(const ScratchUserKey&) = delete;

  bool ready() const { return overridden_; }
  HKEY key() const { return key_; }

 private:
  std::wstring path_;
  HKEY key_ = nullptr;
  bool overridden_ = false;
};

std::wstring ExecutableName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring full(path);
  return full.substr(full.find_last_of(L"\\/") + 1);
}

// The DWORD value `name` under `root`\`subkey`; -1 when absent or of another type.
long long ReadDword(HKEY root, const std::wstring& subkey, const std::wstring& name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (RegGetValueW(root, subkey.c_str(), name.c_str(), RRF_RT_ANY, &type, &value, &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return -1;
  }
  return value;
}

struct EmulationCase {
  int mode;
  DWORD expected;
};

class BrowserEmulation : public ::testing::TestWithParam<EmulationCase> {};

TEST_P(BrowserEmulation, WritesBothValuesUnderTheExecutablesName) {
  ScratchUserKey scratch;
  ASSERT_TRUE(scratch.ready());
  EXPECT_TRUE(CXWebBrowser::SetBrowserEmulation(GetParam().mode));

  const std::wstring feature = kFeatureControl;
  EXPECT_EQ(ReadDword(scratch.key(), feature + L"\\FEATURE_BROWSER_EMULATION", ExecutableName()),
            GetParam().expected);
  EXPECT_EQ(ReadDword(scratch.key(), feature + L"\\FEATURE_SCRIPTURL_MITIGATION", ExecutableName()), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, BrowserEmulation,
                         ::testing::Values(EmulationCase{0, 0}, EmulationCase{1, 7000}, EmulationCase{2, 8888},
                                           EmulationCase{3, 9999}, EmulationCase{4, 10001},
                                           EmulationCase{5, 11001}, EmulationCase{6, 0}, EmulationCase{-1, 0}));

TEST(BrowserEmulationKeys, MissingKeysAreCreatedVolatile) {
  ScratchUserKey scratch;
  ASSERT_TRUE(scratch.ready());
  ASSERT_TRUE(CXWebBrowser::SetBrowserEmulation(5));
  // Only a volatile key refuses a lasting child.
  const std::wstring feature = kFeatureControl;
  for (const std::wstring& key : {feature, feature + L"\\FEATURE_BROWSER_EMULATION",
                                  feature + L"\\FEATURE_SCRIPTURL_MITIGATION"}) {
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExW(scratch.key(), (key + L"\\Lasting").c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &child, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    if (child) RegCloseKey(child);
  }
}

TEST(BrowserEmulationKeys, ExistingValuesAreReplaced) {
  ScratchUserKey scratch;
  ASSERT_TRUE(scratch.ready());
  ASSERT_TRUE(CXWebBrowser::SetBrowserEmulation(1));
  ASSERT_TRUE(CXWebBrowser::SetBrowserEmulation(5));
  EXPECT_EQ(ReadDword(scratch.key(), std::wstring(kFeatureControl) + L"\\FEATURE_BROWSER_EMULATION", ExecutableName()),
            11001);
}

}  // namespace
