// The launcher's text conversions and the percentage text.
#include "app/text.h"

#include <cwchar>

#include "platform/codepage.h"

std::wstring Utf8ToWide(const std::string& text) { return platform::NarrowToWide(text, platform::CodePage::Utf8); }

std::string WideToAnsi(const std::wstring& text) { return platform::WideToNarrow(text, platform::CodePage::Ansi); }

std::wstring IntToWide(int value) {
  wchar_t buffer[64];
  std::swprintf(buffer, 64, L"%d", value);
  return buffer;
}

std::wstring PercentText(float fraction) {
  const float percent = fraction * 100.0f;
  return IntToWide(static_cast<int>(percent)) + L"%";
}
