// The control's events as CXWebBrowser2 hands them on: synthesised calls of its
// IDispatch, shaped as the control shapes them, against a real control in a host
// window (its dispatch is what tells the top-level document from frames).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch_call.h"
#include "test_window.h"
#include "web/xweb_browser_win32.h"

#include <exdispid.h>
#include <mshtmdid.h>

namespace {

using web_testing::DispatchCall;
using web_testing::Invoke;
using web_testing::TestWindow;

constexpr wchar_t kUrl[] = L"http://127.0.0.1:1/login?name=J\u00fcrgen";

// Records every notification and answers as the test sets it up.
struct Recorder : IXWebNotifyCallback2 {
  void OnBeforeNavigate(bool isSubFrame, const std::wstring& url, bool* cancel) override {
    calls.push_back(std::wstring(L"before ") + (isSubFrame ? L"frame " : L"top ") + (*cancel ? L"cancel " : L"") + url);
    *cancel = cancelAnswer;
  }
  bool GetDownloadControl(std::uint32_t* flags) override {
    calls.push_back(L"download control");
    if (!supplyFlags) return false;
    *flags = 0x40000610;
    return true;
  }
  void OnFrameDocumentComplete(const std::wstring& url) override { calls.push_back(L"frame complete " + url); }
  void OnDocumentComplete(const std::wstring& url) override { calls.push_back(L"complete " + url); }
  int OnNewWindow(const std::wstring& url) override {
    calls.push_back(L"new window " + url);
    return newWindowAnswer;
  }

  std::vector<std::wstring> calls;
  bool cancelAnswer = false;
  bool supplyFlags = true;
  int newWindowAnswer = 0;
};

class BrowserEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(browser_.Create(host_.handle()));
    ASSERT_EQ(top_.QueryFrom(browser_.WebBrowser(), IID_IDispatch), S_OK);
    browser_.SetNotify(&recorder_);
  }

  IDispatch* Sink() { return static_cast<IDispatch*>(&browser_); }
  // Any dispatch other than the browser's own stands for a frame.
  IDispatch* Frame() { return static_cast<IDispatch*>(&frame_); }

  TestWindow host_{320, 240};
  CXWebBrowser2 browser_;
  ComPtr<IDispatch> top_;
  CXWebBrowser frame_;
  Recorder recorder_;
};

// BeforeNavigate2(pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel)
void BeforeNavigateCall(DispatchCall& call, IDispatch* source, bool cancel) {
  call.Dispatch(source).TextInVariantRef(kUrl).Int(0).Empty().Empty().Empty().CancelFlag(cancel);
}

struct BeforeNavigateCase {
  const char* name;
  bool fromFrame;
  bool initialCancel;
  bool answer;
  const wchar_t* seen;
};
void PrintTo(const BeforeNavigateCase& c, std::ostream* os) { *os << c.name; }

class BeforeNavigateTable : public BrowserEvents, public ::testing::WithParamInterface<BeforeNavigateCase> {};

TEST_P(BeforeNavigateTable, ReportsTheSourceAndWritesTheAnswerBack) {
  const BeforeNavigateCase& c = GetParam();
  recorder_.cancelAnswer = c.answer;
  DispatchCall call;
  BeforeNavigateCall(call, c.fromFrame ? Frame() : top_.Get(), c.initialCancel);
  EXPECT_EQ(Invoke(Sink(), DISPID_BEFORENAVIGATE2, call), S_OK);
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_EQ(recorder_.calls[0], std::wstring(c.seen) + kUrl);
  EXPECT_EQ(call.cancel(), c.answer ? VARIANT_TRUE : VARIANT_FALSE);
}

INSTANTIATE_TEST_SUITE_P(
    Events, BeforeNavigateTable,
    ::testing::Values(BeforeNavigateCase{"TopLevelCancelled", false, false, true, L"before top "},
                      BeforeNavigateCase{"TopLevelAllowed", false, false, false, L"before top "},
                      BeforeNavigateCase{"FrameKeepsCancel", true, true, true, L"before frame cancel "},
                      BeforeNavigateCase{"CancelLifted", false, true, false, L"before top cancel "}),
    [](const ::testing::TestParamInfo<BeforeNavigateCase>& info) { return std::string(info.param.name); });

TEST_F(BrowserEvents, DocumentCompleteTellsTheTopLevelDocumentFromFrames) {
  DispatchCall frame;
  frame.Dispatch(Frame()).TextInVariantRef(L"http://127.0.0.1:1/frame");
  DispatchCall top;
  top.Dispatch(top_.Get()).TextInVariantRef(kUrl);
  EXPECT_EQ(Invoke(Sink(), DISPID_DOCUMENTCOMPLETE, frame), S_OK);
  EXPECT_EQ(Invoke(Sink(), DISPID_DOCUMENTCOMPLETE, top), S_OK);
  EXPECT_EQ(recorder_.calls,
            (std::vector<std::wstring>{L"frame complete http://127.0.0.1:1/frame", std::wstring(L"complete ") + kUrl}));
}

struct NewWindowCase {
  const char* name;
  int answer;
  bool cancelled;
  bool openedHere;
};
void PrintTo(const NewWindowCase& c, std::ostream* os) { *os << c.name; }

class NewWindowTable : public BrowserEvents, public ::testing::WithParamInterface<NewWindowCase> {};

// NewWindow3(ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl)
TEST_P(NewWindowTable, AppliesTheAnswer) {
  const NewWindowCase& c = GetParam();
  recorder_.newWindowAnswer = c.answer;
  DispatchCall call;
  call.DispatchOut().CancelFlag(false).Int(0).Text(L"http://127.0.0.1:1/login").Text(kUrl);
  EXPECT_EQ(Invoke(Sink(), DISPID_NEWWINDOW3, call), S_OK);
  EXPECT_EQ(recorder_.calls, std::vector<std::wstring>{std::wstring(L"new window ") + kUrl});
  EXPECT_EQ(call.cancel(), c.cancelled ? VARIANT_TRUE : VARIANT_FALSE);
  EXPECT_EQ(call.dispatchOut(), c.openedHere ? top_.Get() : nullptr);
}

INSTANTIATE_TEST_SUITE_P(Events, NewWindowTable,
                         ::testing::Values(NewWindowCase{"BrowserOpensIt", 0, false, false},
                                           NewWindowCase{"Cancelled", 1, true, false},
                                           NewWindowCase{"OpensInThisBrowser", 2, false, true},
                                           NewWindowCase{"UnknownAnswerLeavesBoth", 7, false, false}),
                         [](const ::testing::TestParamInfo<NewWindowCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(BrowserEvents, DownloadControlIsAnsweredOnlyWhenFlagsAreSupplied) {
  DispatchCall none;
  VARIANT result;
  EXPECT_EQ(Invoke(Sink(), DISPID_AMBIENT_DLCONTROL, none, &result), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(static_cast<std::uint32_t>(result.lVal), 0x40000610u);

  recorder_.supplyFlags = false;
  EXPECT_EQ(Invoke(Sink(), DISPID_AMBIENT_DLCONTROL, none, &result), S_OK);
  EXPECT_EQ(result.vt, VT_EMPTY);
  EXPECT_EQ(recorder_.calls.size(), 2u);
}

TEST_F(BrowserEvents, OtherIdsAndMalformedCallsChangeNothing) {
  DispatchCall other;
  EXPECT_EQ(Invoke(Sink(), DISPID_NAVIGATECOMPLETE2, other), E_NOTIMPL);
  // A BeforeNavigate2 without its first three arguments: no notification, Cancel as it was.
  DispatchCall shortCall;
  shortCall.Empty().Empty().Empty().CancelFlag(true);
  EXPECT_NE(Invoke(Sink(), DISPID_BEFORENAVIGATE2, shortCall), S_OK);
  EXPECT_EQ(shortCall.cancel(), VARIANT_TRUE);
  DispatchCall noParams;
  EXPECT_NE(Invoke(Sink(), DISPID_DOCUMENTCOMPLETE, noParams), S_OK);
  EXPECT_TRUE(recorder_.calls.empty());
}

class WithoutNotify : public BrowserEvents, public ::testing::WithParamInterface<DISPID> {};

TEST_P(WithoutNotify, EveryEventIsNotImplementedAndLeavesItsArgumentsAlone) {
  // Create clears a receiver set before it.
  CXWebBrowser2 browser;
  browser.SetNotify(&recorder_);
  TestWindow host(100, 100);
  ASSERT_TRUE(browser.Create(host.handle()));

  DispatchCall before;
  BeforeNavigateCall(before, top_.Get(), true);
  DispatchCall newWindow;
  newWindow.DispatchOut().CancelFlag(false).Int(0).Text(L"").Text(kUrl);
  DispatchCall complete;
  complete.Dispatch(top_.Get()).TextInVariantRef(kUrl);
  DispatchCall* calls[] = {&before, &newWindow, &complete};
  for (DispatchCall* call : calls) {
    VARIANT result;
    EXPECT_EQ(Invoke(static_cast<IDispatch*>(&browser), GetParam(), *call, &result), E_NOTIMPL);
    EXPECT_EQ(result.vt, VT_EMPTY);
  }
  EXPECT_EQ(before.cancel(), VARIANT_TRUE);
  EXPECT_EQ(newWindow.cancel(), VARIANT_FALSE);
  EXPECT_EQ(newWindow.dispatchOut(), nullptr);
  EXPECT_TRUE(recorder_.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Events, WithoutNotify,
                         ::testing::Values(DISPID_BEFORENAVIGATE2, DISPID_DOCUMENTCOMPLETE, DISPID_NEWWINDOW3,
                                           DISPID_AMBIENT_DLCONTROL));

}  // namespace
