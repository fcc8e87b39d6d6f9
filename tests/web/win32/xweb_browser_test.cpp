// The browser host as the control sees it: its COM identity, its answers, and the
// control's creation, navigation and teardown in a real host window. Wine's control
// has no page engine here, so no document ever loads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_window.h"
#include "web/xweb_browser_win32.h"

namespace {

using web_testing::TestWindow;

// Flags its destruction, so a test can tell a deleted host from a live one.
class ProbeBrowser : public CXWebBrowser {
 public:
  explicit ProbeBrowser(bool* destroyed) : destroyed_(destroyed) {}
  ~ProbeBrowser() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

ULONG References(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

enum class Answer { Dispatch, ClientSite, InPlaceSite, Frame, UiHandler, Refused };

struct InterfaceCase {
  const char* name;
  const IID* iid;
  Answer answer;
};
void PrintTo(const InterfaceCase& c, std::ostream* os) { *os << c.name; }

void* Expected(CXWebBrowser& host, Answer answer) {
  switch (answer) {
    case Answer::Dispatch:
      return static_cast<IDispatch*>(&host);
    case Answer::ClientSite:
      return static_cast<IOleClientSite*>(&host);
    case Answer::InPlaceSite:
      return static_cast<IOleInPlaceSite*>(&host);
    case Answer::Frame:
      return static_cast<IOleInPlaceFrame*>(&host);
    case Answer::UiHandler:
      return static_cast<IDocHostUIHandler*>(&host);
    case Answer::Refused:
      break;
  }
  return nullptr;
}

class QueryInterfaceTable : public ::testing::TestWithParam<InterfaceCase> {};

TEST_P(QueryInterfaceTable, AnswersFromEveryInterfaceAlikeAndCountsTheReference) {
  CXWebBrowser host;
  const InterfaceCase& c = GetParam();
  IUnknown* entries[] = {static_cast<IDispatch*>(&host), static_cast<IOleClientSite*>(&host),
                         static_cast<IOleInPlaceSite*>(&host), static_cast<IOleInPlaceFrame*>(&host),
                         static_cast<IDocHostUIHandler*>(&host)};
  for (IUnknown* entry : entries) {
    void* object = reinterpret_cast<void*>(1);
    const ULONG before = References(static_cast<IDispatch*>(&host));
    const HRESULT hr = entry->QueryInterface(*c.iid, &object);
    if (c.answer == Answer::Refused) {
      EXPECT_EQ(hr, E_NOINTERFACE);
      EXPECT_EQ(object, nullptr);
      EXPECT_EQ(References(static_cast<IDispatch*>(&host)), before);
    } else {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(object, Expected(host, c.answer));
      EXPECT_EQ(References(static_cast<IDispatch*>(&host)), before + 1);
      host.Release();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, QueryInterfaceTable,
    ::testing::Values(InterfaceCase{"Unknown", &IID_IUnknown, Answer::Dispatch},
                      InterfaceCase{"Dispatch", &IID_IDispatch, Answer::Dispatch},
                      InterfaceCase{"BrowserEvents", &DIID_DWebBrowserEvents2, Answer::Dispatch},
                      InterfaceCase{"ClientSite", &IID_IOleClientSite, Answer::ClientSite},
                      InterfaceCase{"InPlaceSite", &IID_IOleInPlaceSite, Answer::InPlaceSite},
                      InterfaceCase{"InPlaceUIWindow", &IID_IOleInPlaceUIWindow, Answer::Frame},
                      InterfaceCase{"InPlaceFrame", &IID_IOleInPlaceFrame, Answer::Frame},
                      InterfaceCase{"DocHostUIHandler", &IID_IDocHostUIHandler, Answer::UiHandler},
                      InterfaceCase{"OleWindowAlone", &IID_IOleWindow, Answer::Refused},
                      InterfaceCase{"OleObject", &IID_IOleObject, Answer::Refused},
                      InterfaceCase{"ServiceProvider", &IID_IServiceProvider, Answer::Refused}),
    [](const ::testing::TestParamInfo<InterfaceCase>& info) { return std::string(info.param.name); });

TEST(XWebBrowserReferences, ReleasingTheLastReferenceLeavesTheObjectToItsOwner) {
  bool destroyed = false;
  auto* host = new ProbeBrowser(&destroyed);
  IDocHostUIHandler* handler = nullptr;
  ASSERT_EQ(host->QueryInterface(IID_IDocHostUIHandler, reinterpret_cast<void**>(&handler)), S_OK);
  EXPECT_EQ(host->AddRef(), 2u);
  EXPECT_EQ(host->Release(), 1u);
  EXPECT_EQ(handler->Release(), 0u);
  EXPECT_FALSE(destroyed);
  // Still whole: it answers as before.
  IUnknown* identity = nullptr;
  ASSERT_EQ(host->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity->Release(), 0u);
  delete host;
  EXPECT_TRUE(destroyed);
}

struct AnswerCase {
  const char* name;
  std::function<HRESULT(CXWebBrowser&)> call;
  HRESULT expected;
};
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class HostAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(HostAnswers, MatchWhatTheControlExpects) {
  CXWebBrowser host;
  EXPECT_EQ(GetParam().call(host), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, HostAnswers,
    ::testing::Values(
        AnswerCase{"GetIDsOfNames",
                   [](CXWebBrowser& h) {
                     LPOLESTR name = const_cast<LPOLESTR>(L"anything");
                     DISPID id = 0;
                     return h.GetIDsOfNames(IID_NULL, &name, 1, 0, &id);
                   },
                   E_NOTIMPL},
        AnswerCase{"InvokeDoesNothing",
                   [](CXWebBrowser& h) {
                     DISPPARAMS none{};
                     return h.Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
                   },
                   S_OK},
        AnswerCase{"GetTypeInfoCount", [](CXWebBrowser& h) { UINT n = 0; return h.GetTypeInfoCount(&n); }, E_NOTIMPL},
        AnswerCase{"GetContainer", [](CXWebBrowser& h) { IOleContainer* c = nullptr; return h.GetContainer(&c); },
                   E_NOTIMPL},
        AnswerCase{"WindowWithoutHost", [](CXWebBrowser& h) { HWND w = nullptr; return h.GetWindow(&w); }, E_FAIL},
        AnswerCase{"ContextMenuIsClaimed",
                   [](CXWebBrowser& h) { return h.ShowContextMenu(0, nullptr, nullptr, nullptr); }, S_OK},
        AnswerCase{"HostInfo", [](CXWebBrowser& h) { DOCHOSTUIINFO info{}; return h.GetHostInfo(&info); },
                   E_NOTIMPL},
        AnswerCase{"External", [](CXWebBrowser& h) { IDispatch* d = nullptr; return h.GetExternal(&d); }, E_NOTIMPL},
        AnswerCase{"FrameAccelerator", [](CXWebBrowser& h) { return h.TranslateAccelerator(nullptr, WORD{0}); },
                   S_OK},
        AnswerCase{"UiHandlerAccelerator",
                   [](CXWebBrowser& h) { return h.TranslateAccelerator(nullptr, nullptr, DWORD{0}); }, E_NOTIMPL},
        AnswerCase{"Menus", [](CXWebBrowser& h) { return h.InsertMenus(nullptr, nullptr); }, E_NOTIMPL},
        AnswerCase{"EnableModeless", [](CXWebBrowser& h) { return h.EnableModeless(TRUE); }, E_NOTIMPL},
        AnswerCase{"Scroll", [](CXWebBrowser& h) { return h.Scroll(SIZE{1, 1}); }, E_NOTIMPL}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST(XWebBrowserHostWindow, IsAHiddenChildOverTheGivenRectangle) {
  TestWindow parent(400, 300);
  const HWND first = CXWebBrowser::CreateHostWindow(parent.handle(), RECT{10, 20, 310, 220}, L"page");
  // A second window registers the class again, harmlessly.
  const HWND second = CXWebBrowser::CreateHostWindow(parent.handle(), RECT{0, 0, 400, 300}, L"");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  wchar_t className[64] = {};
  GetClassNameW(first, className, 64);
  EXPECT_STREQ(className, L"QMTinyWnd");
  const LONG_PTR style = GetWindowLongPtrW(first, GWL_STYLE);
  EXPECT_TRUE(style & WS_CHILD);
  EXPECT_FALSE(style & WS_VISIBLE);
  EXPECT_EQ(GetParent(first), parent.handle());
  RECT r{};
  GetWindowRect(first, &r);
  MapWindowPoints(HWND_DESKTOP, parent.handle(), reinterpret_cast<POINT*>(&r), 2);
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.top, 20);
  EXPECT_EQ(r.right, 310);
  EXPECT_EQ(r.bottom, 220);
  wchar_t title[16] = {};
  GetWindowTextW(first, title, 16);
  EXPECT_STREQ(title, L"page");
}

TEST(XWebBrowserCreate, RefusesWhatIsNotAWindow) {
  HWND gone = nullptr;
  {
    TestWindow window(10, 10);
    gone = window.handle();
  }
  for (HWND host : {HWND{nullptr}, gone}) {
    CXWebBrowser browser;
    EXPECT_FALSE(browser.Create(host));
    EXPECT_EQ(browser.WebBrowser(), nullptr);
    EXPECT_FALSE(browser.Navigate(L"about:blank"));
  }
}

TEST(XWebBrowserCreate, PlacesTheControlInTheHostAndReleasesItOnDestroy) {
  TestWindow host(320, 240);
  CXWebBrowser browser;
  ASSERT_TRUE(browser.Create(host.handle()));
  ASSERT_NE(browser.WebBrowser(), nullptr);
  EXPECT_EQ(browser.HostWindow(), host.handle());
  // In place: the control's own window is a child of the host.
  EXPECT_NE(GetWindow(host.handle(), GW_CHILD), nullptr);
  // The control keeps the site and the event sink.
  EXPECT_GT(References(static_cast<IDispatch*>(&browser)), 0u);
  EXPECT_TRUE(browser.Navigate(L"about:blank"));

  browser.Destroy();
  EXPECT_EQ(browser.WebBrowser(), nullptr);
  EXPECT_FALSE(browser.Navigate(L"about:blank"));
  web_testing::PumpPending();
}

TEST(XWebBrowserCreate, WindowContextIsTheHostsClientArea) {
  TestWindow host(320, 240);
  CXWebBrowser browser;
  ASSERT_TRUE(browser.Create(host.handle()));

  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* document = nullptr;
  RECT position{};
  RECT clip{};
  OLEINPLACEFRAMEINFO info{};
  const ULONG before = References(static_cast<IDispatch*>(&browser));
  ASSERT_EQ(browser.GetWindowContext(&frame, &document, &position, &clip, &info), S_OK);
  EXPECT_EQ(frame, static_cast<IOleInPlaceFrame*>(&browser));
  EXPECT_EQ(document, static_cast<IOleInPlaceUIWindow*>(static_cast<IOleInPlaceFrame*>(&browser)));
  EXPECT_EQ(References(static_cast<IDispatch*>(&browser)), before + 2);
  frame->Release();
  document->Release();
  EXPECT_EQ(position.right - position.left, 320);
  EXPECT_EQ(position.bottom - position.top, 240);
  EXPECT_TRUE(EqualRect(&position, &clip));
  EXPECT_FALSE(info.fMDIApp);
  EXPECT_EQ(info.hwndFrame, host.handle());
  EXPECT_EQ(info.haccel, nullptr);
  EXPECT_EQ(info.cAccelEntries, 0u);

  HWND window = nullptr;
  EXPECT_EQ(browser.GetWindow(&window), S_OK);
  EXPECT_EQ(window, host.handle());
  RECT border{};
  EXPECT_EQ(browser.GetBorder(&border), S_OK);
  EXPECT_TRUE(EqualRect(&border, &position));
}

// A document window of the test's own, with a procedure that records what reaches it;
// Wine's control has none to offer.
class DocumentWindow {
 public:
  static constexpr UINT kPing = WM_APP + 1;
  static constexpr LRESULT kPong = 42;

  explicit DocumentWindow(HWND parent) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"WebTestDocument";
    RegisterClassExW(&windowClass);
    window_ = CreateWindowExW(0, L"WebTestDocument", L"", WS_CHILD, 0, 0, 10, 10, parent, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  }
  ~DocumentWindow() { DestroyWindow(window_); }

  HWND handle() const { return window_; }
  static std::vector<UINT>& Received() {
    static std::vector<UINT> received;
    return received;
  }
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_KEYDOWN || message == WM_KEYUP || message == kPing) Received().push_back(message);
    return message == kPing ? kPong : DefWindowProcW(window, message, wparam, lparam);
  }

 private:
  HWND window_ = nullptr;
};

// Finds the given window as the control's document window.
class KnownServerBrowser : public CXWebBrowser {
 public:
  void SetServer(HWND server) { server_ = server; }

 protected:
  HWND FindServerWindow() const override { return server_; }

 private:
  HWND server_ = nullptr;
};

TEST(XWebBrowserSubclass, KeysStillReachTheDocumentWindowAndDestroyPutsItsProcedureBack) {
  TestWindow host(320, 240);
  DocumentWindow document(host.handle());
  DocumentWindow other(host.handle());
  KnownServerBrowser browser;
  ASSERT_TRUE(browser.Create(host.handle()));
  DocumentWindow::Received().clear();

  browser.SetServer(document.handle());
  browser.SubclassBrowserWindow();
  ASSERT_EQ(browser.ServerWindow(), document.handle());
  const auto subclassProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(document.handle(), GWLP_WNDPROC));
  ASSERT_NE(subclassProc, &DocumentWindow::Procedure);

  // Once only: a later call leaves everything as it is.
  browser.SetServer(other.handle());
  browser.SubclassBrowserWindow();
  EXPECT_EQ(browser.ServerWindow(), document.handle());
  EXPECT_EQ(GetWindowLongPtrW(other.handle(), GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&DocumentWindow::Procedure));

  SendMessageW(document.handle(), WM_KEYDOWN, VK_TAB, 0);
  SendMessageW(document.handle(), WM_KEYUP, VK_TAB, 0);
  EXPECT_EQ(SendMessageW(document.handle(), DocumentWindow::kPing, 0, 0), DocumentWindow::kPong);
  EXPECT_EQ(DocumentWindow::Received(), (std::vector<UINT>{WM_KEYDOWN, WM_KEYUP, DocumentWindow::kPing}));

  // A window the procedure does not know gets the default handling only.
  EXPECT_EQ(CallWindowProcW(subclassProc, other.handle(), DocumentWindow::kPing, 0, 0), 0);

  browser.Destroy();
  EXPECT_EQ(browser.ServerWindow(), nullptr);
  EXPECT_EQ(GetWindowLongPtrW(document.handle(), GWLP_WNDPROC),
            reinterpret_cast<LONG_PTR>(&DocumentWindow::Procedure));
  EXPECT_EQ(CallWindowProcW(subclassProc, document.handle(), DocumentWindow::kPing, 0, 0), 0);
}

}  // namespace
