#include <windows.h>

#include <vector>

#include "platform/codepage.h"

namespace platform {
namespace {

UINT ToWin32(CodePage codePage) { return codePage == CodePage::Utf8 ? CP_UTF8 : CP_ACP; }

}  // namespace

std::wstring NarrowToWide(const std::string& text, CodePage codePage) {
  const UINT cp = ToWin32(codePage);
  const int n = MultiByteToWideChar(cp, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<std::size_t>(n) + 1, L'\0');
  if (MultiByteToWideChar(cp, 0, text.c_str(), -1, buffer.data(), n) <= 0) return {};
  return std::wstring(buffer.data());
}

std::string WideToNarrow(const std::wstring& text, CodePage codePage) {
  const UINT cp = ToWin32(codePage);
  const int n = WideCharToMultiByte(cp, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::vector<char> buffer(static_cast<std::size_t>(n) + 1, '\0');
  if (WideCharToMultiByte(cp, 0, text.c_str(), -1, buffer.data(), n, nullptr, nullptr) <= 0) return {};
  return std::string(buffer.data());
}

}  // namespace platform
