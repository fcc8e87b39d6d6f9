#pragma once
// Text conversions of the launcher: narrow text is in the system's ANSI code page
// (UTF-8 on Linux) unless the name says UTF-8; wide text is what window texts use.
#include <string>

std::wstring Utf8ToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);
std::wstring IntToWide(int value);
// The percentage label's text for a progress fraction: the whole percent, computed in
// single precision and truncated toward zero, then "%" (0.427 gives "42%").
std::wstring PercentText(float fraction);
