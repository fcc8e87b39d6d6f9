#pragma once
// The browser's event receiver: every operation has a default body, so a receiver
// overrides only what it needs. Not an owning interface: no virtual destructor.
#include <cstdint>
#include <string>

class IXWebNotifyCallback2 {
 public:
  virtual void OnBeforeNavigate(bool /*isSubFrame*/, const std::wstring& /*url*/, bool* /*cancel*/) {}
  // True when `flags` were supplied.
  virtual bool GetDownloadControl(std::uint32_t* /*flags*/) { return false; }
  virtual void OnFrameDocumentComplete(const std::wstring& /*url*/) {}
  virtual void OnDocumentComplete(const std::wstring& /*url*/) {}
  // 0: let the browser open the window, 1: cancel it, 2: open it in this browser.
  virtual int OnNewWindow(const std::wstring& /*url*/) { return 0; }

 protected:
  ~IXWebNotifyCallback2() = default;
};

// Download-control flags of the login page: images load, ActiveX controls are
// neither downloaded nor run, no dialogs.
inline constexpr std::uint32_t kLauncherDownloadControl = 0x40000610;
