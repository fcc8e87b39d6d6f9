// The page bridge as the login page's script reaches it: names resolved and methods
// invoked on `window.external`, with arguments shaped as a script engine passes them.
// Wine's control loads no page here, so the calls are synthesised. The launch itself
// is recorded instead of run.
#include <gtest/gtest.h>

#include <exdispid.h>
#include <mshtmdid.h>

#include <memory>
#include <string>
#include <vector>

#include "app/launcher_app.h"
#include "app/launcher_configuration.h"
#include "dispatch_call.h"
#include "scratch_registry.h"
#include "web/web_browser_win32.h"

namespace {

using web_testing::DispatchCall;

constexpr DISPID kEnterGame = 1000;

bool Shown(HWND window) { return (GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

// The launcher with a small main window and no files; `withLauncherUI` builds what the
// launcher builds in its window, the browser included.
//
// Tests leave the main window to the process's end: without a window manager Wine
// takes two seconds to destroy a shown top-level window. It stays at the right edge,
// clear of the painting tests' windows at the top left and of the launcher's in the
// end-to-end runs, at the centre.
class BridgeApp : public CLauncherApp {
 public:
  explicit BridgeApp(bool withLauncherUI) : withLauncherUI_(withLauncherUI) {}

 protected:
  void InitWindow(MainWindowParams& windowParams, int& canvasWidth, int& canvasHeight) override {
    windowParams.title = L"Bridge test";
    windowParams.style = kMainWindowStyle;
    windowParams.rect = platform::Rect{1520, 0, 1920, 300};
    canvasWidth = kCanvasWidth;
    canvasHeight = kCanvasHeight;
  }
  void InitUI() override {
    if (withLauncherUI_) CLauncherApp::InitUI();
  }
  void OnFirstFrameShown() override {
    if (withLauncherUI_) CLauncherApp::OnFirstFrameShown();
  }

 private:
  bool withLauncherUI_;
};

// The launcher with its launch sequence replaced by a recorder.
class RecordingApp : public BridgeApp {
 public:
  RecordingApp() : BridgeApp(false) {}

  bool launching = false;
  bool trusted = true;
  std::vector<std::string> launches;
  std::vector<std::wstring> pageUrls;
  bool shownAtLaunch = false;
  const CWebBrowser* browser = nullptr;

  bool IsLaunching() const override { return launching; }
  bool IsTrustedPage(const std::wstring& pageUrl) override {
    pageUrls.push_back(pageUrl);
    return trusted;
  }
  void EnterGame(const std::string& argument) override {
    launches.push_back(argument);
    shownAtLaunch = browser && Shown(browser->HostWindow());
  }
};

class PageBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.CreateMainWindow();
    browser_ = std::make_unique<CWebBrowser>(&app_, window_system::GetClientRect(app_.MainWindow()));
    app_.browser = browser_.get();
    ASSERT_NE(browser_->WebBrowser(), nullptr);
    // As once the login page has loaded.
    ShowWindow(browser_->HostWindow(), SW_SHOW);
  }
  void TearDown() override {
    browser_.reset();
    app_.Teardown();
  }

  IDispatch* External() {
    IDispatch* external = nullptr;
    EXPECT_EQ(browser_->GetExternal(&external), S_OK);
    if (external) external->Release();
    return external;
  }

  HRESULT IdOf(const wchar_t* name, DISPID* id) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return External()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
  }

  RecordingApp app_;
  std::unique_ptr<CWebBrowser> browser_;
};

struct NameCase {
  const wchar_t* name;
  bool known;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::wstring(c.name)); }

class MethodNames : public PageBridge, public ::testing::WithParamInterface<NameCase> {};

TEST_P(MethodNames, ResolveInAnyLetterCaseAndNothingElse) {
  DISPID id = -7;
  const HRESULT hr = IdOf(GetParam().name, &id);
  if (GetParam().known) {
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(id, kEnterGame);
  } else {
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(id, -7);
  }
}

INSTANTIATE_TEST_SUITE_P(Bridge, MethodNames,
                         ::testing::Values(NameCase{L"fnEnterGame", true}, NameCase{L"FNENTERGAME", true},
                                           NameCase{L"fnentergame", true}, NameCase{L"FnEnTeRgAmE", true},
                                           NameCase{L"fnEnterGame2", false}, NameCase{L"EnterGame", false},
                                           NameCase{L"fnEnterGam", false}, NameCase{L"", false}));

TEST_F(PageBridge, NameLookupsWithoutANameAreRefused) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"fnEnterGame"), const_cast<LPOLESTR>(L"text")};
  LPOLESTR noName[] = {nullptr};
  DISPID ids[2] = {-7, -7};
  EXPECT_EQ(browser_->GetIDsOfNames(IID_NULL, names, 0, 0, ids), E_INVALIDARG);
  EXPECT_EQ(browser_->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_INVALIDARG);
  EXPECT_EQ(browser_->GetIDsOfNames(IID_NULL, noName, 1, 0, ids), E_INVALIDARG);
  EXPECT_EQ(browser_->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(ids[0], -7);
  // Argument names are left alone.
  EXPECT_EQ(browser_->GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
  EXPECT_EQ(ids[0], kEnterGame);
  EXPECT_EQ(ids[1], -7);
}

struct EnterGameCase {
  const char* name;
  void (*arguments)(DispatchCall&);
  std::vector<std::string> launches;
};
void PrintTo(const EnterGameCase& c, std::ostream* os) { *os << c.name; }

class EnterGameCalls : public PageBridge, public ::testing::WithParamInterface<EnterGameCase> {};

TEST_P(EnterGameCalls, HandTheLastArgumentsTextToTheLaunch) {
  const EnterGameCase& c = GetParam();
  DispatchCall call;
  c.arguments(call);
  EXPECT_EQ(web_testing::Invoke(External(), kEnterGame, call), S_OK);
  EXPECT_EQ(app_.launches, c.launches);
  if (c.launches.empty()) {
    EXPECT_TRUE(Shown(browser_->HostWindow())) << "the page stays as it was";
  } else {
    EXPECT_FALSE(app_.shownAtLaunch) << "the page is hidden before the launch";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, EnterGameCalls,
    ::testing::Values(
        EnterGameCase{"NoArgument", [](DispatchCall&) {}, {}},
        EnterGameCase{"Text", [](DispatchCall& c) { c.Text(L"username=alice&token=x"); }, {"username=alice&token=x"}},
        EnterGameCase{"Number", [](DispatchCall& c) { c.Int(12345); }, {"12345"}},
        EnterGameCase{"TwoArguments", [](DispatchCall& c) { c.Text(L"username=first").Text(L"username=second"); },
                      {"username=second"}},
        EnterGameCase{"Undefined", [](DispatchCall& c) { c.Empty(); }, {""}},
        EnterGameCase{"NullHasNoText", [](DispatchCall& c) { c.Null(); }, {}},
        EnterGameCase{"ObjectWithoutText",
                      [](DispatchCall& c) {
                        // Its default property answers E_NOTIMPL.
                        static CXWebBrowser2 object;
                        c.Dispatch(&object);
                      },
                      {}}),
    [](const ::testing::TestParamInfo<EnterGameCase>& info) { return std::string(info.param.name); });

TEST_F(PageBridge, NonAsciiTextIsConvertedWithTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "expects Windows-1252, the code page is " << GetACP();
  DispatchCall call;
  // U+6F22 has no Windows-1252 form and becomes the default character.
  call.Text(L"username=J\u00fcrgen\u20ac\u6f22");
  EXPECT_EQ(web_testing::Invoke(External(), kEnterGame, call), S_OK);
  EXPECT_EQ(app_.launches, std::vector<std::string>{"username=J\xfcrgen\x80?"});
}

TEST_F(PageBridge, ACallDuringARunIsRefused) {
  app_.launching = true;
  DispatchCall call;
  call.Text(L"username=alice");
  EXPECT_EQ(web_testing::Invoke(External(), kEnterGame, call), S_OK);
  EXPECT_TRUE(app_.launches.empty());
  EXPECT_TRUE(Shown(browser_->HostWindow()));
}

TEST_F(PageBridge, CallFlagsDoNotMatterAndUnknownIdsAreNotImplemented) {
  DispatchCall call;
  call.Text(L"username=alice");
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(External()->Invoke(kEnterGame, IID_NULL, 0, DISPATCH_PROPERTYGET, call.Params(), &result, nullptr,
                               nullptr),
            S_OK);
  EXPECT_EQ(app_.launches, std::vector<std::string>{"username=alice"});
  EXPECT_EQ(result.vt, VT_EMPTY);

  DispatchCall none;
  EXPECT_EQ(web_testing::Invoke(External(), kEnterGame - 1, none), E_NOTIMPL);
  EXPECT_EQ(web_testing::Invoke(External(), kEnterGame + 1, none), E_NOTIMPL);
}

TEST_F(PageBridge, TheLauncherAnswersTheDownloadControlQuery) {
  DispatchCall none;
  VARIANT result;
  EXPECT_EQ(web_testing::Invoke(static_cast<IDispatch*>(browser_.get()), DISPID_AMBIENT_DLCONTROL, none, &result),
            S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(static_cast<std::uint32_t>(result.lVal), 0x40000610u);
}

TEST_F(PageBridge, HostInfoTurnsOffBordersAndScrollBars) {
  DOCHOSTUIINFO info{};
  info.cbSize = sizeof info;
  info.dwFlags = DOCHOSTUIFLAG_DIALOG;
  EXPECT_EQ(browser_->GetHostInfo(&info), S_OK);
  EXPECT_EQ(info.dwFlags, DOCHOSTUIFLAG_DIALOG | 0x0020000Cu);
  EXPECT_EQ(browser_->GetHostInfo(nullptr), S_OK);
}

TEST_F(PageBridge, TheExternalObjectIsTheBrowserItself) {
  IDispatch* external = nullptr;
  IDispatch* self = static_cast<IDispatch*>(browser_.get());
  self->AddRef();
  const ULONG before = self->Release();
  ASSERT_EQ(browser_->GetExternal(&external), S_OK);
  EXPECT_EQ(external, self);
  self->AddRef();
  EXPECT_EQ(self->Release(), before + 1);
  external->Release();
}

TEST(PageBridgeCreation, HiddenHostOverTheClientAreaAndTheRenderingModeValues) {
  web_testing::ScratchUserKey scratch;
  ASSERT_TRUE(scratch.ready());
  RecordingApp app;
  app.CreateMainWindow();
  const platform::Rect client = window_system::GetClientRect(app.MainWindow());
  {
    CWebBrowser browser(&app, client);
    const HWND host = browser.HostWindow();
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(GetParent(host), app.MainWindow());
    EXPECT_FALSE(Shown(host));
    RECT r{};
    GetWindowRect(host, &r);
    MapWindowPoints(HWND_DESKTOP, static_cast<HWND>(app.MainWindow()), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.right - r.left, client.right - client.left);
    EXPECT_EQ(r.bottom - r.top, client.bottom - client.top);

    // The standards mode from Windows 8 on, the control's default before.
    const DWORD version = GetVersion();
    const bool windows8 = LOBYTE(version) > 6 || (LOBYTE(version) == 6 && HIBYTE(LOWORD(version)) >= 2);
    const std::wstring feature = L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\";
    const std::wstring name = web_testing::ExecutableName();
    EXPECT_EQ(web_testing::ReadDword(scratch.key(), feature + L"FEATURE_BROWSER_EMULATION", name),
              windows8 ? 11001 : 0);
    EXPECT_EQ(web_testing::ReadDword(scratch.key(), feature + L"FEATURE_SCRIPTURL_MITIGATION", name), 1);
  }
  window_system::StopWakeTimer(app.MainWindow());
  app.DeleteUIManager();
}

// The launcher's own browser, as InitUI creates it.
class LauncherBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.CreateMainWindow();
    ASSERT_NE(app_.Browser(), nullptr);
    ASSERT_NE(app_.Browser()->WebBrowser(), nullptr);
    ASSERT_EQ(top_.QueryFrom(app_.Browser()->WebBrowser(), IID_IDispatch), S_OK);
  }
  void TearDown() override {
    top_.Reset();
    app_.Teardown();
  }

  HRESULT Complete(IDispatch* source) {
    DispatchCall call;
    call.Dispatch(source).TextInVariantRef(L"http://127.0.0.1:1/login");
    return web_testing::Invoke(static_cast<IDispatch*>(app_.Browser()), DISPID_DOCUMENTCOMPLETE, call);
  }

  BridgeApp app_{true};
  ComPtr<IDispatch> top_;
  CXWebBrowser frame_;
};

TEST_F(LauncherBrowser, ThePageShowsOnlyOnceTheTopLevelDocumentIsComplete) {
  const HWND host = app_.Browser()->HostWindow();
  EXPECT_FALSE(Shown(host));
  EXPECT_EQ(Complete(static_cast<IDispatch*>(&frame_)), S_OK);
  EXPECT_FALSE(Shown(host)) << "a frame alone does not show the page";
  EXPECT_EQ(Complete(top_.Get()), S_OK);
  EXPECT_TRUE(Shown(host));

  // A later page shows it again after a launch hid it.
  ShowWindow(host, SW_HIDE);
  EXPECT_EQ(Complete(top_.Get()), S_OK);
  EXPECT_TRUE(Shown(host));
}

// The browser, by far the slowest part of the start, waits until the window's first
// frame is on the screen.
class FirstFrameRecorder : public BridgeApp {
 public:
  FirstFrameRecorder() : BridgeApp(true) {}

  bool browserBeforeFirstFrame = true;
  bool frameOnScreen = false;

 protected:
  void OnFirstFrameShown() override {
    browserBeforeFirstFrame = Browser() != nullptr;
    frameOnScreen = UIManager()->IsFrameOnScreen();
    BridgeApp::OnFirstFrameShown();
  }
};

TEST(LauncherBrowserCreation, ComesOnceTheFirstFrameIsOnTheScreen) {
  FirstFrameRecorder app;
  app.CreateMainWindow();
  EXPECT_FALSE(app.browserBeforeFirstFrame);
  EXPECT_TRUE(app.frameOnScreen);
  EXPECT_NE(app.Browser(), nullptr);
  app.Teardown();
}

TEST_F(LauncherBrowser, CleanupDeletesTheBrowserAndItsHostWindow) {
  const HWND host = app_.Browser()->HostWindow();
  ASSERT_TRUE(IsWindow(host));
  top_.Reset();
  app_.Cleanup();
  EXPECT_EQ(app_.Browser(), nullptr);
  EXPECT_FALSE(IsWindow(host));
}

}  // namespace
