// The login page on Linux: a WebKitWebView over the launcher's canvas, and the bridge
// that gives the page's script `window.external.fnEnterGame(text)`.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

#include "platform/codepage.h"
#include "web/web_browser.h"

namespace {

constexpr char kHandlerName[] = "launcherExternal";

// The page's external object: any spelling of the method name reaches the one
// method; no argument does nothing; the last argument is the one used, as text.
// A value that has no text (null, or one whose conversion throws) starts nothing.
constexpr char kBridgeScript[] = R"JS(
(function () {
  var post = function (message) { window.webkit.messageHandlers.launcherExternal.postMessage(message); };
  var enterGame = function () {
    if (arguments.length === 0) return;
    var value = arguments[arguments.length - 1];
    var text;
    if (value === null) return;
    try {
      text = value === undefined ? '' : String(value);
    } catch (e) {
      return;
    }
    post(text);
  };
  var external = new Proxy({}, {
    get: function (target, name) {
      return typeof name === 'string' && name.toLowerCase() === 'fnentergame' ? enterGame : undefined;
    },
    has: function (target, name) {
      return typeof name === 'string' && name.toLowerCase() === 'fnentergame';
    }
  });
  Object.defineProperty(window, 'external', { value: external, configurable: true, writable: false });
})();
)JS";

}  // namespace

// Every GLib handler here catches what the host's code throws: nothing unwinds into
// GLib.
class CWebBrowser {
 public:
  CWebBrowser(IWebBrowserHost* host, const platform::Rect& rect);
  ~CWebBrowser();
  CWebBrowser(const CWebBrowser&) = delete;
  CWebBrowser& operator=(const CWebBrowser&) = delete;

  bool Navigate(const std::wstring& url);
  void ShowHostWindow(bool show);

 private:
  static void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self);
  static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                 gpointer);
  static gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer);

  IWebBrowserHost* host_;
  GtkWidget* view_ = nullptr;
};

CWebBrowser::CWebBrowser(IWebBrowserHost* host, const platform::Rect& rect) : host_(host) {
  // A private, memory-only context: no page cache is read or written.
  WebKitWebContext* context = webkit_web_context_new_ephemeral();
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  webkit_user_content_manager_add_script(
      content, webkit_user_script_new(kBridgeScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr));
  g_signal_connect(content, (std::string("script-message-received::") + kHandlerName).c_str(),
                   G_CALLBACK(OnScriptMessage), this);
  webkit_user_content_manager_register_script_message_handler(content, kHandlerName);

  view_ = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content,
                                  nullptr));
  g_object_unref(content);
  g_object_unref(context);
  WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view_));
  webkit_settings_set_enable_page_cache(settings, FALSE);
  webkit_settings_set_auto_load_images(settings, TRUE);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);

  g_signal_connect(view_, "load-changed", G_CALLBACK(OnLoadChanged), this);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
  g_signal_connect(view_, "context-menu", G_CALLBACK(OnContextMenu), this);

  gtk_widget_set_size_request(view_, rect.right - rect.left, rect.bottom - rect.top);
  gtk_widget_set_halign(view_, GTK_ALIGN_START);
  gtk_widget_set_valign(view_, GTK_ALIGN_START);
  gtk_widget_set_no_show_all(view_, TRUE);
  gtk_overlay_add_overlay(GTK_OVERLAY(host->BrowserParent()), view_);
  g_object_ref(view_);
}

CWebBrowser::~CWebBrowser() {
  g_signal_handlers_disconnect_by_data(view_, this);
  WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(WEBKIT_WEB_VIEW(view_));
  g_signal_handlers_disconnect_by_data(content, this);
  webkit_web_view_stop_loading(WEBKIT_WEB_VIEW(view_));
  gtk_widget_destroy(view_);
  g_object_unref(view_);
}

bool CWebBrowser::Navigate(const std::wstring& url) {
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_), platform::WideToNarrow(url, platform::CodePage::Utf8).c_str());
  return true;
}

void CWebBrowser::ShowHostWindow(bool show) {
  if (show) {
    gtk_widget_show(view_);
    gtk_widget_grab_focus(view_);
  } else {
    gtk_widget_hide(view_);
  }
}

void CWebBrowser::OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
  try {
    auto* browser = static_cast<CWebBrowser*>(self);
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_string(value) || browser->host_->IsLaunching()) return;
    const gchar* uri = webkit_web_view_get_uri(WEBKIT_WEB_VIEW(browser->view_));
    if (!browser->host_->IsTrustedPage(platform::NarrowToWide(uri ? uri : "", platform::CodePage::Utf8))) return;
    gchar* text = jsc_value_to_string(value);
    const std::string argument = text ? text : "";
    g_free(text);
    browser->ShowHostWindow(false);
    browser->host_->EnterGame(argument);
  } catch (...) {
    // The launch reports its own failures; here there is no one left to tell.
  }
}

void CWebBrowser::OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
  if (event != WEBKIT_LOAD_FINISHED) return;
  try {
    // Only the top-level document reports here; frames never show the page.
    const gchar* uri = webkit_web_view_get_uri(view);
    static_cast<CWebBrowser*>(self)->host_->OnDocumentComplete(
        platform::NarrowToWide(uri ? uri : "", platform::CodePage::Utf8));
  } catch (...) {
    // A page that cannot be shown stays hidden.
  }
}

gboolean CWebBrowser::OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                                   WebKitPolicyDecisionType type, gpointer) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) return FALSE;
  // A link that asks for a new window opens in the user's own browser.
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const gchar* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  if (uri) g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

gboolean CWebBrowser::OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                                  WebKitHitTestResult*, gpointer) {
  return TRUE;
}

CWebBrowser* CreateWebBrowser(IWebBrowserHost* host, const platform::Rect& rect) {
  auto* browser = new CWebBrowser(host, rect);
  browser->Navigate(platform::NarrowToWide(host->LoginUrl(), platform::CodePage::Ansi));
  return browser;
}

void DeleteWebBrowser(CWebBrowser* browser) { delete browser; }

void ShowWebBrowser(CWebBrowser* browser) { browser->ShowHostWindow(true); }
