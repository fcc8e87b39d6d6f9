#pragma once
// Conversions between narrow and wide text.
//
// On Windows "Ansi" is the system's ANSI code page and wide text is UTF-16; on POSIX
// both narrow code pages are UTF-8 and wide text holds one code point per wchar_t.
// Bytes that cannot be decoded come out as U+FFFD on both platforms; a failed
// conversion gives empty text.
#include <string>

namespace platform {

enum class CodePage { Ansi, Utf8 };

std::wstring NarrowToWide(const std::string& text, CodePage codePage);
std::string WideToNarrow(const std::wstring& text, CodePage codePage);

// Narrow paths and texts of the launcher are in the ANSI code page.
inline std::wstring AnsiToWide(const std::string& text) { return NarrowToWide(text, CodePage::Ansi); }

}  // namespace platform
