#pragma once
// The login page: the system's web view over the launcher's canvas, and the bridge
// that gives the page's script `window.external.fnEnterGame(text)`. The browser knows
// nothing of the launcher: its owner answers through IWebBrowserHost. CWebBrowser is
// defined once per platform; its owner creates and deletes it explicitly.
#include <string>

#include "platform/window_frame.h"
#include "web/browser_events.h"

// What the page bridge asks of its owner, and what it needs from it. The browser's
// events go to the owner too.
class IWebBrowserHost : public IXWebNotifyCallback2 {
 public:
  // While a launch runs the page's calls start nothing.
  virtual bool IsLaunching() const = 0;
  // Whether the page at `pageUrl` (the top-level document's address at the time of
  // its call) may enter the game; the host explains a refusal itself.
  virtual bool IsTrustedPage(const std::wstring& pageUrl) = 0;
  // The page's "fnEnterGame"(text), the text in the ANSI code page.
  virtual void EnterGame(const std::string& pageArgument) = 0;
  // The native window the browser is placed in (an HWND on Windows, a GtkOverlay* on
  // Linux).
  virtual void* BrowserParent() const = 0;
  // The login page's address, in the ANSI code page.
  virtual std::string LoginUrl() const = 0;

 protected:
  ~IWebBrowserHost() = default;
};

class CWebBrowser;

// Creates the hidden browser over `rect` of the host's parent window and opens the
// login page. Without a working browser control the page never shows and never calls in.
CWebBrowser* CreateWebBrowser(IWebBrowserHost* host, const platform::Rect& rect);
void DeleteWebBrowser(CWebBrowser* browser);
// Shows the page over the canvas, once its top-level document has loaded.
void ShowWebBrowser(CWebBrowser* browser);
