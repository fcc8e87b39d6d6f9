// The per-user feature-control values, each case under a fresh scratch
// HKEY_CURRENT_USER where the keys start out missing.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "scratch_registry.h"
#include "web/xweb_browser_win32.h"

namespace {

using web_testing::ExecutableName;
using web_testing::ReadDword;
using web_testing::ScratchUserKey;

constexpr wchar_t kFeatureControl[] = L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl";

struct EmulationCase {
  int mode;
  DWORD expected;
};
void PrintTo(const EmulationCase& c, std::ostream* os) { *os << "mode " << c.mode; }

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
                                           EmulationCase{5, 11001}, EmulationCase{6, 0}, EmulationCase{-1, 0}),
                         [](const ::testing::TestParamInfo<EmulationCase>& info) {
                           const int mode = info.param.mode;
                           return (mode < 0 ? "MinusMode" : "Mode") + std::to_string(mode < 0 ? -mode : mode);
                         });

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
